#include "CMyPropertyPage5.h"

#include "DialogUnits.h"
#include "Look.h"
#include "Platform.h"
#include "SettingsStore.h"
#include "ui_CMyPropertyPage5.h"

#include <QRegularExpressionValidator>

CMyPropertyPage5::CMyPropertyPage5(QWidget* parent)
    : CPropertyPage(parent), m_ui(std::make_unique<Ui::CMyPropertyPage5>())
{
    m_ui->setupUi(this);
    CDialogUnits::Apply(this);
    setMinimumSize(size());
    SetFramedGroupTitles(this);
    // Digits only; a country code has one to three, and never starts with 0.
    m_ui->countryCodeEdit->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[1-9][0-9]{0,2}")), this));
    auto* digits = new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), this);
    for (QLineEdit* edit : {m_ui->areaCodeEdit, m_ui->internationalPrefixEdit, m_ui->trunkPrefixEdit})
        edit->setValidator(digits);
    for (QLineEdit* edit : {m_ui->countryCodeEdit, m_ui->areaCodeEdit, m_ui->internationalPrefixEdit,
                            m_ui->trunkPrefixEdit, m_ui->textHookEdit})
        SetInputColours(edit);
    connect(m_ui->textHookButton, &QPushButton::clicked, this, &CMyPropertyPage5::OnTextHookButton);
}

namespace {

// A stored value other than 0 and 1 stays as it is while its box is left
// as shown.
uint32_t Ticked(const QCheckBox* box, uint32_t stored)
{
    const bool ticked = box->isChecked();
    return ticked == (stored != 0) ? stored : (ticked ? 1 : 0);
}

} // namespace

CMyPropertyPage5::~CMyPropertyPage5() = default;

void CMyPropertyPage5::OnInitDialog()
{
    m_numberFormats = ReadExtraInt(Extra::NumberFormats);
    m_countryCode = QString::number(ReadExtraInt(Extra::CountryCode));
    m_areaCode = ReadExtraText(Extra::AreaCode);
    m_internationalPrefix = ReadExtraText(Extra::InternationalPrefix);
    m_trunkPrefix = ReadExtraText(Extra::TrunkPrefix);
    m_notifications = ReadExtraInt(Extra::Notifications);
    m_deliveryReport = ReadExtraInt(Extra::DeliveryReport);
    m_textHook = ReadExtraText(Extra::TextHook);
    m_ui->numberFormatsCheckBox->setChecked(m_numberFormats != 0);
    m_ui->notificationsCheckBox->setChecked(m_notifications != 0);
    m_ui->deliveryReportCheckBox->setChecked(m_deliveryReport != 0);
    m_ui->textHookEdit->setText(m_textHook);
    m_ui->countryCodeEdit->setText(m_countryCode);
    m_ui->areaCodeEdit->setText(m_areaCode);
    m_ui->internationalPrefixEdit->setText(m_internationalPrefix);
    m_ui->trunkPrefixEdit->setText(m_trunkPrefix);
}

bool CMyPropertyPage5::OnKillActive()
{
    m_numberFormats = Ticked(m_ui->numberFormatsCheckBox, m_numberFormats);
    m_notifications = Ticked(m_ui->notificationsCheckBox, m_notifications);
    m_deliveryReport = Ticked(m_ui->deliveryReportCheckBox, m_deliveryReport);
    m_textHook = m_ui->textHookEdit->text();
    m_countryCode = m_ui->countryCodeEdit->text();
    m_areaCode = m_ui->areaCodeEdit->text();
    m_internationalPrefix = m_ui->internationalPrefixEdit->text();
    m_trunkPrefix = m_ui->trunkPrefixEdit->text();
    return true;
}

bool CMyPropertyPage5::OnOK()
{
    // Like the other settings, a failed write is not reported.
    WriteExtraInt(Extra::NumberFormats, m_numberFormats);
    if (!m_countryCode.isEmpty())
        WriteExtraInt(Extra::CountryCode, m_countryCode.toUInt());
    WriteExtraText(Extra::AreaCode, m_areaCode);
    WriteExtraText(Extra::InternationalPrefix, m_internationalPrefix);
    WriteExtraText(Extra::TrunkPrefix, m_trunkPrefix);
    WriteExtraInt(Extra::Notifications, m_notifications);
    WriteExtraInt(Extra::DeliveryReport, m_deliveryReport);
    WriteExtraText(Extra::TextHook, m_textHook);
    return true;
}

void CMyPropertyPage5::OnTextHookButton()
{
    const QString current = m_ui->textHookEdit->text();
    if (const auto path =
            CPlatform::Instance().GetOpenFileName(this, QString(), current.isEmpty() ? QStringLiteral("*") : current))
        m_ui->textHookEdit->setText(*path);
}
