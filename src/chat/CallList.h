// The call list: one row per received text, newest first, kept in
// "bellijst.dat" (seven lines a row) in the working directory.
#pragma once

#include "RecordFile.h"

#include <QAbstractTableModel>
#include <QDateTime>
#include <QIcon>
#include <QStringList>

#include <utility>

class QIODevice;

inline constexpr char kCallListFileName[] = "bellijst.dat";
inline constexpr int kCallListColumns = 7;

// Column order of a row, which is also the line order of its record.
enum CallListColumn {
    ColCaller = 0,  // "Nummer beller": the lookup key
    ColName,        // "Naam"
    ColText,        // "Bericht"
    ColOwnNumber,   // "Uw nummer"
    ColDate,        // "Datum"
    ColTime,        // "Tijd"
    ColCallType,    // "Soort oproep"
};

struct CallListColumnDef
{
    const char* title;
    int width; // pixels
};
extern const CallListColumnDef kCallListColumnDefs[kCallListColumns];

// The date and time as the call list has always shown them: "12/6/99" and
// "9:05:07" (month/day/two-digit year; 24-hour clock, hour unpadded).
QString FormatCallDate(const QDate& date);
QString FormatCallTime(const QTime& time);

// The rows as they stand at one moment, for writing on another thread.
// Copying it is cheap, and so is changing the list while a copy is being
// written: the rows are kept in shared blocks, and a change copies only the
// block it touches.
class CCallListSnapshot
{
public:
    int Size() const { return m_size; }
    // The file's bytes of the rows, top to bottom; with `blankLineAfter`, an
    // empty line follows every row. False when the device took less.
    bool WriteTo(QIODevice& device, bool blankLineAfter) const;

private:
    friend class CCallListModel;
    // A row of fields, or (start >= 0) a record of m_file not yet decoded.
    struct Entry
    {
        QStringList fields;
        qsizetype start = -1;
        qsizetype length = 0;
    };
    using Block = QList<Entry>;

    const Entry& At(int row) const;
    void Prepend(Entry entry);
    void RemoveAt(int row);
    // Empties the rows and keeps `file` for the stored ones; Append then
    // adds them top to bottom.
    void Reset(QByteArray file);
    void Append(Entry entry);
    // The block that holds `row`, and the row's place in it.
    std::pair<qsizetype, int> Find(int row) const;

    QList<Block> m_blocks; // top to bottom
    int m_size = 0;
    QByteArray m_file;
    // Where the last row asked for was found, for reading in order.
    mutable qsizetype m_lastBlock = 0;
    mutable int m_lastBlockStart = 0;
};

class CCallListModel final : public QAbstractTableModel
{
    Q_OBJECT

public:
    explicit CCallListModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // Every row shows this image in its first column.
    void SetRowIcon(const QIcon& icon) { m_rowIcon = icon; }

    // A row is seven fields; shorter ones are padded.
    void InsertTop(const QStringList& row);
    void RemoveRowAt(int row);
    void Clear();
    void SetRows(QList<QStringList> rows);
    // The rows of a call-list file. Rows as the list writes them (seven
    // lines, each ending in CR LF, no NUL) stay bytes until they are shown,
    // so that a long list loads and saves at about the speed of its bytes.
    void SetFileBytes(const QByteArray& bytes);
    QStringList Row(int row) const;
    // One field of a row, decoding no other.
    QString Field(int row, int column) const;
    QList<QStringList> Rows() const;

    CCallListSnapshot Snapshot() const { return m_data; }
    bool WriteTo(QIODevice& device, bool blankLineAfter) const { return m_data.WriteTo(device, blankLineAfter); }

private:
    using Entry = CCallListSnapshot::Entry;
    QString StoredField(const Entry& entry, int column) const;

    // Its rows and file bytes; a snapshot shares them until the next change.
    CCallListSnapshot m_data;
    QIcon m_rowIcon;
};

// Fills the model from the file (creating an empty file when there is none).
// Failed: the file exists but could not be read, the model is left empty,
// and the list must not be saved over the file.
recordfile::ReadStatus LoadCallList(const QString& path, CCallListModel& model);
// Replaces the file with the rows, top to bottom.
bool SaveCallList(const QString& path, const CCallListModel& model);
bool SaveCallList(const QString& path, const CCallListSnapshot& rows);
// The text export: the same lines, with an empty line after every row.
bool ExportCallList(const QString& path, const CCallListModel& model);
