#include "CWizardPage2.h"

#include "CWizardSheet.h"
#include "SettingsStore.h"
#include "ui_CWizardPage2.h"

CWizardPage2::CWizardPage2(QWidget* parent) : QWizardPage(parent), m_ui(std::make_unique<Ui::CWizardPage2>())
{
    m_ui->setupUi(this);
    SetUpWizardPage(this, m_ui->pictureLabel);
}

CWizardPage2::~CWizardPage2() = default;

bool CWizardPage2::validatePage()
{
    m_answer = m_ui->noRadio->isChecked() ? 0 : m_ui->yesRadio->isChecked() ? 1 : -1;
    // "Nee": the exchange adds no 0, so the program must. No answer counts as "Ja".
    WriteSetting(Setting::AddZero, m_answer == 0 ? 1 : 0);
    return true;
}
