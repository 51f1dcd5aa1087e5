#include "CMyPropertyPage4.h"

#include "CapiDriver.h"
#include "Cp1252.h"
#include "DialogUnits.h"
#include "DriverCall.h"
#include "DriverCallWatch.h"
#include "Look.h"
#include "ui_CMyPropertyPage4.h"

#include <QLineEdit>

#include <string>

namespace {

QString FromDriver(const std::string& text)
{
    return cp1252::ForDisplay(cp1252::Decode(QByteArray::fromStdString(text)));
}

} // namespace

CMyPropertyPage4::CMyPropertyPage4(QWidget* parent)
    : CPropertyPage(parent), m_ui(std::make_unique<Ui::CMyPropertyPage4>())
{
    m_ui->setupUi(this);
    CDialogUnits::Apply(this);
    setMinimumSize(size());
    for (QLineEdit* field : {m_ui->manufacturerEdit, m_ui->serialNumberEdit, m_ui->versionEdit,
                             m_ui->profileLine1Edit, m_ui->profileLine2Edit, m_ui->profileLine3Edit,
                             m_ui->homePageEdit})
        SetInputColours(field);
}

CMyPropertyPage4::~CMyPropertyPage4() = default;

void CMyPropertyPage4::OnInitDialog()
{
    // The main window binds the driver; an unbound entry point is never
    // called, and the driver's fields stay empty.
    if (CapiBinding::IsBound())
        Ask(CCapiLink::Query::Manufacturer);
    m_homePage = QString::fromLatin1(kHomePageAddress);
    ShowFields();
    m_shown = true;
}

void CMyPropertyPage4::Ask(CCapiLink::Query query)
{
    // A page closed first gives its query up, unanswered and unshown.
    const auto call = m_capiLink.BeginQuery(query);
    AfterAnswer(this, call, kAnswerGraceMs, [this, query, call] { Answered(query, *call); });
}

void CMyPropertyPage4::Answered(CCapiLink::Query query, CDriverCall& call)
{
    // Only the field that answered changes: what the user typed elsewhere stays.
    auto show = [this](QLineEdit* field, const QString& text) {
        if (m_shown)
            field->setText(text);
    };
    std::string text;
    switch (query) {
    case CCapiLink::Query::Manufacturer:
        m_capiLink.EndGetCAPIManufacturer(call, text);
        m_manufacturer = FromDriver(text);
        show(m_ui->manufacturerEdit, m_manufacturer);
        Ask(CCapiLink::Query::SerialNumber);
        break;
    case CCapiLink::Query::SerialNumber:
        m_capiLink.EndGetCAPISerialNumber(call, text);
        m_serialNumber = FromDriver(text);
        show(m_ui->serialNumberEdit, m_serialNumber);
        Ask(CCapiLink::Query::Version);
        break;
    case CCapiLink::Query::Version:
        m_capiLink.EndGetCAPIVersion(call, text);
        m_version = FromDriver(text);
        show(m_ui->versionEdit, m_version);
        Ask(CCapiLink::Query::Profile);
        break;
    case CCapiLink::Query::Profile: {
        // On failure the link logs it and the three lines stay empty.
        std::string line2, line3;
        if (!m_capiLink.EndGetCAPIProfile(call, text, line2, line3))
            break;
        m_profileLine1 = FromDriver(text);
        m_profileLine2 = FromDriver(line2);
        m_profileLine3 = FromDriver(line3);
        show(m_ui->profileLine1Edit, m_profileLine1);
        show(m_ui->profileLine2Edit, m_profileLine2);
        show(m_ui->profileLine3Edit, m_profileLine3);
        break;
    }
    }
}

bool CMyPropertyPage4::OnKillActive()
{
    m_manufacturer = m_ui->manufacturerEdit->text();
    m_serialNumber = m_ui->serialNumberEdit->text();
    m_version = m_ui->versionEdit->text();
    m_profileLine1 = m_ui->profileLine1Edit->text();
    m_profileLine2 = m_ui->profileLine2Edit->text();
    m_profileLine3 = m_ui->profileLine3Edit->text();
    m_homePage = m_ui->homePageEdit->text();
    return true;
}

void CMyPropertyPage4::ShowFields()
{
    m_ui->manufacturerEdit->setText(m_manufacturer);
    m_ui->serialNumberEdit->setText(m_serialNumber);
    m_ui->versionEdit->setText(m_version);
    m_ui->profileLine1Edit->setText(m_profileLine1);
    m_ui->profileLine2Edit->setText(m_profileLine2);
    m_ui->profileLine3Edit->setText(m_profileLine3);
    m_ui->homePageEdit->setText(m_homePage);
}
