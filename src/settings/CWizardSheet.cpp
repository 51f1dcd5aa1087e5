#include "CWizardSheet.h"

#include "CWizardPage1.h"
#include "CWizardPage2.h"
#include "CWizardPage3.h"
#include "DialogUnits.h"
#include "HelpFile.h"
#include "Look.h"
#include "ui_CWizardSheet.h"

#include <QAbstractButton>
#include <QIcon>
#include <QLabel>

CWizardSheet::CWizardSheet(QWidget* parent)
    : QWizard(parent), m_ui(std::make_unique<Ui::CWizardSheet>()), m_page1(new CWizardPage1(this)),
      m_page2(new CWizardPage2(this)), m_page3(new CWizardPage3(this))
{
    m_ui->setupUi(this);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setButtonText(BackButton, QStringLiteral("< Vorige"));
    setButtonText(NextButton, QStringLiteral("Volgende >"));
    setButtonText(FinishButton, QStringLiteral("Voltooien"));
    setButtonText(CancelButton, QStringLiteral("Annuleren"));
    setButtonText(HelpButton, QStringLiteral("Help"));
    for (WizardButton which : {BackButton, NextButton, FinishButton, CancelButton, HelpButton})
        button(which)->setAccessibleName(buttonText(which).remove(QLatin1Char('<')).remove(QLatin1Char('>')).trimmed());

    setPage(kPage1, m_page1);
    setPage(kPage2, m_page2);
    setPage(kPage3, m_page3);
    setStartId(kPage1);

    connect(this, &QWizard::currentIdChanged, this, &CWizardSheet::OnPageChanged);
    connect(this, &QWizard::helpRequested, this, [] { OpenHelpFile(); });
}

CWizardSheet::~CWizardSheet() = default;

void CWizardSheet::OnPageChanged(int id)
{
    // The title bar carries the step, as the page's caption.
    if (const QWizardPage* current = page(id))
        setWindowTitle(current->windowTitle());
}

void CWizardSheet::showEvent(QShowEvent* event)
{
    QWizard::showEvent(event);
    // QWizard asks for at least 500 x 360 pixels; the pages' templates are
    // the measure instead, so no empty band opens below them.
    if (!m_sized && currentPage()) {
        m_sized = true;
        resize(size() - currentPage()->size() + currentPage()->minimumSize());
    }
}

void SetUpWizardPage(QWidget* page, QLabel* pictureFrame)
{
    CDialogUnits::Apply(page);
    page->setMinimumSize(page->size());
    SetFramedGroupTitles(page);
    // Drawn once at the frame's size, the picture's proportions kept.
    const QIcon picture(QStringLiteral(":/images/wizard.svg"));
    pictureFrame->setPixmap(picture.pixmap(pictureFrame->contentsRect().size() - QSize(4, 4),
                                           pictureFrame->devicePixelRatioF()));
}
