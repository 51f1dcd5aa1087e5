// Every Help button: the help file beside the program when there is one,
// else the manual.
#pragma once

#include "FakePlatform.h"
#include "HelpFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTest>

#include <functional>

inline void CheckHelpOpensHelpFileOrManual(const QString& tempDir, FakePlatform& platform,
                                           const std::function<void()>& pressHelp)
{
    const QString besideProgram = QDir(QCoreApplication::applicationDirPath()).filePath("Zoemlijn.hlp");
    const QString manual = QDir(tempDir).filePath("index.html");
    for (const QString& path : {besideProgram, manual}) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    const auto tidy = qScopeGuard([&] {
        QFile::remove(besideProgram);
        SetManualPathForTesting(QString());
    });
    SetManualPathForTesting(manual);
    // With the help file, then without it.
    for (const QString& expected : {besideProgram, manual}) {
        platform.opened.clear();
        pressHelp();
        QCOMPARE(platform.opened, QStringList{expected});
        QFile::remove(besideProgram);
    }
    QCOMPARE(platform.messages, QStringList());
}
