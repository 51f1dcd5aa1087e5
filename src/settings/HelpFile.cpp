#include "HelpFile.h"

#include "Platform.h"

#include <QCoreApplication>
#include <QDir>

QString HelpFilePath()
{
    return QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("Zoemlijn.hlp"));
}

void OpenHelpFile() { CPlatform::Instance().OpenWithDesktop(HelpFilePath()); }
