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

ReceivedText Text(const QString& name, const QString& text)
{
    return {QStringLiteral("0301111111"), name, text, QStringLiteral("0302222222"),
            QStringLiteral("Unrestricted digital information"),
            QDateTime(QDate(1999, 12, 6), QTime(9, 5, 7), Qt::OffsetFromUTC, 3600)};
}

} // namespace

class TestTextHook : public QObject
{
    Q_OBJECT

private slots:
    void fourAtMostUnderABurst();
    void realProgramGetsEveryByte_data();
    void realProgramGetsEveryByte();
    void missingProgramEndsToo();
};

void TestTextHook::fourAtMostUnderABurst()
{
    FakePlatform platform;
    CTextHook hook;
    QVERIFY(!hook.Run("", Text("", "niets ingesteld")));
    int started = 0;
    for (int i = 0; i < 100; ++i)
        started += hook.Run("bij-tekst", Text("", QString::number(i)));
    QCOMPARE(started, 4);
    QCOMPARE(platform.ProgramsRunning(), 4);
    QCOMPARE(hook.Skipped(), 96);
    // The first four texts are the ones that got a program.
    for (int i = 0; i < 4; ++i)
        QCOMPARE(platform.programsStarted[size_t(i)].arguments[2], QString::number(i));

    // One ends: room for one more, and only one.
    QVERIFY(platform.EndProgram());
    QCOMPARE(hook.Running(), 3);
    QVERIFY(hook.Run("bij-tekst", Text("", "na")));
    QVERIFY(!hook.Run("bij-tekst", Text("", "te veel")));
    QCOMPARE(platform.programsStarted.back().arguments[2], QString("na"));
    QCOMPARE(platform.programsStarted.size(), size_t(5));
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
        QVERIFY(hook.Run(script, Text(name, text)));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir.filePath("uit")), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(hook.Running(), 0, 10000);
        QFile out(dir.filePath("uit"));
        QVERIFY(out.open(QIODevice::ReadOnly));
        // Number, name, text, called number, call type and time with its
        // offset from UTC: as arguments, and again as ZOEMLIJN_* variables.
        const QStringList values{"0301111111", name, text, "0302222222", "Unrestricted digital information",
                                 "1999-12-06T09:05:07+01:00"};
        QCOMPARE(out.readAll(), "6\n" + (values + values).join('\n').toUtf8() + '\n');
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
            QVERIFY(hook.Run("/nonexistent/bij-tekst", Text("", "hallo")));
        QVERIFY(!hook.Run("/nonexistent/bij-tekst", Text("", "hallo")));
        // Programs that could not start free their places.
        QTRY_COMPARE_WITH_TIMEOUT(hook.Running(), 0, 10000);
        QVERIFY(hook.Run("/nonexistent/bij-tekst", Text("", "hallo")));
    }
    CPlatform::Install(nullptr);
}

QTEST_MAIN(TestTextHook)
#include "TestTextHook.moc"
