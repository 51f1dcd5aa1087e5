// The call list: its model, its file and its export, on the bytes.
#include "CallList.h"

#include "CallListSaver.h"

#include "Cp1252.h"

#include <QAbstractItemModelTester>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QByteArray kExampleRow = QByteArray::fromHex(
    "30313233343536373839" "0d0a" "4b616e746f6f72" "0d0a" "48616c6c6f2064616172" "0d0a" "30393837363534333231"
    "0d0a" "31322f362f3939" "0d0a" "393a30353a3037" "0d0a" "4953444e2d54656c65666f6e6965" "0d0a");
const QStringList kExampleFields{"0123456789", "Kantoor", "Hallo daar", "0987654321", "12/6/99", "9:05:07",
                                 "ISDN-Telefonie"};

QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void WriteAll(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

QByteArray Lines(int count)
{
    QByteArray bytes;
    for (int i = 0; i < count; ++i)
        bytes += "regel " + QByteArray::number(i) + "\r\n";
    return bytes;
}

} // namespace

class TestCallList : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void dateAndTime_data();
    void dateAndTime();
    void modelKeepsNewestFirst();
    void load_data();
    void load();
    void loadCreatesMissingFile();
    void saveAndExportBytes();
    void breaksInFieldsBecomeBlanks();
    void everyByteRoundTrips();
    void loadedRowsThroughEdits_data();
    void loadedRowsThroughEdits();
    void longListThroughEdits_data();
    void longListThroughEdits();
    void saverFollowsChanges();
    void saverKeepsSnapshotWhileListChanges();
    void saverFailureKeepsOldFile();

private:
    QString Path() const { return m_dir->filePath(kCallListFileName); }
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestCallList::init() { m_dir = std::make_unique<QTemporaryDir>(); }

void TestCallList::dateAndTime_data()
{
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<QString>("date");
    QTest::addColumn<QString>("time");
    QTest::newRow("no leading zeros but minutes and seconds")
        << QDateTime(QDate(1999, 12, 6), QTime(9, 5, 7)) << "12/6/99" << "9:05:07";
    QTest::newRow("year 2000 keeps two digits") << QDateTime(QDate(2000, 1, 2), QTime(0, 0, 0)) << "1/2/00" << "0:00:00";
    QTest::newRow("evening") << QDateTime(QDate(2026, 12, 31), QTime(23, 59, 59)) << "12/31/26" << "23:59:59";
}

void TestCallList::dateAndTime()
{
    QFETCH(QDateTime, when);
    QFETCH(QString, date);
    QFETCH(QString, time);
    QCOMPARE(FormatCallDate(when.date()), date);
    QCOMPARE(FormatCallTime(when.time()), time);
}

void TestCallList::modelKeepsNewestFirst()
{
    CCallListModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    model.InsertTop({"oud"});
    model.InsertTop({"nieuw", "naam"});
    QCOMPARE(inserted.count(), 2);
    QCOMPARE(model.rowCount(), 2);
    QCOMPARE(model.index(0, ColCaller).data().toString(), QString("nieuw"));
    QCOMPARE(model.index(1, ColCaller).data().toString(), QString("oud"));
    QCOMPARE(model.Rows().at(1).size(), kCallListColumns);
    QCOMPARE(model.headerData(ColCallType, Qt::Horizontal).toString(), QString("Soort oproep"));
    model.RemoveRowAt(0);
    model.RemoveRowAt(5); // nothing there
    QCOMPARE(model.rowCount(), 1);
    model.Clear();
    QCOMPARE(model.rowCount(), 0);
}

void TestCallList::load_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("rows");
    QTest::addColumn<QStringList>("lastRow");
    QTest::newRow("empty file") << QByteArray() << 0 << QStringList();
    QTest::newRow("the worked example") << kExampleRow << 1 << kExampleFields;
    QTest::newRow("7 n lines") << Lines(21) << 3 << QStringList{"regel 14", "regel 15", "regel 16", "regel 17",
                                                                 "regel 18", "regel 19", "regel 20"};
    QTest::newRow("7 n + 3 lines: a padded row")
        << Lines(17) << 3 << QStringList{"regel 14", "regel 15", "regel 16", "", "", "", ""};
    QTest::newRow("bare LF and no final line end")
        << QByteArray("a\nb\nc\nd\ne\nf\ng") << 1 << QStringList{"a", "b", "c", "d", "e", "f", "g"};
}

void TestCallList::load()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, rows);
    QFETCH(QStringList, lastRow);
    WriteAll(Path(), bytes);
    CCallListModel model;
    QCOMPARE(LoadCallList(Path(), model), recordfile::ReadStatus::Ok);
    QCOMPARE(model.rowCount(), rows);
    if (rows > 0) {
        QCOMPARE(model.Rows().constLast(), lastRow);
        QCOMPARE(model.index(0, 0).data().toString(), QString::fromLatin1(bytes.left(bytes.indexOf('\n'))).trimmed());
    }
}

void TestCallList::loadCreatesMissingFile()
{
    CCallListModel model;
    QCOMPARE(LoadCallList(Path(), model), recordfile::ReadStatus::Missing);
    QCOMPARE(model.rowCount(), 0);
    QCOMPARE(ReadAll(Path()), QByteArray(""));
    QVERIFY(SaveCallList(Path(), model));
    QCOMPARE(ReadAll(Path()), QByteArray(""));
}

void TestCallList::saveAndExportBytes()
{
    CCallListModel model;
    model.InsertTop(kExampleFields);
    QVERIFY(SaveCallList(Path(), model));
    QCOMPARE(ReadAll(Path()), kExampleRow);
    QVERIFY(ExportCallList(m_dir->filePath("export.txt"), model));
    QCOMPARE(ReadAll(m_dir->filePath("export.txt")), kExampleRow + "\r\n");
    QCOMPARE(ReadAll(m_dir->filePath("export.txt")).size(), 81);
    model.Clear();
    QVERIFY(ExportCallList(m_dir->filePath("export.txt"), model));
    QCOMPARE(ReadAll(m_dir->filePath("export.txt")), QByteArray(""));
}

void TestCallList::breaksInFieldsBecomeBlanks()
{
    CCallListModel model;
    model.InsertTop({"0301", "", QString::fromLatin1("a\r\nb\nc\rd\0e", 10), "0302", "1/1/26", "1:00:00", "x"});
    QVERIFY(SaveCallList(Path(), model));
    QVERIFY(ReadAll(Path()).contains("a  b c d e\r\n"));
    CCallListModel loaded;
    QCOMPARE(LoadCallList(Path(), loaded), recordfile::ReadStatus::Ok);
    QCOMPARE(loaded.rowCount(), 1);
    QCOMPARE(loaded.Rows().at(0).at(ColText), QString("a  b c d e"));
    QCOMPARE(loaded.Rows().at(0).at(ColCallType), QString("x"));
}

void TestCallList::everyByteRoundTrips()
{
    // Every octet that may stand in a line, the five Windows-1252 leaves
    // undefined among them, comes back as it was.
    QByteArray bytes;
    for (int b = 1; b < 256; ++b)
        if (b != '\r' && b != '\n')
            bytes.append(char(b));
    const QByteArray file = "0301\r\n" + bytes + "\r\n" + bytes + "\r\n0302\r\n1/1/26\r\n1:00:00\r\nx\r\n";
    WriteAll(Path(), file);
    CCallListModel model;
    QCOMPARE(LoadCallList(Path(), model), recordfile::ReadStatus::Ok);
    QCOMPARE(model.Rows().at(0).at(ColText), cp1252::Decode(bytes));
    QCOMPARE(model.Rows().at(0).at(ColText).at(bytes.indexOf(char(0x80))), QChar(0x20AC)); // shown as the euro sign
    QVERIFY(SaveCallList(Path(), model));
    QCOMPARE(ReadAll(Path()), file);
}

void TestCallList::loadedRowsThroughEdits_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::newRow("as the list writes it") << Lines(21);
    QTest::newRow("bare LF") << Lines(21).replace("\r\n", "\n");
    QTest::newRow("CR inside a field") << Lines(20) + "a\rb\r\n";
    QTest::newRow("NUL inside a field") << Lines(20) + QByteArray("a\0b\r\n", 5);
}

void TestCallList::loadedRowsThroughEdits()
{
    // Loaded rows, kept as bytes or decoded, read and save as the decoded
    // rows would, around a deleted row and a new one.
    QFETCH(QByteArray, file);
    WriteAll(Path(), file);
    CCallListModel model;
    QCOMPARE(LoadCallList(Path(), model), recordfile::ReadStatus::Ok);
    const QList<QStringList> loaded = recordfile::Parse(file, kCallListColumns);
    QCOMPARE(model.Rows(), loaded);
    model.RemoveRowAt(1);
    model.InsertTop(kExampleFields);
    const QList<QStringList> expected{kExampleFields, loaded[0], loaded[2]};
    QCOMPARE(model.Rows(), expected);
    QCOMPARE(model.index(2, ColCallType).data().toString(), loaded[2][ColCallType]);
    QVERIFY(SaveCallList(Path(), model));
    QCOMPARE(ReadAll(Path()), recordfile::Format(expected, kCallListColumns));
    QVERIFY(ExportCallList(m_dir->filePath("export.txt"), model));
    QCOMPARE(ReadAll(m_dir->filePath("export.txt")), recordfile::Format(expected, kCallListColumns, true));
}

void TestCallList::longListThroughEdits_data()
{
    // Edits at the edges of the blocks a long list is kept in, each against
    // the same edits on a plain list.
    QTest::addColumn<QList<int>>("removals"); // rows removed in turn; -1 adds a row on top
    QTest::newRow("first and last row") << QList<int>{0, 1498};
    QTest::newRow("around a block edge") << QList<int>{511, 511, 511, 0};
    QTest::newRow("a whole block emptied") << QList<int>(512, 512);
    QTest::newRow("new rows past a full block") << QList<int>(600, -1) + QList<int>{599, 600};
}

void TestCallList::longListThroughEdits()
{
    QFETCH(QList<int>, removals);
    WriteAll(Path(), Lines(1500 * kCallListColumns));
    CCallListModel model;
    QCOMPARE(LoadCallList(Path(), model), recordfile::ReadStatus::Ok);
    QList<QStringList> plain = recordfile::Parse(Lines(1500 * kCallListColumns), kCallListColumns);
    int added = 0;
    for (int row : removals) {
        if (row < 0) {
            const QStringList fields{"nieuw " + QString::number(added++), "", "", "", "", "", ""};
            model.InsertTop(fields);
            plain.prepend(fields);
        } else {
            model.RemoveRowAt(row);
            plain.removeAt(row);
        }
        // Read from the bottom up, so no place is remembered in between.
        QCOMPARE(model.Row(model.rowCount() - 1), plain.constLast());
    }
    QCOMPARE(model.rowCount(), int(plain.size()));
    QCOMPARE(model.Rows(), plain);
    QVERIFY(SaveCallList(Path(), model));
    QCOMPARE(ReadAll(Path()), recordfile::Format(plain, kCallListColumns));
}

void TestCallList::saverFollowsChanges()
{
    // Each burst of changes without the event loop in between is written
    // once, and nothing is written while nothing changes.
    CCallListModel model;
    CCallListSaver saver(Path(), model);
    QSignalSpy saved(&saver, &CCallListSaver::Saved);
    model.InsertTop(kExampleFields);
    model.InsertTop({"0302", "", "twee"});
    model.InsertTop({"0303", "", "drie"});
    model.RemoveRowAt(0);
    QTRY_COMPARE(saved.size(), 1);
    QCOMPARE(saved.at(0).at(0).toBool(), true);
    QCOMPARE(ReadAll(Path()), recordfile::Format({{"0302", "", "twee"}}, kCallListColumns) + kExampleRow);
    model.Clear();
    QTRY_COMPARE(saved.size(), 2);
    QCOMPARE(ReadAll(Path()), QByteArray());
    QTest::qWait(100);
    QCOMPARE(saver.Writes(), 2);
}

void TestCallList::saverKeepsSnapshotWhileListChanges()
{
    // Changes while a write is under way: the write holds the rows as they
    // were, and one more write follows with everything.
    CCallListModel model;
    QByteArray big;
    for (int i = 0; i < 20000; ++i)
        big += recordfile::Format({{QString::number(i), "naam", "tekst"}}, kCallListColumns);
    WriteAll(Path(), big);
    QCOMPARE(LoadCallList(Path(), model), recordfile::ReadStatus::Ok);
    CCallListSaver saver(Path(), model);
    saver.SetDelay(0);
    QSignalSpy saved(&saver, &CCallListSaver::Saved);
    model.InsertTop(kExampleFields);
    QTRY_VERIFY(saver.Writes() == 1);
    for (int i = 0; i < 5; ++i)
        model.InsertTop({"nieuw " + QString::number(i)});
    QTRY_COMPARE(saved.size(), 2);
    QVERIFY(saver.Writes() == 2);
    const QByteArray file = ReadAll(Path());
    QVERIFY(file.startsWith("nieuw 4\r\n"));
    QVERIFY(file.endsWith(big));
    QCOMPARE(file.count('\n'), (20000 + 6) * kCallListColumns);
    // The shutdown's save writes what is there, after the write in flight.
    model.RemoveRowAt(0);
    QVERIFY(saver.SaveNow());
    QVERIFY(ReadAll(Path()).startsWith("nieuw 3\r\n"));
}

void TestCallList::saverFailureKeepsOldFile()
{
    // The file's folder is gone: the write fails, and says so.
    const QString path = m_dir->filePath("weg/bellijst.dat");
    CCallListModel model;
    CCallListSaver saver(path, model);
    QSignalSpy saved(&saver, &CCallListSaver::Saved);
    model.InsertTop(kExampleFields);
    QTRY_COMPARE(saved.size(), 1);
    QCOMPARE(saved.at(0).at(0).toBool(), false);
    QVERIFY(!saver.SaveNow());
}

QTEST_GUILESS_MAIN(TestCallList)
#include "TestCallList.moc"
