#include "CallList.h"

#include "Cp1252.h"

#include <QFile>
#include <QSaveFile>

#include <algorithm>
#include <cstring>
#include <optional>

const CallListColumnDef kCallListColumnDefs[kCallListColumns] = {
    {"Nummer beller", 90}, {"Naam", 84}, {"Bericht", 120}, {"Uw nummer", 80},
    {"Datum", 60},         {"Tijd", 60}, {"Soort oproep", 160},
};

QString FormatCallDate(const QDate& date)
{
    return QStringLiteral("%1/%2/%3").arg(date.month()).arg(date.day()).arg(date.year() % 100, 2, 10, QLatin1Char('0'));
}

QString FormatCallTime(const QTime& time)
{
    return QStringLiteral("%1:%2:%3")
        .arg(time.hour())
        .arg(time.minute(), 2, 10, QLatin1Char('0'))
        .arg(time.second(), 2, 10, QLatin1Char('0'));
}

CCallListModel::CCallListModel(QObject* parent) : QAbstractTableModel(parent) {}

int CCallListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_data.Size();
}

int CCallListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kCallListColumns; }

QVariant CCallListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= m_data.Size() || index.column() >= kCallListColumns)
        return {};
    if (role == Qt::DisplayRole) {
        return Field(index.row(), index.column());
    }
    if (role == Qt::DecorationRole && index.column() == ColCaller && !m_rowIcon.isNull())
        return m_rowIcon;
    return {};
}

QVariant CCallListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= kCallListColumns)
        return {};
    if (role == Qt::DisplayRole)
        return QString::fromLatin1(kCallListColumnDefs[section].title);
    if (role == Qt::TextAlignmentRole)
        return int(Qt::AlignLeft | Qt::AlignVCenter);
    return {};
}

namespace {

QStringList Padded(QStringList row)
{
    while (row.size() < kCallListColumns)
        row.append(QString());
    if (row.size() > kCallListColumns)
        row = row.mid(0, kCallListColumns);
    return row;
}

// Where each record of `bytes` starts and how long it is, when every record
// is seven lines ending in CR LF with no other CR and no NUL: then the
// bytes are what saving the decoded rows would write. Empty otherwise.
std::optional<QList<std::pair<qsizetype, qsizetype>>> IndexRecords(const QByteArray& bytes)
{
    const char* const begin = bytes.constData();
    const char* const end = begin + bytes.size();
    const auto lines = std::count(begin, end, '\n');
    if (std::memchr(begin, '\0', size_t(bytes.size())) || std::count(begin, end, '\r') != lines)
        return std::nullopt;
    QList<std::pair<qsizetype, qsizetype>> records;
    records.reserve(lines / kCallListColumns);
    for (const char* p = begin; p < end;) {
        const char* const record = p;
        for (int line = 0; line < kCallListColumns; ++line) {
            const auto* eol = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)));
            // With as many CRs as LFs, a CR before every LF leaves none elsewhere.
            if (!eol || eol == p || eol[-1] != '\r')
                return std::nullopt;
            p = eol + 1;
        }
        records.append({record - begin, p - record});
    }
    return records;
}

} // namespace

QString CCallListModel::StoredField(const Entry& entry, int column) const
{
    // Every line of a stored record ends in CR LF (IndexRecords saw to it).
    const char* p = m_data.m_file.constData() + entry.start;
    const char* const end = p + entry.length;
    for (int line = 0; line < column; ++line)
        p = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p))) + 1;
    const auto* eol = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)));
    return cp1252::Decode(QByteArray::fromRawData(p, eol - 1 - p));
}

void CCallListModel::InsertTop(const QStringList& row)
{
    beginInsertRows({}, 0, 0);
    m_data.Prepend(Entry{Padded(row)});
    endInsertRows();
}

void CCallListModel::RemoveRowAt(int row)
{
    if (row < 0 || row >= m_data.Size())
        return;
    beginRemoveRows({}, row, row);
    m_data.RemoveAt(row);
    endRemoveRows();
}

void CCallListModel::Clear() { SetRows({}); }

void CCallListModel::SetRows(QList<QStringList> rows)
{
    beginResetModel();
    m_data.Reset(QByteArray());
    for (QStringList& row : rows)
        m_data.Append(Entry{row.size() == kCallListColumns ? std::move(row) : Padded(std::move(row))});
    endResetModel();
}

void CCallListModel::SetFileBytes(const QByteArray& bytes)
{
    const auto records = IndexRecords(bytes);
    if (!records) {
        SetRows(recordfile::Parse(bytes, kCallListColumns));
        return;
    }
    beginResetModel();
    m_data.Reset(bytes);
    for (const auto& [start, length] : *records)
        m_data.Append(Entry{{}, start, length});
    endResetModel();
}

QStringList CCallListModel::Row(int row) const
{
    if (row < 0 || row >= m_data.Size())
        return {};
    const Entry& entry = m_data.At(row);
    if (entry.start < 0)
        return entry.fields;
    QStringList fields;
    fields.reserve(kCallListColumns);
    for (int column = 0; column < kCallListColumns; ++column)
        fields.append(StoredField(entry, column));
    return fields;
}

QString CCallListModel::Field(int row, int column) const
{
    if (row < 0 || row >= m_data.Size() || column < 0 || column >= kCallListColumns)
        return {};
    const Entry& entry = m_data.At(row);
    return entry.start >= 0 ? StoredField(entry, column) : entry.fields.value(column);
}

QList<QStringList> CCallListModel::Rows() const
{
    QList<QStringList> rows;
    rows.reserve(m_data.Size());
    for (int row = 0; row < m_data.Size(); ++row)
        rows.append(Row(row));
    return rows;
}

// ---------------------------------------------------------------- blocks

namespace {

// Rows a block holds at most: a change copies at most this many entries
// while a snapshot is being written.
constexpr int kBlockRows = 512;

} // namespace

std::pair<qsizetype, int> CCallListSnapshot::Find(int row) const
{
    // From the last place found when the row lies at or after it, as rows
    // are mostly read in order; else from the top.
    qsizetype block = 0;
    int start = 0;
    if (m_lastBlock < m_blocks.size() && row >= m_lastBlockStart) {
        block = m_lastBlock;
        start = m_lastBlockStart;
    }
    while (row >= start + int(m_blocks[block].size())) {
        start += int(m_blocks[block].size());
        ++block;
    }
    m_lastBlock = block;
    m_lastBlockStart = start;
    return {block, row - start};
}

const CCallListSnapshot::Entry& CCallListSnapshot::At(int row) const
{
    const auto [block, offset] = Find(row);
    return m_blocks[block][offset];
}

void CCallListSnapshot::Prepend(Entry entry)
{
    if (m_blocks.isEmpty() || m_blocks.constFirst().size() >= kBlockRows)
        m_blocks.prepend(Block());
    m_blocks.first().prepend(std::move(entry));
    ++m_size;
    m_lastBlock = 0;
    m_lastBlockStart = 0;
}

void CCallListSnapshot::RemoveAt(int row)
{
    const auto [block, offset] = Find(row);
    m_blocks[block].removeAt(offset);
    if (m_blocks[block].isEmpty())
        m_blocks.removeAt(block);
    --m_size;
    m_lastBlock = 0;
    m_lastBlockStart = 0;
}

void CCallListSnapshot::Reset(QByteArray file)
{
    m_blocks.clear();
    m_size = 0;
    m_file = std::move(file);
    m_lastBlock = 0;
    m_lastBlockStart = 0;
}

void CCallListSnapshot::Append(Entry entry)
{
    if (m_blocks.isEmpty() || m_blocks.constLast().size() >= kBlockRows) {
        m_blocks.append(Block());
        m_blocks.last().reserve(kBlockRows);
    }
    m_blocks.last().append(std::move(entry));
    ++m_size;
}

bool CCallListSnapshot::WriteTo(QIODevice& device, bool blankLineAfter) const
{
    auto write = [&device](const char* data, qsizetype size) { return device.write(data, size) == size; };
    // Stored records that follow each other in the file go out in one.
    qsizetype runStart = -1;
    qsizetype runLength = 0;
    auto flush = [&] {
        const bool ok = runLength == 0 || write(m_file.constData() + runStart, runLength);
        runStart = -1;
        runLength = 0;
        return ok;
    };
    for (const Block& block : m_blocks) {
        for (const Entry& entry : block) {
            if (entry.start < 0) {
                if (!flush())
                    return false;
                const QByteArray bytes = recordfile::Format({entry.fields}, kCallListColumns, blankLineAfter);
                if (!write(bytes.constData(), bytes.size()))
                    return false;
            } else if (blankLineAfter) {
                if (!write(m_file.constData() + entry.start, entry.length) || !write("\r\n", 2))
                    return false;
            } else if (runLength > 0 && entry.start == runStart + runLength) {
                runLength += entry.length;
            } else {
                if (!flush())
                    return false;
                runStart = entry.start;
                runLength = entry.length;
            }
        }
    }
    return flush();
}

namespace {

// Replaces the file as a whole, as recordfile::WriteAtomically does, but
// writes the rows as they come instead of building the file in memory.
bool WriteAtomically(const QString& path, const CCallListSnapshot& rows, bool blankLineAfter)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (!rows.WriteTo(file, blankLineAfter)) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

} // namespace

recordfile::ReadStatus LoadCallList(const QString& path, CCallListModel& model)
{
    // As recordfile::Read, but the model takes the bytes themselves.
    QFile file(path);
    if (!file.exists()) {
        recordfile::CreateIfMissing(path);
        model.Clear();
        return recordfile::ReadStatus::Missing;
    }
    QByteArray bytes;
    if (file.open(QIODevice::ReadOnly))
        bytes = file.readAll();
    if (!file.isOpen() || file.error() != QFileDevice::NoError) {
        model.Clear();
        return recordfile::ReadStatus::Failed;
    }
    model.SetFileBytes(bytes);
    return recordfile::ReadStatus::Ok;
}

bool SaveCallList(const QString& path, const CCallListModel& model)
{
    return WriteAtomically(path, model.Snapshot(), false);
}

bool SaveCallList(const QString& path, const CCallListSnapshot& rows) { return WriteAtomically(path, rows, false); }

bool ExportCallList(const QString& path, const CCallListModel& model)
{
    return WriteAtomically(path, model.Snapshot(), true);
}
