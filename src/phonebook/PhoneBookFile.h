// "telefoonboek.dat": records of four lines (number, name, action, path) in
// the working directory. Nothing is kept in memory between operations.
#pragma once

#include "RecordFile.h"

#include <QList>
#include <QString>

inline constexpr char kPhoneBookFileName[] = "telefoonboek.dat";

// The action keywords, compared whole and case-sensitively.
inline constexpr char kActionWavFile[] = "Wav-file";
inline constexpr char kActionProgram[] = "Programma";
inline constexpr char kActionMsAccess[] = "MS-Access";
// Shows and logs the call but runs nothing and shows no window.
inline constexpr char kActionSilent[] = "Stil";

struct PhoneBookRecord
{
    QString number;
    QString name;
    QString action;
    QString path;

    bool operator==(const PhoneBookRecord&) const = default;
};

enum class LookupResult { Found, NotFound, FileMissing };

struct PhoneBookEntry
{
    LookupResult result = LookupResult::NotFound;
    QString name, action, path; // when found
};

// The records in file order; creates an empty file when there is none.
// Failed means the file exists but could not be read: `records` is empty
// and the caller must not save over the file.
recordfile::ReadStatus LoadPhoneBook(QList<PhoneBookRecord>* records);
// Replaces the file with these records, in order.
bool SavePhoneBook(const QList<PhoneBookRecord>& records);
// Adds one record with empty action and path at the end (creating the file).
// A file that cannot be read is left alone and false returned.
bool AppendPhoneBookRecord(const QString& number, const QString& name);
// The first record whose number line, or else whose name line, equals `key`
// whole; FileMissing when the file is not there or cannot be read. The file
// is parsed again only when it has changed (CPhoneBookIndex).
PhoneBookEntry LookupPhoneBook(const QString& key);

// Another phone-book file than the one in the working directory (the
// command line's --file): read without creating it, and written atomically.
recordfile::ReadStatus LoadPhoneBookFrom(const QString& path, QList<PhoneBookRecord>* records);
bool SavePhoneBookTo(const QString& path, const QList<PhoneBookRecord>& records);
