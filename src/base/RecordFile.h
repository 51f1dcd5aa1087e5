// The program's data files: plain 8-bit text, one field per line, a fixed
// number of lines per record, no header and no escaping. Writers end lines
// with CR LF; readers also take a bare LF, and a last line without an end.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace recordfile {

enum class ReadStatus {
    Ok,      // read (an empty file is no records)
    Missing, // there is no such file
    Failed,  // it exists but could not be read: its records are unknown
};

// Splits `bytes` into records of `linesPerRecord` fields, decoded from
// Windows-1252. A short last record is padded with empty fields, never
// dropped. `blankAfterRecord` skips the one empty line that follows each
// record of an export.
QList<QStringList> Parse(const QByteArray& bytes, int linesPerRecord);
ReadStatus Read(const QString& path, int linesPerRecord, QList<QStringList>* records);

// The file's bytes for these records; each record is padded or cut to
// `linesPerRecord` fields. A field holding CR, LF or NUL (text from the
// network is raw bytes) gets a blank for each, so every record still reads
// back as one. With `blankLineAfter`, an empty line follows every record.
QByteArray Format(const QList<QStringList>& records, int linesPerRecord, bool blankLineAfter = false);

// Replaces the file as a whole: written to a temporary file beside it and
// renamed over it, so a crash or a full disk leaves the old file intact.
bool WriteAtomically(const QString& path, const QByteArray& bytes);

// Creates an empty file when there is none; true when one exists afterwards.
bool CreateIfMissing(const QString& path);

} // namespace recordfile
