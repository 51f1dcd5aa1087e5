// The phone-book page and its entry dialog: what reaches "telefoonboek.dat"
// and what the dialog remembers, driven through the buttons as a user would.
#include "CMyPropertyPage1.h"
#include "CPhoneBookEntryDlg.h"

#include "FakePlatform.h"
#include "SettingsStore.h"

#include <QAbstractItemModelTester>
#include <QAccessible>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <functional>

namespace {

using Records = QList<PhoneBookRecord>;

// Three records, 8-bit bytes included: ë (0xEB), € (0x80) and the five
// octets Windows-1252 leaves undefined.
const QByteArray kThreeRecords("0201\r\nAnna\r\nWav-file\r\nC:\\bel.wav\r\n"
                               "0302\r\nBert \xeb\x80\r\nProgramma\r\nC:\\x\x81\x8d\x8f\x90\x9d.exe\r\n"
                               "0403\r\nCor\r\nMS-Access\r\nC:\\db.mdb\r\n");

QByteArray FileBytes(const QString& name = kPhoneBookFileName)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void WriteFile(const QByteArray& bytes, const QString& name = kPhoneBookFileName)
{
    QFile file(name);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

template <typename T>
T* Find(QWidget& parent, const char* name)
{
    T* widget = parent.findChild<T*>(QLatin1String(name));
    if (!widget)
        qFatal("no %s", name);
    return widget;
}

QLineEdit* Edit(CPhoneBookEntryDlg& dlg, const char* name) { return Find<QLineEdit>(dlg, name); }

// What the entry dialog shows; `action` is the checked radio button's text.
struct Shown
{
    QString number, name, action, wavPath, programPath, mdbPath;
    bool operator==(const Shown&) const = default;
};

Shown ShownBy(CPhoneBookEntryDlg& dlg)
{
    Shown shown{Edit(dlg, "numberEdit")->text(), Edit(dlg, "nameEdit")->text(), {},
                Edit(dlg, "wavPathEdit")->text(), Edit(dlg, "programPathEdit")->text(),
                Edit(dlg, "mdbPathEdit")->text()};
    for (QRadioButton* radio : dlg.findChildren<QRadioButton*>())
        if (radio->isChecked())
            shown.action += radio->text();
    return shown;
}

// Answers the entry dialog the next time it runs: `act` works on it (and
// may note what it showed), then OK or Cancel closes it.
void AnswerEntryDialog(std::function<void(CPhoneBookEntryDlg&)> act, bool ok)
{
    QTimer::singleShot(0, [act, ok] {
        auto* dlg = qobject_cast<CPhoneBookEntryDlg*>(QApplication::activeModalWidget());
        QVERIFY(dlg);
        if (act)
            act(*dlg);
        Find<QPushButton>(*dlg, ok ? "okButton" : "cancelButton")->click();
    });
}

void Select(CMyPropertyPage1& page, const QList<int>& rows)
{
    QTreeView* view = Find<QTreeView>(page, "phoneBookList");
    view->selectionModel()->clearSelection();
    for (int row : rows)
        view->selectionModel()->select(page.Model().index(row, 0),
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

void Click(CMyPropertyPage1& page, const char* button) { Find<QPushButton>(page, button)->click(); }

} // namespace

Q_DECLARE_METATYPE(PhoneBookRecord)

namespace QTest {
template <>
char* toString(const PhoneBookRecord& r)
{
    return qstrdup(QString("{%1|%2|%3|%4}").arg(r.number, r.name, r.action, r.path).toUtf8());
}
template <>
char* toString(const Shown& s)
{
    return qstrdup(QString("{%1|%2|%3|%4|%5|%6}")
                       .arg(s.number, s.name, s.action, s.wavPath, s.programPath, s.mdbPath)
                       .toUtf8());
}
} // namespace QTest

class TestPhoneBookPage : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void okWithoutChangesRewritesTheFile_data();
    void okWithoutChangesRewritesTheFile();
    void listShowsTheColumns();
    void newTwiceRemembersTheValues_data();
    void newTwiceRemembersTheValues();
    void newRowTakesThePathOfTheCheckedAction_data();
    void newRowTakesThePathOfTheCheckedAction();
    void propertiesMovesTheRowToTheTop_data();
    void propertiesMovesTheRowToTheTop();
    void deleteWithoutOkKeepsTheFile_data();
    void deleteWithoutOkKeepsTheFile();
    void numberTakesDigitsOnly_data();
    void numberTakesDigitsOnly();
    void pickers_data();
    void pickers();
    void unreadableFileIsNotOverwritten();
    void silentRoundTrips();
    void importJoinsTheList_data();
    void importJoinsTheList();
    void exportWritesTheList();
    void everyControlHasAName();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<FakePlatform> m_platform;
    QString m_previous;
};

void TestPhoneBookPage::init()
{
    m_previous = QDir::currentPath();
    m_dir = std::make_unique<QTemporaryDir>();
    QDir::setCurrent(m_dir->path());
    SetSettingsFileForTesting(m_dir->filePath("Zoemlijn.conf"));
    m_platform = std::make_unique<FakePlatform>();
}

void TestPhoneBookPage::cleanup()
{
    m_platform.reset();
    SetSettingsFileForTesting(QString());
    QDir::setCurrent(m_previous);
}

void TestPhoneBookPage::okWithoutChangesRewritesTheFile_data()
{
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("rows");
    QTest::newRow("no file: made empty") << false << QByteArray() << 0;
    QTest::newRow("empty file") << true << QByteArray() << 0;
    QTest::newRow("three records with 8-bit bytes") << true << kThreeRecords << 3;
    QTest::newRow("action that is no keyword, empty record")
        << true << QByteArray("1\r\nA\r\nwav-file\r\nx\r\n\r\n\r\n\r\n\r\n") << 2;
}

void TestPhoneBookPage::okWithoutChangesRewritesTheFile()
{
    QFETCH(bool, exists);
    QFETCH(QByteArray, bytes);
    QFETCH(int, rows);
    if (exists) {
        WriteFile(bytes);
        QFile file(kPhoneBookFileName);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(QDateTime(QDate(2001, 1, 1), QTime(0, 0)), QFileDevice::FileModificationTime));
    }
    CMyPropertyPage1 page;
    page.OnInitDialog();
    QCOMPARE(page.Model().rowCount(), rows);
    QCOMPARE(FileBytes(), bytes);
    page.OnOK();
    QCOMPARE(FileBytes(), bytes);
    QVERIFY(QFileInfo(kPhoneBookFileName).lastModified().date().year() > 2001);
    QVERIFY(m_platform->messages.isEmpty());
}

void TestPhoneBookPage::listShowsTheColumns()
{
    WriteFile(kThreeRecords);
    CMyPropertyPage1 page;
    QCOMPARE(page.windowTitle(), QString("Telefoonboek"));
    page.OnInitDialog();
    QAbstractItemModelTester tester(&page.Model(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    QTreeView* view = Find<QTreeView>(page, "phoneBookList");
    const QStringList headings{"Telefoonnummer", "Naam", "Aktie", "Pad naar bestand"};
    const QList<int> widths{110, 120, 110, 300};
    for (int column = 0; column < 4; ++column) {
        QCOMPARE(page.Model().headerData(column, Qt::Horizontal, Qt::DisplayRole).toString(), headings[column]);
        QCOMPARE(view->header()->sectionSize(column), widths[column]);
    }
    QCOMPARE(page.Model().index(1, 1).data().toString(), QString::fromUtf8("Bert ë€"));
    QVERIFY(!page.Model().index(2, 0).data(Qt::DecorationRole).value<QIcon>().isNull());
    QCOMPARE(view->selectionMode(), QAbstractItemView::ExtendedSelection);
    QCOMPARE(view->selectionBehavior(), QAbstractItemView::SelectRows);
}

void TestPhoneBookPage::newTwiceRemembersTheValues_data()
{
    QTest::addColumn<bool>("firstOk");
    QTest::addColumn<Shown>("secondShows");
    QTest::addColumn<Records>("rows");
    const PhoneBookRecord added{"0612", "Dirk", "Programma", "C:\\p.exe"};
    QTest::newRow("first closed with OK") << true << Shown{"0612", "Dirk", "Programma", "", "C:\\p.exe", ""}
                                          << Records{added};
    QTest::newRow("first cancelled: still empty") << false << Shown{} << Records{};
}

void TestPhoneBookPage::newTwiceRemembersTheValues()
{
    QFETCH(bool, firstOk);
    QFETCH(Shown, secondShows);
    QFETCH(Records, rows);
    CMyPropertyPage1 page;
    page.OnInitDialog();

    AnswerEntryDialog(
        [](CPhoneBookEntryDlg& dlg) {
            QTest::keyClicks(Edit(dlg, "numberEdit"), "06-12"); // digits only
            QTest::keyClicks(Edit(dlg, "nameEdit"), "Dirk");
            Find<QRadioButton>(dlg, "programRadio")->click();
            QTest::keyClicks(Edit(dlg, "programPathEdit"), "C:\\p.exe");
        },
        firstOk);
    Click(page, "newButton");
    QCOMPARE(page.Model().Records(), rows);

    Shown shown;
    shown.number = "<not shown>";
    AnswerEntryDialog([&shown](CPhoneBookEntryDlg& dlg) { shown = ShownBy(dlg); }, false);
    Click(page, "newButton");
    QCOMPARE(shown, secondShows);
    QCOMPARE(page.Model().Records(), rows);
}

void TestPhoneBookPage::newRowTakesThePathOfTheCheckedAction_data()
{
    QTest::addColumn<QString>("radio");
    QTest::addColumn<PhoneBookRecord>("row");
    QTest::newRow("none checked") << QString() << PhoneBookRecord{"1", "N", "", ""};
    QTest::newRow("Wav-file") << "wavRadio" << PhoneBookRecord{"1", "N", "Wav-file", "w.wav"};
    QTest::newRow("Programma") << "programRadio" << PhoneBookRecord{"1", "N", "Programma", "p.exe"};
    QTest::newRow("MS-Access") << "mdbRadio" << PhoneBookRecord{"1", "N", "MS-Access", "d.mdb"};
    QTest::newRow("Stil: no path") << "silentRadio" << PhoneBookRecord{"1", "N", "Stil", ""};
}

void TestPhoneBookPage::newRowTakesThePathOfTheCheckedAction()
{
    QFETCH(QString, radio);
    QFETCH(PhoneBookRecord, row);
    WriteFile(kThreeRecords);
    CMyPropertyPage1 page;
    page.OnInitDialog();
    AnswerEntryDialog(
        [radio](CPhoneBookEntryDlg& dlg) {
            Edit(dlg, "numberEdit")->setText("1");
            Edit(dlg, "nameEdit")->setText("N");
            Edit(dlg, "wavPathEdit")->setText("w.wav");
            Edit(dlg, "programPathEdit")->setText("p.exe");
            Edit(dlg, "mdbPathEdit")->setText("d.mdb");
            if (!radio.isEmpty())
                Find<QRadioButton>(dlg, radio.toLatin1())->click();
        },
        true);
    Click(page, "newButton");
    QCOMPARE(page.Model().rowCount(), 4);
    QCOMPARE(page.Model().Record(0), row);

    page.OnOK();
    Records saved;
    LoadPhoneBook(&saved);
    QCOMPARE(saved.size(), 4);
    QCOMPARE(saved.first(), row);
}

void TestPhoneBookPage::propertiesMovesTheRowToTheTop_data()
{
    QTest::addColumn<QList<int>>("selected");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<Shown>("dialogShows");
    QTest::addColumn<QStringList>("namesAfter");
    const QStringList unchanged{"Anna", "Bert", "Cor", "Dora"};
    QTest::newRow("third row, OK") << QList<int>{2} << true
                                   << Shown{"0403", "Cor", "MS-Access", "remembered.wav", "", "C:\\db.mdb"}
                                   << QStringList{"Cor*", "Anna", "Bert", "Dora"};
    QTest::newRow("third row, Cancel") << QList<int>{2} << false
                                       << Shown{"0403", "Cor", "MS-Access", "remembered.wav", "", "C:\\db.mdb"} << unchanged;
    QTest::newRow("several selected: the topmost") << QList<int>{3, 1} << true
                                                   << Shown{"0302", "Bert", "Programma", "remembered.wav", "C:\\b.exe", ""}
                                                   << QStringList{"Bert*", "Anna", "Cor", "Dora"};
    QTest::newRow("no keyword: the last use's action stays")
        << QList<int>{3} << true << Shown{"0504", "Dora", "Wav-file", "remembered.wav", "", ""}
        << QStringList{"Dora*", "Anna", "Bert", "Cor"};
    QTest::newRow("nothing selected: empty, list unchanged")
        << QList<int>{} << true << Shown{"", "", "Wav-file", "remembered.wav", "", ""} << unchanged;
}

void TestPhoneBookPage::propertiesMovesTheRowToTheTop()
{
    QFETCH(QList<int>, selected);
    QFETCH(bool, ok);
    QFETCH(Shown, dialogShows);
    QFETCH(QStringList, namesAfter);
    WriteFile("0201\r\nAnna\r\nWav-file\r\na.wav\r\n"
              "0302\r\nBert\r\nProgramma\r\nC:\\b.exe\r\n"
              "0403\r\nCor\r\nMS-Access\r\nC:\\db.mdb\r\n"
              "0504\r\nDora\r\n\r\n\r\n");
    CMyPropertyPage1 page;
    page.OnInitDialog();
    // A last use of the dialog that left a wave file checked.
    page.EntryDialog().m_action = CPhoneBookEntryDlg::WavFileAction;
    page.EntryDialog().m_wavPath = "remembered.wav";

    Select(page, selected);
    Shown shown;
    AnswerEntryDialog(
        [&shown](CPhoneBookEntryDlg& dlg) {
            shown = ShownBy(dlg);
            QLineEdit* name = Edit(dlg, "nameEdit");
            name->setText(name->text() + "*");
        },
        ok);
    Click(page, "propertiesButton");
    QCOMPARE(shown, dialogShows);
    QStringList names;
    for (const PhoneBookRecord& record : page.Model().Records())
        names << record.name;
    QCOMPARE(names, namesAfter);
    if (names.first() != "Anna") {
        // Only the path of the entry's own action went into the moved row.
        const PhoneBookRecord& moved = page.Model().Record(0);
        QCOMPARE(moved.number, dialogShows.number);
        QCOMPARE(moved.action, dialogShows.action);
        QCOMPARE(moved.path, dialogShows.action == "Wav-file"    ? dialogShows.wavPath
                             : dialogShows.action == "Programma" ? dialogShows.programPath
                                                                 : dialogShows.mdbPath);
        page.OnOK();
        Records saved;
        LoadPhoneBook(&saved);
        QCOMPARE(saved, page.Model().Records());
    }
}

void TestPhoneBookPage::deleteWithoutOkKeepsTheFile_data()
{
    QTest::addColumn<QList<int>>("selected");
    QTest::addColumn<QStringList>("namesAfter");
    QTest::newRow("one selected") << QList<int>{1} << QStringList{"Anna", "Cor"};
    QTest::newRow("several selected: the topmost goes") << QList<int>{2, 1} << QStringList{"Anna", "Cor"};
    QTest::newRow("nothing selected") << QList<int>{} << QStringList{"Anna", "Bert \xeb\x80", "Cor"};
}

void TestPhoneBookPage::deleteWithoutOkKeepsTheFile()
{
    QFETCH(QList<int>, selected);
    QFETCH(QStringList, namesAfter);
    namesAfter.replaceInStrings("\xeb\x80", QString::fromUtf8("ë€"));
    WriteFile(kThreeRecords);
    {
        CMyPropertyPage1 page;
        page.OnInitDialog();
        Select(page, selected);
        Click(page, "deleteButton");
        QStringList names;
        for (const PhoneBookRecord& record : page.Model().Records())
            names << record.name;
        QCOMPARE(names, namesAfter);
        Select(page, {0});
        Click(page, "deleteButton");
        QCOMPARE(page.Model().rowCount(), namesAfter.size() - 1);
        // The sheet cancelled: the page goes without OnOK.
    }
    QCOMPARE(FileBytes(), kThreeRecords);
}

void TestPhoneBookPage::numberTakesDigitsOnly_data()
{
    QTest::addColumn<QString>("number");
    QTest::addColumn<QString>("keys"); // '\b' is Backspace
    QTest::addColumn<QString>("shown");
    QTest::newRow("other characters are not typed") << "" << "06-12 34a" << "061234";
    QTest::newRow("a stored '+' stays editable") << "+4930" << "\b\b12" << "+4912";
    QTest::newRow("but gets no company") << "+4930" << "+#" << "+4930";
}

void TestPhoneBookPage::numberTakesDigitsOnly()
{
    QFETCH(QString, number);
    QFETCH(QString, keys);
    QFETCH(QString, shown);
    CPhoneBookEntryDlg dlg;
    dlg.m_number = number;
    dlg.UpdateData(false);
    QLineEdit* edit = Edit(dlg, "numberEdit");
    edit->end(false);
    for (QChar key : keys) {
        if (key == u'\b')
            QTest::keyClick(edit, Qt::Key_Backspace);
        else
            QTest::keyClicks(edit, QString(key));
    }
    QCOMPARE(edit->text(), shown);
}

void TestPhoneBookPage::pickers_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("field");
    QTest::addColumn<bool>("chosen");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("defaultExtension");
    QTest::addColumn<QString>("initialName");
    QTest::addColumn<QString>("fieldAfter");
    QTest::newRow("wave file chosen") << "wavButton" << "wavPathEdit" << true << "/geluid/bel.wav" << "*.wav"
                                      << "*.wav" << "/geluid/bel.wav";
    QTest::newRow("wave file cancelled: emptied")
        << "wavButton" << "wavPathEdit" << false << "" << "*.wav" << "*.wav" << "";
    QTest::newRow("program chosen") << "programButton" << "programPathEdit" << true << "/bin/p" << "programma of bestand"
                                    << "*.*" << "/bin/p";
    QTest::newRow("program cancelled: kept") << "programButton" << "programPathEdit" << false << ""
                                             << "programma of bestand" << "*.*" << "old";
    QTest::newRow("database chosen") << "mdbButton" << "mdbPathEdit" << true << "/db/a.mdb" << "mdb" << "*.mdb"
                                     << "/db/a.mdb";
    QTest::newRow("database cancelled: kept")
        << "mdbButton" << "mdbPathEdit" << false << "" << "mdb" << "*.mdb" << "old";
    QTest::newRow("a name the file cannot hold: as cancelled")
        << "programButton" << "programPathEdit" << true << QString::fromUtf8("/home/łukasz/p") << "programma of bestand"
        << "*.*" << "old";
}

void TestPhoneBookPage::pickers()
{
    QFETCH(QString, button);
    QFETCH(QString, field);
    QFETCH(bool, chosen);
    QFETCH(QString, path);
    QFETCH(QString, defaultExtension);
    QFETCH(QString, initialName);
    QFETCH(QString, fieldAfter);
    CMyPropertyPage1 page;
    page.OnInitDialog();
    if (chosen)
        m_platform->QueueFileName(path);
    else
        m_platform->QueueCancel();

    Shown before, after;
    AnswerEntryDialog(
        [&](CPhoneBookEntryDlg& dlg) {
            for (const char* name : {"wavPathEdit", "programPathEdit", "mdbPathEdit"})
                Edit(dlg, name)->setText("old");
            Edit(dlg, "nameEdit")->setText("typed");
            Find<QRadioButton>(dlg, "mdbRadio")->click();
            before = ShownBy(dlg);
            Find<QPushButton>(dlg, button.toLatin1())->click();
            after = ShownBy(dlg);
        },
        false);
    Click(page, "newButton");

    QCOMPARE(m_platform->fileDialogs.size(), size_t(1));
    QCOMPARE(m_platform->fileDialogs[0].save, false);
    QCOMPARE(m_platform->fileDialogs[0].defaultExtension, defaultExtension);
    QCOMPARE(m_platform->fileDialogs[0].initialName, initialName);
    const bool refused = chosen && fieldAfter != path;
    QCOMPARE(m_platform->messages.size(), refused ? 1 : 0);
    // Only the picked field changes; the typed name and the radio stay.
    Shown expected = before;
    if (field == "wavPathEdit")
        expected.wavPath = fieldAfter;
    else if (field == "programPathEdit")
        expected.programPath = fieldAfter;
    else
        expected.mdbPath = fieldAfter;
    QCOMPARE(after, expected);
    QCOMPARE(page.Model().rowCount(), 0);
}

void TestPhoneBookPage::unreadableFileIsNotOverwritten()
{
    // A directory of that name exists but cannot be read as a file.
    QVERIFY(QDir().mkdir(kPhoneBookFileName));
    CMyPropertyPage1 page;
    page.OnInitDialog();
    QCOMPARE(page.Model().rowCount(), 0);
    QVERIFY(!Find<QPushButton>(page, "newButton")->isEnabled());
    page.OnOK();
    QVERIFY(QFileInfo(kPhoneBookFileName).isDir());
    QVERIFY(m_platform->messages.isEmpty());
}

void TestPhoneBookPage::silentRoundTrips()
{
    WriteFile("0201\r\nAnna\r\nWav-file\r\na.wav\r\n0302\r\nBert\r\nStil\r\n\r\n");
    CMyPropertyPage1 page;
    page.OnInitDialog();
    page.EntryDialog().m_wavPath = "remembered.wav";
    Select(page, {1});
    Shown shown;
    AnswerEntryDialog([&shown](CPhoneBookEntryDlg& dlg) { shown = ShownBy(dlg); }, true);
    Click(page, "propertiesButton");
    QCOMPARE(shown, (Shown{"0302", "Bert", "Stil", "remembered.wav", "", ""}));
    page.OnOK();
    QCOMPARE(FileBytes(), QByteArray("0302\r\nBert\r\nStil\r\n\r\n0201\r\nAnna\r\nWav-file\r\na.wav\r\n"));
}

void TestPhoneBookPage::importJoinsTheList_data()
{
    QTest::addColumn<QByteArray>("file"); // empty: the dialog is cancelled
    QTest::addColumn<QStringList>("numbersAfter");
    QTest::addColumn<QString>("message"); // %1: the file's path
    QTest::newRow("vCard: new numbers after the rows, one already there")
        << QByteArray("BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Anna\r\nTEL:+31 30 123 45 67\r\nTEL:020 765 4321\r\n"
                      "END:VCARD\r\nBEGIN:VCARD\r\nVERSION:3.0\r\nFN:\xc5\x81ukasz\r\nTEL:+48 22 123 45 67\r\nTEL:0403\r\n"
                      "END:VCARD\r\n")
        << QStringList{"0201", "0302", "0403", "0301234567", "0207654321", "0048221234567"}
        << "Importeren: 3 nummers toegevoegd, 1 nummer stond al in het telefoonboek, 1 naam aangepast.";
    QTest::newRow("not an address book: said, nothing added")
        << QByteArray("Naam;Adres\r\nAnna;Straat 1\r\n") << QStringList{"0201", "0302", "0403"}
        << "%1 bevat geen vCard.";
    QTest::newRow("dialog cancelled") << QByteArray() << QStringList{"0201", "0302", "0403"} << "";
}

void TestPhoneBookPage::importJoinsTheList()
{
    QFETCH(QByteArray, file);
    QFETCH(QStringList, numbersAfter);
    QFETCH(QString, message);
    WriteFile(kThreeRecords);
    const QString path = m_dir->filePath("adressen.vcf");
    WriteFile(file, path);
    file.isEmpty() ? m_platform->QueueCancel() : m_platform->QueueFileName(path);
    CMyPropertyPage1 page;
    page.OnInitDialog();
    Click(page, "importButton");
    QCOMPARE(m_platform->fileDialogs.size(), size_t(1));
    QCOMPARE(m_platform->fileDialogs[0].save, false);
    QCOMPARE(m_platform->fileDialogs[0].initialName, QString("*.vcf *.csv"));
    // The book's own rows stay on top, the new ones follow in file order.
    QStringList numbers;
    for (const PhoneBookRecord& record : page.Model().Records())
        numbers << record.number;
    QCOMPARE(numbers, numbersAfter);
    QCOMPARE(m_platform->messages, message.isEmpty() ? QStringList() : QStringList{message.replace("%1", path)});
    // Like every edit, only OK writes it.
    QCOMPARE(FileBytes(), kThreeRecords);
    page.OnOK();
    Records saved;
    LoadPhoneBook(&saved);
    QCOMPARE(saved, page.Model().Records());
}

void TestPhoneBookPage::exportWritesTheList()
{
    WriteFile(kThreeRecords);
    CMyPropertyPage1 page;
    page.OnInitDialog();
    Select(page, {1});
    Click(page, "deleteButton");
    const QString path = m_dir->filePath("uit.csv"), taken = m_dir->filePath("bezet.vcf");
    m_platform->QueueFileName(path);
    Click(page, "exportButton");
    QCOMPARE(m_platform->fileDialogs.size(), size_t(1));
    QCOMPARE(m_platform->fileDialogs[0].save, true);
    QCOMPARE(m_platform->fileDialogs[0].defaultExtension, QString("vcf"));
    // The list as it stands, the unsaved deletion included.
    QCOMPARE(FileBytes(path),
             QByteArray("Name,Phone 1 - Type,Phone 1 - Value\r\nAnna,Other,0201\r\nCor,Other,0403\r\n"));
    QCOMPARE(m_platform->messages, QStringList{"Exporteren: 2 nummers naar " + path + "."});

    // A file that cannot be written: said, and the list stays.
    QVERIFY(QDir().mkpath(taken + "/x"));
    m_platform->QueueFileName(taken);
    Click(page, "exportButton");
    QCOMPARE(m_platform->messages.value(1), "Kan " + taken + " niet schrijven.");
    QCOMPARE(page.Model().rowCount(), 2);
}

void TestPhoneBookPage::everyControlHasAName()
{
    CMyPropertyPage1 page;
    page.OnInitDialog();
    for (QWidget* form : {static_cast<QWidget*>(&page), static_cast<QWidget*>(&page.EntryDialog())}) {
        for (QWidget* widget : form->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (widget->isWindow())
                continue;
            QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
            QVERIFY2(accessible && !accessible->text(QAccessible::Name).isEmpty(),
                     qPrintable(widget->objectName()));
        }
    }
}

QTEST_MAIN(TestPhoneBookPage)
#include "TestPhoneBookPage.moc"
