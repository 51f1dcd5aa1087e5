#include "PhoneBookFile.h"

#include "PhoneBookIndex.h"

namespace {

constexpr int kLinesPerRecord = 4;

QString FileName() { return QString::fromLatin1(kPhoneBookFileName); }

PhoneBookRecord FromFields(const QStringList& fields)
{
    return {fields.value(0), fields.value(1), fields.value(2), fields.value(3)};
}

QList<QStringList> ToFields(const QList<PhoneBookRecord>& records)
{
    QList<QStringList> fields;
    fields.reserve(records.size());
    for (const PhoneBookRecord& r : records)
        fields.append({r.number, r.name, r.action, r.path});
    return fields;
}

} // namespace

recordfile::ReadStatus LoadPhoneBook(QList<PhoneBookRecord>* records)
{
    records->clear();
    QList<QStringList> fields;
    const recordfile::ReadStatus status = recordfile::Read(FileName(), kLinesPerRecord, &fields);
    if (status == recordfile::ReadStatus::Missing)
        recordfile::CreateIfMissing(FileName());
    for (const QStringList& f : fields)
        records->append(FromFields(f));
    return status;
}

bool SavePhoneBook(const QList<PhoneBookRecord>& records)
{
    return recordfile::WriteAtomically(FileName(), recordfile::Format(ToFields(records), kLinesPerRecord));
}

bool AppendPhoneBookRecord(const QString& number, const QString& name)
{
    // Rewritten whole rather than appended to: a last record cut short, or a
    // last line without its end, would otherwise swallow the new lines.
    QList<QStringList> fields;
    if (recordfile::Read(FileName(), kLinesPerRecord, &fields) == recordfile::ReadStatus::Failed)
        return false;
    fields.append({number, name, QString(), QString()});
    return recordfile::WriteAtomically(FileName(), recordfile::Format(fields, kLinesPerRecord));
}

PhoneBookEntry LookupPhoneBook(const QString& key)
{
    recordfile::ReadStatus status;
    const auto index = CPhoneBookIndex::ForFile(FileName(), &status);
    if (!index)
        return {LookupResult::FileMissing, {}, {}, {}};
    const int found = index->FindExact(key);
    if (found < 0)
        return {};
    const PhoneBookRecord record = index->Record(found);
    return {LookupResult::Found, record.name, record.action, record.path};
}

recordfile::ReadStatus LoadPhoneBookFrom(const QString& path, QList<PhoneBookRecord>* records)
{
    records->clear();
    QList<QStringList> fields;
    const recordfile::ReadStatus status = recordfile::Read(path, kLinesPerRecord, &fields);
    for (const QStringList& f : fields)
        records->append(FromFields(f));
    return status;
}

bool SavePhoneBookTo(const QString& path, const QList<PhoneBookRecord>& records)
{
    return recordfile::WriteAtomically(path, recordfile::Format(ToFields(records), kLinesPerRecord));
}
