#include "RecordFile.h"

#include "Cp1252.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace recordfile {

QList<QStringList> Parse(const QByteArray& bytes, int linesPerRecord)
{
    QList<QStringList> records;
    const char* p = bytes.constData();
    const char* const end = p + bytes.size();
    QStringList record;
    record.reserve(linesPerRecord);
    while (p < end) {
        const char* eol = static_cast<const char*>(memchr(p, '\n', size_t(end - p)));
        const char* lineEnd = eol ? eol : end;
        const char* textEnd = (eol && lineEnd > p && lineEnd[-1] == '\r') ? lineEnd - 1 : lineEnd;
        record.append(cp1252::Decode(QByteArray::fromRawData(p, textEnd - p)));
        if (record.size() == linesPerRecord) {
            records.append(record);
            record.clear();
            record.reserve(linesPerRecord);
        }
        p = eol ? eol + 1 : end;
    }
    if (!record.isEmpty()) {
        while (record.size() < linesPerRecord)
            record.append(QString());
        records.append(record);
    }
    return records;
}

ReadStatus Read(const QString& path, int linesPerRecord, QList<QStringList>* records)
{
    records->clear();
    QFile file(path);
    if (!file.exists())
        return ReadStatus::Missing;
    if (!file.open(QIODevice::ReadOnly))
        return ReadStatus::Failed;
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return ReadStatus::Failed;
    *records = Parse(bytes, linesPerRecord);
    return ReadStatus::Ok;
}

QByteArray Format(const QList<QStringList>& records, int linesPerRecord, bool blankLineAfter)
{
    QByteArray bytes;
    for (const QStringList& record : records) {
        for (int i = 0; i < linesPerRecord; ++i) {
            QByteArray field = i < record.size() ? cp1252::Encode(record[i]) : QByteArray();
            for (char& c : field)
                if (c == '\r' || c == '\n' || c == '\0')
                    c = ' ';
            bytes += field;
            bytes += "\r\n";
        }
        if (blankLineAfter)
            bytes += "\r\n";
    }
    return bytes;
}

bool WriteAtomically(const QString& path, const QByteArray& bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

bool CreateIfMissing(const QString& path)
{
    if (QFileInfo::exists(path))
        return true;
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::NewOnly) || QFileInfo::exists(path);
}

} // namespace recordfile
