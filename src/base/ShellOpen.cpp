#include "ShellOpen.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace {

// The value of `key` in the [Desktop Entry] group, unescaped as a string.
std::optional<QString> EntryValue(const QByteArray& entry, const QByteArray& key)
{
    bool inGroup = false;
    for (QByteArray line : entry.split('\n')) {
        line = line.trimmed();
        if (line.startsWith('[')) {
            inGroup = line == "[Desktop Entry]";
            continue;
        }
        if (!inGroup || line.startsWith('#'))
            continue;
        const qsizetype equals = line.indexOf('=');
        if (equals < 0 || line.left(equals).trimmed() != key)
            continue;
        const QString raw = QString::fromUtf8(line.mid(equals + 1).trimmed());
        // The string escapes of the desktop entry format.
        QString value;
        for (qsizetype i = 0; i < raw.size(); ++i) {
            if (raw[i] != u'\\' || i + 1 == raw.size()) {
                value += raw[i];
                continue;
            }
            const QChar next = raw[++i];
            switch (next.unicode()) {
            case 's': value += u' '; break;
            case 'n': value += u'\n'; break;
            case 't': value += u'\t'; break;
            case 'r': value += u'\r'; break;
            case '\\': value += u'\\'; break;
            default: value += u'\\'; value += next; break; // left to the Exec quoting
            }
        }
        return value;
    }
    return std::nullopt;
}

} // namespace

std::optional<QStringList> DesktopEntryCommand(const QByteArray& entry, const QString& entryPath)
{
    const auto exec = EntryValue(entry, "Exec");
    if (!exec)
        return std::nullopt;
    const QString name = EntryValue(entry, "Name").value_or(QString());
    QStringList words;
    QString word;
    bool inWord = false;
    bool quoted = false;
    const QString& line = *exec;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar ch = line[i];
        if (quoted) {
            if (ch == u'"') {
                quoted = false;
            } else if (ch == u'\\' && i + 1 < line.size() && QStringLiteral("\"`$\\").contains(line[i + 1])) {
                word += line[++i];
            } else {
                word += ch;
            }
            continue;
        }
        if (ch == u' ' || ch == u'\t') {
            if (inWord)
                words << word;
            word.clear();
            inWord = false;
            continue;
        }
        inWord = true;
        if (ch == u'"') {
            quoted = true;
        } else if (ch == u'%' && i + 1 < line.size()) {
            // Field codes: no files are passed; %c and %k as the entry
            // has them; the rest (%f, %u, %i, ...) expand to nothing.
            const QChar code = line[++i];
            if (code == u'%')
                word += u'%';
            else if (code == u'c')
                word += name;
            else if (code == u'k')
                word += entryPath;
        } else {
            word += ch;
        }
    }
    if (quoted)
        return std::nullopt; // an unterminated quote: not a command line
    if (inWord)
        words << word;
    words.removeAll(QString());
    if (words.isEmpty())
        return std::nullopt;
    return words;
}

ShellCommand ShellOpenCommand(const QString& path, const QString& searchPath)
{
    const QFileInfo file(path);
    if (file.isFile()) {
        const QString absolute = file.absoluteFilePath();
        if (file.suffix().compare(QLatin1String("desktop"), Qt::CaseInsensitive) == 0) {
            QFile entry(absolute);
            if (entry.open(QIODevice::ReadOnly)) {
                if (const auto command = DesktopEntryCommand(entry.readAll(), absolute))
                    return {ShellCommand::Kind::Start, command->first(), command->mid(1)};
            }
            return {ShellCommand::Kind::OpenWithDefault, absolute, {}};
        }
        if (file.isExecutable())
            return {ShellCommand::Kind::Start, absolute, {}};
        return {ShellCommand::Kind::OpenWithDefault, absolute, {}};
    }
    if (!file.exists() && !path.isEmpty() && !path.contains(u'/')) {
        const QStringList dirs = searchPath.split(QDir::listSeparator(), Qt::SkipEmptyParts);
        const QString program = QStandardPaths::findExecutable(path, dirs);
        if (!program.isEmpty())
            return {ShellCommand::Kind::Start, program, {}};
    }
    return {ShellCommand::Kind::OpenWithDefault, file.absoluteFilePath(), {}};
}
