// The phone book as a lookup sees it: the file's bytes, parsed once, with
// an index from each number and name line to the first record that holds
// it. The file is parsed again only when it has changed.
#pragma once

#include "PhoneBookFile.h"

#include <QByteArray>

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class CPhoneBookIndex
{
public:
    // Splits the bytes into records exactly as LoadPhoneBook does.
    explicit CPhoneBookIndex(QByteArray bytes);

    int RecordCount() const { return int(m_records.size()); }
    PhoneBookRecord Record(int index) const;

    // The first record whose number line, or else whose name line, equals
    // `key` whole and byte for byte; -1 when none does.
    int FindExact(const QString& key) const;
    // The first record whose number line, without blanks, dashes, dots,
    // brackets and slashes, equals one of `cleanNumbers`; -1 when none does.
    int FindCleanNumber(const QStringList& cleanNumbers) const;

    // The file at `path` as it is now, parsed again only when its size,
    // modification time (to the nanosecond), change time or inode differ
    // from the last parse, or when it was modified within the last couple
    // of seconds, where a file system's coarse clock could hide a second
    // change. Null with `status` Missing or Failed when it cannot be read.
    // User-interface thread only.
    static std::shared_ptr<const CPhoneBookIndex> ForFile(const QString& path, recordfile::ReadStatus* status);
    // How many times ForFile has parsed a file: for tests and benchmarks.
    static int ParseCount();

private:
    struct Line
    {
        uint32_t offset = 0;
        uint32_t length = 0;
    };
    struct Lines
    {
        Line fields[4];
    };

    std::string_view View(const Line& line) const;

    const QByteArray m_bytes; // never changed: the views below point into it
    std::vector<Lines> m_records;
    // Each map is built at the second lookup that needs it: a book that
    // changes before every lookup is only walked through, once.
    mutable std::unordered_map<std::string_view, int> m_firstByLine; // number and name lines
    mutable int m_exactLookups = 0;
    mutable std::unordered_map<std::string, int> m_firstByCleanNumber;
    mutable int m_cleanLookups = 0;
};
