#include "CMyPropertySheet.h"

#include "CMyPropertyPage1.h"
#include "CMyPropertyPage2.h"
#include "CMyPropertyPage3.h"
#include "CMyPropertyPage4.h"
#include "CMyPropertyPage5.h"
#include "DialogUnits.h"
#include "HelpFile.h"
#include "ui_CMyPropertySheet.h"

#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

namespace {

// The pages' templates, in dialog units; empty tabs keep this room so the
// sheet does not change size when a page is built.
constexpr QSize kPageSize(250, 150);

} // namespace

std::vector<CMyPropertySheet::PageDef> CMyPropertySheet::StandardPages()
{
    return {
        {QStringLiteral("Telefoonboek"), [] { return new CMyPropertyPage1; }},
        {QStringLiteral("Aktie per gebelde MSM"), [] { return new CMyPropertyPage2; }},
        {QStringLiteral("Instellingen"), [] { return new CMyPropertyPage3; }},
        {QStringLiteral("Service"), [] { return new CMyPropertyPage4; }},
        // Options beyond the original four pages.
        {QStringLiteral("Extra"), [] { return new CMyPropertyPage5; }},
    };
}

CMyPropertySheet::CMyPropertySheet(QWidget* parent, int startPage)
    : CMyPropertySheet(parent, StandardPages(), startPage)
{
}

CMyPropertySheet::CMyPropertySheet(QWidget* parent, std::vector<PageDef> pages, int startPage)
    : QDialog(parent), m_ui(std::make_unique<Ui::CMyPropertySheet>()), m_defs(std::move(pages)),
      m_pages(m_defs.size(), nullptr)
{
    m_ui->setupUi(this);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    const QSize pageSize = CDialogUnits(font()).Size(kPageSize);
    for (const PageDef& def : m_defs) {
        auto* tab = new QWidget;
        tab->setMinimumSize(pageSize);
        auto* layout = new QVBoxLayout(tab);
        layout->setContentsMargins(0, 0, 0, 0);
        m_ui->tabWidget->addTab(tab, def.caption);
        m_tabs.push_back(tab);
    }
    // Every tab in sight: the sheet grows to the tab bar rather than hide
    // the last tab behind a scroll arrow.
    m_ui->tabWidget->setUsesScrollButtons(false);
    connect(m_ui->okButton, &QPushButton::clicked, this, &CMyPropertySheet::accept);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &CMyPropertySheet::reject);
    connect(m_ui->helpButton, &QPushButton::clicked, this, [] { OpenHelpFile(); });

    // The start page is always built, so OK always stores it.
    if (startPage < 0 || startPage >= PageCount())
        startPage = 0;
    m_ui->tabWidget->setCurrentIndex(startPage);
    connect(m_ui->tabWidget, &QTabWidget::currentChanged, this, &CMyPropertySheet::OnTabChanged);
    if (!m_defs.empty())
        OnTabChanged(startPage);
}

CMyPropertySheet::~CMyPropertySheet() = default;

CPropertyPage* CMyPropertySheet::Page(int index) const
{
    return index >= 0 && index < PageCount() ? m_pages[size_t(index)] : nullptr;
}

QTabWidget* CMyPropertySheet::Tabs() const { return m_ui->tabWidget; }

void CMyPropertySheet::OnTabChanged(int index)
{
    if (m_reverting || index == m_current)
        return;
    // A page that refuses to be left stays in front.
    if (CPropertyPage* leaving = Page(m_current); leaving && !leaving->OnKillActive()) {
        m_reverting = true;
        m_ui->tabWidget->setCurrentIndex(m_current);
        m_reverting = false;
        return;
    }
    m_current = index;
    if (index >= 0 && !m_pages[size_t(index)])
        BuildPage(index);
}

void CMyPropertySheet::BuildPage(int index)
{
    CPropertyPage* page = m_defs[size_t(index)].create();
    m_pages[size_t(index)] = page;
    m_tabs[size_t(index)]->layout()->addWidget(page);
    if (!page->windowTitle().isEmpty())
        m_ui->tabWidget->setTabText(index, page->windowTitle());
    page->OnInitDialog();
    page->show();
}

void CMyPropertySheet::accept()
{
    if (CPropertyPage* current = Page(m_current); current && !current->OnKillActive())
        return;
    // A page that could not store its data keeps the sheet open, so the
    // user can try again or cancel.
    for (CPropertyPage* page : m_pages)
        if (page && !page->OnOK())
            return;
    QDialog::accept();
}
