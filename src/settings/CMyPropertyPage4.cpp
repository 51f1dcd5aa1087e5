#include "CMyPropertyPage4.h"

#include "CapiDriver.h"
#include "Cp1252.h"
#include "DialogUnits.h"
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
    if (CapiBinding::IsBound()) {
        std::string manufacturer, serial, version, line1, line2, line3;
        m_capiLink.GetCAPIManufacturer(manufacturer);
        m_capiLink.GetCAPISerialNumber(serial);
        m_capiLink.GetCAPIVersion(version);
        // On failure the link logs it and the three lines stay empty.
        m_capiLink.GetCAPIProfile(line1, line2, line3);
        m_manufacturer = FromDriver(manufacturer);
        m_serialNumber = FromDriver(serial);
        m_version = FromDriver(version);
        m_profileLine1 = FromDriver(line1);
        m_profileLine2 = FromDriver(line2);
        m_profileLine3 = FromDriver(line3);
    }
    m_homePage = QString::fromLatin1(kHomePageAddress);
    ShowFields();
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
