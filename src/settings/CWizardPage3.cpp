#include "CWizardPage3.h"

#include "CWizardSheet.h"
#include "ui_CWizardPage3.h"

CWizardPage3::CWizardPage3(QWidget* parent) : QWizardPage(parent), m_ui(std::make_unique<Ui::CWizardPage3>())
{
    m_ui->setupUi(this);
    SetUpWizardPage(this, m_ui->pictureLabel);
}

CWizardPage3::~CWizardPage3() = default;
