// The first page of the settings sheet: the phone book as a list that is
// edited in memory and written back to "telefoonboek.dat" only on OK.
#pragma once

#include "CPhoneBookEntryDlg.h"
#include "PhoneBookModel.h"
#include "PropertyPage.h"

#include <memory>

class QTreeView;
namespace Ui { class CMyPropertyPage1; }

class CMyPropertyPage1 : public CPropertyPage
{
    Q_OBJECT

public:
    explicit CMyPropertyPage1(QWidget* parent = nullptr);
    ~CMyPropertyPage1() override;

    // Loads the file into the list; once, when the page is first shown.
    void OnInitDialog() override;
    // Writes the list to the file, top row first, changed or not. When that
    // fails it says so and returns false: the sheet stays open with the
    // edits. A file that could not be read is left alone.
    bool OnOK() override;

    // The three buttons.
    void OnNew();
    void OnDelete();
    void OnProperties();
    // Address books: contacts of a vCard or CSV file join the list (saved
    // by OK like every edit); the list goes out as vCard 4.0 or CSV.
    void OnImport();
    void OnExport();

    CPhoneBookModel& Model() { return m_model; }
    CPhoneBookEntryDlg& EntryDialog() { return *m_entryDlg; }

private:
    // The row the three buttons work on: the topmost selected one, or -1.
    int FirstSelectedRow() const;
    // A record from the entry dialog's members; only the path that belongs
    // to the checked action is taken.
    PhoneBookRecord RecordFromDialog() const;

    std::unique_ptr<Ui::CMyPropertyPage1> m_ui;
    QTreeView* m_phoneBookList = nullptr;
    CPhoneBookEntryDlg* m_entryDlg = nullptr; // a child: lives as long as the page
    CPhoneBookModel m_model;
    // Set when the file exists but could not be read: its records are
    // unknown, so OK must not overwrite it with an empty list.
    bool m_loadFailed = false;
    bool m_initialised = false;
};
