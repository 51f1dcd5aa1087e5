// The first-start wizard: the ISDN card and the telephone exchange, each
// answer stored on Next. Run modally on fresh pages every time.
#pragma once

#include <QWizard>

#include <memory>

class QLabel;
class CWizardPage1;
class CWizardPage2;
class CWizardPage3;

namespace Ui {
class CWizardSheet;
}

class CWizardSheet final : public QWizard
{
    Q_OBJECT

public:
    enum PageId { kPage1, kPage2, kPage3 };

    // No parent at start-up, the main window when its "Wizard" button asks.
    explicit CWizardSheet(QWidget* parent = nullptr);
    ~CWizardSheet() override;

    CWizardPage1* Page1() const { return m_page1; }
    CWizardPage2* Page2() const { return m_page2; }
    CWizardPage3* Page3() const { return m_page3; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void OnPageChanged(int id);

    std::unique_ptr<Ui::CWizardSheet> m_ui;
    CWizardPage1* m_page1; // owned by the wizard, as are the other two
    CWizardPage2* m_page2;
    CWizardPage3* m_page3;
    bool m_sized = false;
};

// What every page shares: its form in dialog units and the picture in the
// sunken frame on its left.
void SetUpWizardPage(QWidget* page, QLabel* pictureFrame);
