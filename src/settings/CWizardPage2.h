// The telephone-exchange question: its answer sets "AddZero", inverted,
// since the setting says whether the program itself must add the 0.
#pragma once

#include <QWizardPage>

#include <cstdint>
#include <memory>

namespace Ui {
class CWizardPage2;
}

class CWizardPage2 final : public QWizardPage
{
public:
    explicit CWizardPage2(QWidget* parent = nullptr);
    ~CWizardPage2() override;

    // Next: takes the radio buttons into m_answer, then stores "AddZero": "Nee" 1, "Ja" or no answer 0.
    bool validatePage() override;

    // -1 until Next was pressed with an answer chosen; 0 "Nee", 1 "Ja".
    int32_t Answer() const { return m_answer; }

private:
    std::unique_ptr<Ui::CWizardPage2> m_ui;
    int32_t m_answer = -1;
};
