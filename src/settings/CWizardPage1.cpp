#include "CWizardPage1.h"

#include "CWizardSheet.h"
#include "SettingsStore.h"
#include "ui_CWizardPage1.h"

CWizardPage1::CWizardPage1(QWidget* parent) : QWizardPage(parent), m_ui(std::make_unique<Ui::CWizardPage1>())
{
    m_ui->setupUi(this);
    SetUpWizardPage(this, m_ui->pictureLabel);
}

CWizardPage1::~CWizardPage1() = default;

bool CWizardPage1::validatePage()
{
    m_answer = m_ui->noRadio->isChecked() ? 0 : m_ui->yesRadio->isChecked() ? 1 : -1;
    // No answer leaves the stored value alone; a failed write does not stop Next.
    if (m_answer == 0)
        WriteSetting(Setting::FastSend, 0);
    else if (m_answer == 1)
        WriteSetting(Setting::FastSend, 1);
    return true;
}
