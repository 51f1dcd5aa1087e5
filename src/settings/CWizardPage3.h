// The last step: two empty groups for options still to come; Finish stores
// nothing.
#pragma once

#include <QWizardPage>

#include <memory>

namespace Ui {
class CWizardPage3;
}

class CWizardPage3 final : public QWizardPage
{
public:
    explicit CWizardPage3(QWidget* parent = nullptr);
    ~CWizardPage3() override;

private:
    std::unique_ptr<Ui::CWizardPage3> m_ui;
};
