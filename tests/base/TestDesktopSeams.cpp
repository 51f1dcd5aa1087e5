// What stands in for the shell on a Linux desktop: which program "open"
// starts, how a desktop entry's command line is read, which files the Open
// dialog lists, the platform the window picks on a Wayland session, and
// the termination signals.
#include "DesktopPlatform.h"
#include "SessionPlatform.h"
#include "ShellOpen.h"
#include "TerminationSignals.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

class TestDesktopSeams : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void shellOpen_data();
    void shellOpen();
    void desktopEntryCommand_data();
    void desktopEntryCommand();
    void openDialogListsEveryFile();
    void platformOnWayland_data();
    void platformOnWayland();
    void terminationSignals_data();
    void terminationSignals();

private:
    void Write(const QString& name, const QByteArray& bytes, bool executable = false);
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_previousDir;
};

void TestDesktopSeams::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_previousDir = QDir::currentPath();
    QDir::setCurrent(m_dir->path());
    QDir().mkdir("bin");
    Write("bin/rekenmachine", "#!/bin/sh\n", true);
    Write("bin/notities.txt", "geen programma\n");
    Write("script", "#!/bin/sh\n", true);
    Write("brief.txt", "tekst\n");
    Write("kladblok.desktop", "[Desktop Entry]\nType=Application\nName=Kladblok\nExec=\"/opt/klad blok\" --nieuw %U\n");
    Write("leeg.desktop", "[Desktop Entry]\nType=Application\nName=Leeg\n");
}

void TestDesktopSeams::cleanup() { QDir::setCurrent(m_previousDir); }

void TestDesktopSeams::Write(const QString& name, const QByteArray& bytes, bool executable)
{
    QFile file(name);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    file.close();
    if (executable)
        QVERIFY(file.setPermissions(file.permissions() | QFile::ExeOwner | QFile::ExeUser));
}

void TestDesktopSeams::shellOpen_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("start");
    QTest::addColumn<QString>("program"); // relative to the test's folder when not absolute
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("executable file, relative") << "script" << true << "script" << QStringList();
    QTest::newRow("executable file, absolute") << "@/bin/rekenmachine" << true << "bin/rekenmachine" << QStringList();
    QTest::newRow("document") << "brief.txt" << false << "brief.txt" << QStringList();
    QTest::newRow("desktop entry") << "kladblok.desktop" << true << "/opt/klad blok" << QStringList{"--nieuw"};
    QTest::newRow("desktop entry without Exec") << "leeg.desktop" << false << "leeg.desktop" << QStringList();
    QTest::newRow("name on PATH") << "rekenmachine" << true << "bin/rekenmachine" << QStringList();
    QTest::newRow("name on PATH, not executable") << "notities.txt" << false << "notities.txt" << QStringList();
    QTest::newRow("unknown name") << "bestaatniet" << false << "bestaatniet" << QStringList();
    QTest::newRow("missing path") << "map/weg" << false << "map/weg" << QStringList();
    QTest::newRow("folder") << "bin" << false << "bin" << QStringList();
}

void TestDesktopSeams::shellOpen()
{
    QFETCH(QString, path);
    QFETCH(bool, start);
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    path.replace("@", m_dir->path());
    const ShellCommand command = ShellOpenCommand(path, m_dir->filePath("leeg") + ":" + m_dir->filePath("bin"));
    QCOMPARE(command.kind == ShellCommand::Kind::Start, start);
    QCOMPARE(command.program, program.startsWith('/') ? program : m_dir->filePath(program));
    QCOMPARE(command.arguments, arguments);
}

void TestDesktopSeams::desktopEntryCommand_data()
{
    QTest::addColumn<QByteArray>("entry");
    QTest::addColumn<QStringList>("command"); // empty: none
    const QByteArray head = "[Desktop Entry]\nName=Mijn Spel\n";
    QTest::newRow("file codes dropped") << head + "Exec=spel %f %F %u %U --x\n" << QStringList{"spel", "--x"};
    QTest::newRow("percent, name and entry") << head + "Exec=spel 100%% --titel=%c %k\n"
                                              << QStringList{"spel", "100%", "--titel=Mijn Spel", "/pad/spel.desktop"};
    QTest::newRow("quoted blanks and escapes") << head + "Exec=\"/opt/mijn spel/start\" \"een \\\\\"woord\\\\\"\"\n"
                                                << QStringList{"/opt/mijn spel/start", "een \"woord\""};
    QTest::newRow("other group's Exec ignored") << "[Desktop Action nieuw]\nExec=fout\n" + head + "Exec=goed\n"
                                                 << QStringList{"goed"};
    QTest::newRow("localised key is not Exec") << head + "Exec[nl]=fout\nExec=goed\n" << QStringList{"goed"};
    QTest::newRow("no Exec") << head << QStringList();
    QTest::newRow("only field codes") << head + "Exec=%U\n" << QStringList();
    QTest::newRow("unterminated quote") << head + "Exec=\"spel\n" << QStringList();
}

void TestDesktopSeams::desktopEntryCommand()
{
    QFETCH(QByteArray, entry);
    QFETCH(QStringList, command);
    QCOMPARE(DesktopEntryCommand(entry, "/pad/spel.desktop").value_or(QStringList()), command);
}

void TestDesktopSeams::openDialogListsEveryFile()
{
    QCOMPARE(FileDialogNameFilter("*.*"), QString("*"));
    QCOMPARE(FileDialogNameFilter("*.wav"), QString("*.wav"));
}

void TestDesktopSeams::platformOnWayland_data()
{
    QTest::addColumn<QString>("environment"); // NAME=value, blank between
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("platform");
    const QString wayland = "XDG_SESSION_TYPE=wayland WAYLAND_DISPLAY=wayland-0";
    QTest::newRow("X11 session") << "XDG_SESSION_TYPE=x11 DISPLAY=:0" << QStringList() << QByteArray();
    QTest::newRow("Wayland session with XWayland") << wayland + " DISPLAY=:0" << QStringList() << QByteArray("xcb");
    QTest::newRow("Wayland display only") << "WAYLAND_DISPLAY=wayland-0 DISPLAY=:1" << QStringList()
                                          << QByteArray("xcb");
    QTest::newRow("Wayland without XWayland") << wayland << QStringList() << QByteArray();
    QTest::newRow("user chose by environment") << wayland + " DISPLAY=:0 QT_QPA_PLATFORM=wayland" << QStringList()
                                               << QByteArray();
    QTest::newRow("user chose by argument") << wayland + " DISPLAY=:0" << QStringList{"-platform", "wayland"}
                                            << QByteArray();
}

void TestDesktopSeams::platformOnWayland()
{
    QFETCH(QString, environment);
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, platform);
    auto read = [&](const char* name) {
        for (const QString& entry : environment.split(u' '))
            if (entry.section('=', 0, 0) == QLatin1String(name))
                return entry.section('=', 1).toUtf8();
        return QByteArray();
    };
    QCOMPARE(ChooseQtPlatform(read, arguments), platform);
}

void TestDesktopSeams::terminationSignals_data()
{
    QTest::addColumn<int>("number");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGHUP") << int(SIGHUP);
}

void TestDesktopSeams::terminationSignals()
{
    QFETCH(int, number);
    CTerminationSignals caught;
    QSignalSpy received(&caught, &CTerminationSignals::Received);
    QCOMPARE(std::raise(number), 0);
    // Still alive: the signal comes through the event loop.
    QTRY_COMPARE(received.size(), 1);
    QCOMPARE(received.at(0).at(0).toInt(), number);
}

QTEST_MAIN(TestDesktopSeams)
#include "TestDesktopSeams.moc"
