// The phone book while the settings sheet is open: one row per record, the
// four fields in four columns. The page writes it back to the file on OK.
#pragma once

#include "PhoneBookFile.h"

#include <QAbstractTableModel>
#include <QIcon>
#include <QList>

class CPhoneBookModel : public QAbstractTableModel
{
public:
    enum Column { NumberColumn, NameColumn, ActionColumn, PathColumn, ColumnCount };

    using QAbstractTableModel::QAbstractTableModel;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    bool removeRows(int row, int count, const QModelIndex& parent = {}) override;

    // Shown before the number of every row.
    void SetRowIcon(const QIcon& icon);

    void SetRecords(const QList<PhoneBookRecord>& records);
    const QList<PhoneBookRecord>& Records() const { return m_records; }
    const PhoneBookRecord& Record(int row) const { return m_records.at(row); }
    // `row` may be rowCount() to append.
    void InsertRecord(int row, const PhoneBookRecord& record);

    // Column headings and their widths in pixels.
    static QString Heading(int column);
    static int HeadingWidth(int column);

private:
    QList<PhoneBookRecord> m_records;
    QIcon m_rowIcon;
};
