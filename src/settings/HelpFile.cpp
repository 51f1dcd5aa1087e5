#include "HelpFile.h"

#include "Platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

QString HelpFilePath()
{
    return QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("Zoemlijn.hlp"));
}

namespace {

QString g_manualForTesting;

} // namespace

void SetManualPathForTesting(const QString& path) { g_manualForTesting = path; }

QString ManualPath()
{
    if (!g_manualForTesting.isEmpty())
        return QFileInfo(g_manualForTesting).isFile() ? g_manualForTesting : QString();
    for (const char* candidate : {ZL_INSTALLED_MANUAL, ZL_SOURCE_MANUAL}) {
        const QString path = QString::fromUtf8(candidate);
        if (QFileInfo(path).isFile())
            return path;
    }
    return QString();
}

void OpenHelp(const QString& helpFile)
{
    const QString path = QFileInfo(helpFile).isFile() ? helpFile : ManualPath();
    if (!path.isEmpty())
        CPlatform::Instance().OpenWithDesktop(path);
}

void OpenHelpFile() { OpenHelp(HelpFilePath()); }
