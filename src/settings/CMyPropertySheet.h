// The settings sheet "Instellingen": four tabbed pages and "Extra" after
// them, OK, Cancel and Help, no Apply. Each opening builds fresh pages; a page is built, and reads its
// data, when its tab is first shown.
#pragma once

#include "PropertyPage.h"

#include <QDialog>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class QTabWidget;

namespace Ui {
class CMyPropertySheet;
}

class CMyPropertySheet final : public QDialog
{
    Q_OBJECT

public:
    enum PageIndex { kPhoneBookPage, kActionPage, kSettingsPage, kServicePage, kExtraPage };

    struct PageDef
    {
        QString caption; // the tab's text until the page is built; then the page's title
        std::function<CPropertyPage*()> create;
    };

    // The program's sheet; run it with exec(). `parent` is the main window.
    explicit CMyPropertySheet(QWidget* parent = nullptr, int startPage = kPhoneBookPage);
    // Any pages, in order: for tests of the sheet itself.
    CMyPropertySheet(QWidget* parent, std::vector<PageDef> pages, int startPage);
    ~CMyPropertySheet() override;

    static std::vector<PageDef> StandardPages();

    int PageCount() const { return int(m_defs.size()); }
    // The page at `index`, or nullptr while its tab has not been shown.
    CPropertyPage* Page(int index) const;
    QTabWidget* Tabs() const;

    // OK: the shown page takes its controls over, then every page built
    // during this opening stores its data, in page order. One that fails
    // keeps the sheet open.
    void accept() override;

private:
    void OnTabChanged(int index);
    void BuildPage(int index);

    std::unique_ptr<Ui::CMyPropertySheet> m_ui;
    std::vector<PageDef> m_defs;
    std::vector<QWidget*> m_tabs;        // one container per tab, owned by the tab widget
    std::vector<CPropertyPage*> m_pages; // owned by their tabs; nullptr until built
    int m_current = -1;
    bool m_reverting = false;
};
