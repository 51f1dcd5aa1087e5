#include "CMyPropertyPage5.h"

#include "DialogUnits.h"
#include "Look.h"
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
    for (QLineEdit* edit : {m_ui->countryCodeEdit, m_ui->areaCodeEdit, m_ui->internationalPrefixEdit, m_ui->trunkPrefixEdit})
        SetInputColours(edit);
}

CMyPropertyPage5::~CMyPropertyPage5() = default;

void CMyPropertyPage5::OnInitDialog()
{
    m_numberFormats = ReadExtraInt(Extra::NumberFormats);
    m_countryCode = QString::number(ReadExtraInt(Extra::CountryCode));
    m_areaCode = ReadExtraText(Extra::AreaCode);
    m_internationalPrefix = ReadExtraText(Extra::InternationalPrefix);
    m_trunkPrefix = ReadExtraText(Extra::TrunkPrefix);
    m_ui->numberFormatsCheckBox->setChecked(m_numberFormats != 0);
    m_ui->countryCodeEdit->setText(m_countryCode);
    m_ui->areaCodeEdit->setText(m_areaCode);
    m_ui->internationalPrefixEdit->setText(m_internationalPrefix);
    m_ui->trunkPrefixEdit->setText(m_trunkPrefix);
}

bool CMyPropertyPage5::OnKillActive()
{
    // A stored value other than 0 and 1 stays as it is while the box is
    // left as shown.
    const bool ticked = m_ui->numberFormatsCheckBox->isChecked();
    if (ticked != (m_numberFormats != 0))
        m_numberFormats = ticked ? 1 : 0;
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
    return true;
}
