#include "PhoneBookModel.h"

#include <algorithm>

namespace {

struct ColumnDef
{
    const char* heading;
    int width;
};

constexpr ColumnDef kColumns[CPhoneBookModel::ColumnCount] = {
    {"Telefoonnummer", 110},
    {"Naam", 120},
    {"Aktie", 110},
    {"Pad naar bestand", 300},
};

const QString& Field(const PhoneBookRecord& record, int column)
{
    switch (column) {
    case CPhoneBookModel::NumberColumn: return record.number;
    case CPhoneBookModel::NameColumn: return record.name;
    case CPhoneBookModel::ActionColumn: return record.action;
    default: return record.path;
    }
}

} // namespace

int CPhoneBookModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_records.size());
}

int CPhoneBookModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant CPhoneBookModel::data(const QModelIndex& index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const PhoneBookRecord& record = m_records.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
        // Item views draw display text as plain text, never as markup.
        return Field(record, index.column());
    case Qt::DecorationRole:
        if (index.column() == NumberColumn && !m_rowIcon.isNull())
            return m_rowIcon;
        return {};
    case Qt::TextAlignmentRole:
        return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    default:
        return {};
    }
}

QVariant CPhoneBookModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount)
        return {};
    if (role == Qt::DisplayRole)
        return Heading(section);
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    return {};
}

bool CPhoneBookModel::removeRows(int row, int count, const QModelIndex& parent)
{
    if (parent.isValid() || row < 0 || count <= 0 || row + count > m_records.size())
        return false;
    beginRemoveRows({}, row, row + count - 1);
    m_records.remove(row, count);
    endRemoveRows();
    return true;
}

void CPhoneBookModel::SetRowIcon(const QIcon& icon)
{
    m_rowIcon = icon;
    if (!m_records.isEmpty())
        emit dataChanged(index(0, NumberColumn), index(rowCount() - 1, NumberColumn), {Qt::DecorationRole});
}

void CPhoneBookModel::SetRecords(const QList<PhoneBookRecord>& records)
{
    beginResetModel();
    m_records = records;
    endResetModel();
}

void CPhoneBookModel::InsertRecord(int row, const PhoneBookRecord& record)
{
    row = std::clamp(row, 0, rowCount());
    beginInsertRows({}, row, row);
    m_records.insert(row, record);
    endInsertRows();
}

QString CPhoneBookModel::Heading(int column) { return QString::fromLatin1(kColumns[column].heading); }

int CPhoneBookModel::HeadingWidth(int column) { return kColumns[column].width; }
