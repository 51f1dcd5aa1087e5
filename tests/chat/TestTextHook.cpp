// The program for every text: what it gets, that no shell reads it, and
// that no more than four run at once.
#include "TextHook.h"

#include "DesktopPlatform.h"
#include "FakePlatform.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

ReceivedText Text(const QString& number, const QString& name, const QString& text)
{
    return {number, name, text, QStringLiteral("0302222222"), QStringLiteral("Unrestricted digital information"),
            QDateTime(QDate(1999, 12, 6), QTime(9, 5, 7), Qt::OffsetFromUTC, 3600)};
}

} // namespace

class TestTextHook : public QObject
{
    Q_OBJECT

private slots:
    void argumentsAndVariables_data();
    void argumentsAndVariables();
    void fourAtMostUnderABurst();
    void realProgramGetsEveryByte_data();
    void realProgramGetsEveryByte();
    void missingProgramEndsToo();
};

void TestTextHook::argumentsAndVariables_data()
{
    QTest::addColumn<QString>("number");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::newRow("plain") << "0301111111" << "Jan" << "hallo";
    QTest::newRow("not in the phone book: empty name") << "0301111111" << "" << "hallo";
    QTest::newRow("quotes and blanks") << "0301111111" << "Jan \"de\" Vries" << "zeg 'ns \"hoi\"  daar";
    QTest::newRow("what a shell would read") << "0301111111" << "$(id)" << "`rm -rf ~`; echo $HOME | cat &";
    QTest::newRow("8-bit letters") << "0301111111" << QString::fromUtf8("José") << QString::fromUtf8("€ café ÿ");
    QTest::newRow("empty text") << "0301111111" << "Jan" << "";
}

void TestTextHook::argumentsAndVariables()
{
    QFETCH(QString, number);
    QFETCH(QString, name);
    QFETCH(QString, text);
    const ReceivedText received = Text(number, name, text);
    const QStringList values{number, name, text, "0302222222", "Unrestricted digital information",
                             "1999-12-06T09:05:07+01:00"};
    QCOMPARE(CTextHook::Arguments(received), values);
    const QList<QPair<QString, QString>> environment = CTextHook::Environment(received);
    const QStringList names{"ZOEMLIJN_NUMBER", "ZOEMLIJN_NAME",      "ZOEMLIJN_TEXT",
                            "ZOEMLIJN_CALLED", "ZOEMLIJN_CALL_TYPE", "ZOEMLIJN_TIME"};
    QCOMPARE(environment.size(), names.size());
    for (qsizetype i = 0; i < names.size(); ++i) {
        QCOMPARE(environment[i].first, names[i]);
        QCOMPARE(environment[i].second, values[i]);
    }

    FakePlatform platform;
    CTextHook hook;
    QVERIFY(hook.Run("/usr/local/bin/bij-tekst", received));
    QCOMPARE(platform.programsStarted.size(), size_t(1));
    QCOMPARE(platform.programsStarted[0].program, QString("/usr/local/bin/bij-tekst"));
    QCOMPARE(platform.programsStarted[0].arguments, values);
    QCOMPARE(platform.programsStarted[0].environment, environment);
}

void TestTextHook::fourAtMostUnderABurst()
{
    FakePlatform platform;
    CTextHook hook;
    int started = 0;
    for (int i = 0; i < 100; ++i)
        started += hook.Run("bij-tekst", Text("0301", "", QString::number(i)));
    QCOMPARE(started, 4);
    QCOMPARE(platform.ProgramsRunning(), 4);
    QCOMPARE(hook.Running(), 4);
    QCOMPARE(hook.Skipped(), 96);
    // The first four texts are the ones that got a program.
    for (int i = 0; i < 4; ++i)
        QCOMPARE(platform.programsStarted[size_t(i)].arguments[2], QString::number(i));

    // One ends: room for one more, and only one.
    QVERIFY(platform.EndProgram());
    QCOMPARE(hook.Running(), 3);
    QVERIFY(hook.Run("bij-tekst", Text("0301", "", "na")));
    QVERIFY(!hook.Run("bij-tekst", Text("0301", "", "te veel")));
    QCOMPARE(platform.programsStarted.back().arguments[2], QString("na"));
    QCOMPARE(hook.Skipped(), 97);

    while (platform.EndProgram()) {
    }
    QCOMPARE(hook.Running(), 0);
    for (int i = 0; i < 4; ++i)
        QVERIFY(hook.Run("bij-tekst", Text("0301", "", "weer")));
    QCOMPARE(platform.programsStarted.size(), size_t(9));
}

void TestTextHook::realProgramGetsEveryByte_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::newRow("quotes, blanks, é and €") << QString::fromUtf8("Jan \"de\" Vriés") << QString::fromUtf8("'hoi'  daar € é");
    QTest::newRow("no shell runs it") << "$(touch gepakt)" << "; touch gepakt `touch gepakt` *";
    QTest::newRow("empty name and text") << "" << "";
}

void TestTextHook::realProgramGetsEveryByte()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    QTemporaryDir dir;
    const QString script = dir.filePath("bij tekst.sh"); // a blank in its own path too
    {
        QFile file(script);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\n"
                   "cd \"$(dirname \"$0\")\"\n"
                   "{ printf '%s\\n' \"$#\"; for a in \"$@\"; do printf '%s\\n' \"$a\"; done\n"
                   "  printf '%s\\n' \"$ZOEMLIJN_NUMBER\" \"$ZOEMLIJN_NAME\" \"$ZOEMLIJN_TEXT\" \"$ZOEMLIJN_CALLED\""
                   " \"$ZOEMLIJN_CALL_TYPE\" \"$ZOEMLIJN_TIME\"; } > uit.tmp\n"
                   "echo 'op stdout'; echo 'op stderr' >&2\n"
                   "mv uit.tmp uit\n"
                   "exit 3\n");
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    CDesktopPlatform platform;
    CPlatform::Install(&platform);
    {
        CTextHook hook;
        QVERIFY(hook.Run(script, Text("0301111111", name, text)));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir.filePath("uit")), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(hook.Running(), 0, 10000);
        QFile out(dir.filePath("uit"));
        QVERIFY(out.open(QIODevice::ReadOnly));
        const QStringList values{"0301111111", name, text, "0302222222", "Unrestricted digital information",
                                 "1999-12-06T09:05:07+01:00"};
        const QByteArray expected = "6\n" + (values + values).join('\n').toUtf8() + '\n';
        QCOMPARE(out.readAll(), expected);
        QVERIFY(!QFile::exists(dir.filePath("gepakt")));
        QVERIFY(!QFile::exists(QDir::current().filePath("gepakt")));
    }
    CPlatform::Install(nullptr);
}

void TestTextHook::missingProgramEndsToo()
{
    CDesktopPlatform platform;
    CPlatform::Install(&platform);
    {
        CTextHook hook;
        for (int i = 0; i < 4; ++i)
            QVERIFY(hook.Run("/nonexistent/bij-tekst", Text("0301", "", "hallo")));
        QVERIFY(!hook.Run("/nonexistent/bij-tekst", Text("0301", "", "hallo")));
        // Programs that could not start free their places.
        QTRY_COMPARE_WITH_TIMEOUT(hook.Running(), 0, 10000);
        QVERIFY(hook.Run("/nonexistent/bij-tekst", Text("0301", "", "hallo")));
    }
    CPlatform::Install(nullptr);
}

QTEST_MAIN(TestTextHook)
#include "TestTextHook.moc"
