#include "CallList.h"

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
    return parent.isValid() ? 0 : int(m_rows.size());
}

int CCallListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kCallListColumns; }

QVariant CCallListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows.size())
        return {};
    if (role == Qt::DisplayRole)
        return m_rows[index.row()].value(index.column());
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

} // namespace

void CCallListModel::InsertTop(const QStringList& row)
{
    beginInsertRows({}, 0, 0);
    m_rows.prepend(Padded(row));
    endInsertRows();
}

void CCallListModel::RemoveRowAt(int row)
{
    if (row < 0 || row >= m_rows.size())
        return;
    beginRemoveRows({}, row, row);
    m_rows.removeAt(row);
    endRemoveRows();
}

void CCallListModel::Clear() { SetRows({}); }

void CCallListModel::SetRows(QList<QStringList> rows)
{
    for (QStringList& row : rows)
        if (row.size() != kCallListColumns)
            row = Padded(row);
    beginResetModel();
    m_rows = std::move(rows);
    endResetModel();
}

recordfile::ReadStatus LoadCallList(const QString& path, CCallListModel& model)
{
    QList<QStringList> rows;
    const recordfile::ReadStatus status = recordfile::Read(path, kCallListColumns, &rows);
    if (status == recordfile::ReadStatus::Missing)
        recordfile::CreateIfMissing(path);
    model.SetRows(std::move(rows));
    return status;
}

bool SaveCallList(const QString& path, const CCallListModel& model)
{
    return recordfile::WriteAtomically(path, recordfile::Format(model.Rows(), kCallListColumns));
}

bool ExportCallList(const QString& path, const CCallListModel& model)
{
    return recordfile::WriteAtomically(path, recordfile::Format(model.Rows(), kCallListColumns, true));
}
