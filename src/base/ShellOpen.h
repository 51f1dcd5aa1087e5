// The shell's "open" verb where the desktop has none: a program is started,
// anything else goes to the desktop's default application. Only the
// decision lives here; the platform seam carries it out.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

struct ShellCommand
{
    enum class Kind {
        Start,           // run `program` with `arguments`, detached, no shell
        OpenWithDefault, // hand `program` (a path) to the desktop's opener
    };
    Kind kind = Kind::OpenWithDefault;
    QString program;
    QStringList arguments;
};

// `path` as the user gave it (relative paths from the working directory);
// `searchPath` is the PATH to look a bare program name up in.
// - an executable file is started as it is, with no arguments;
// - a desktop entry (.desktop) starts its application;
// - a bare name that is no file but a program on `searchPath` is started;
// - anything else opens with the desktop's default application.
ShellCommand ShellOpenCommand(const QString& path, const QString& searchPath);

// The command line of a desktop entry's Exec key, split by the quoting
// rules of freedesktop.org desktop entries, its field codes expanded for an
// entry started without files; nothing when the entry has no usable Exec.
std::optional<QStringList> DesktopEntryCommand(const QByteArray& entry, const QString& entryPath);
