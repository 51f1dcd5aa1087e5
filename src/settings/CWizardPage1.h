// The ISDN-card question: its answer sets "FastSend".
#pragma once

#include <QWizardPage>

#include <cstdint>
#include <memory>

namespace Ui {
class CWizardPage1;
}

class CWizardPage1 final : public QWizardPage
{
public:
    explicit CWizardPage1(QWidget* parent = nullptr);
    ~CWizardPage1() override;

    // Next: takes the radio buttons into m_answer, then stores "FastSend": "Nee" 0, "Ja" 1, no answer nothing.
    bool validatePage() override;

    // -1 until Next was pressed with an answer chosen; 0 "Nee", 1 "Ja".
    int32_t Answer() const { return m_answer; }

private:
    std::unique_ptr<Ui::CWizardPage1> m_ui;
    int32_t m_answer = -1;
};
