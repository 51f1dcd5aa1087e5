#include "CallListFilter.h"

namespace {

// The columns a search looks in.
constexpr CallListColumn kSearched[] = {ColCaller, ColName, ColText, ColDate};

} // namespace

CCallListFilter::CCallListFilter(CCallListModel& source, QObject* parent)
    : QSortFilterProxyModel(parent), m_source(source)
{
    // The keys move with the rows: a new row gets its place before the
    // proxy asks about it.
    connect(&source, &QAbstractItemModel::rowsAboutToBeInserted, this,
            [this](const QModelIndex&, int first, int last) {
                m_keys.insert(first, last - first + 1, QString());
            });
    connect(&source, &QAbstractItemModel::rowsRemoved, this,
            [this](const QModelIndex&, int first, int last) { m_keys.remove(first, last - first + 1); });
    connect(&source, &QAbstractItemModel::modelAboutToBeReset, this, [this] { m_keys.clear(); });
    connect(&source, &QAbstractItemModel::modelReset, this, [this] { m_keys.resize(m_source.rowCount()); });
    connect(&source, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex& topLeft, const QModelIndex& bottomRight) {
                for (int row = topLeft.row(); row <= bottomRight.row() && row < m_keys.size(); ++row)
                    m_keys[row] = QString();
            });
    m_keys.resize(source.rowCount());
    setSourceModel(&source);
}

QString CCallListFilter::Folded(const QString& text)
{
    bool plain = true;
    for (QChar ch : text)
        if (ch.unicode() >= 0x80) {
            plain = false;
            break;
        }
    if (plain)
        return text.toLower();
    const QString decomposed = text.normalized(QString::NormalizationForm_KD);
    QString folded;
    folded.reserve(decomposed.size());
    for (QChar ch : decomposed)
        if (ch.category() != QChar::Mark_NonSpacing)
            folded += ch;
    return folded.toCaseFolded();
}

void CCallListFilter::Prepare()
{
    for (int row = 0; row < m_keys.size(); ++row)
        Key(row);
}

void CCallListFilter::SetText(const QString& text)
{
    if (text == m_text)
        return;
    m_text = text;
    m_needle = Folded(text);
    // Anew rather than as a difference: a shorter search brings back rows
    // between every two shown ones, which the view would take range by range.
    invalidate();
}

const QString& CCallListFilter::Key(int sourceRow) const
{
    QString& key = m_keys[sourceRow];
    if (key.isNull()) {
        // Separated so a search cannot run from one field into the next.
        QString joined;
        for (CallListColumn column : kSearched)
            joined += m_source.Field(sourceRow, column) + QChar(u'\n');
        key = Folded(joined);
    }
    return key;
}

bool CCallListFilter::filterAcceptsRow(int sourceRow, const QModelIndex&) const
{
    if (m_needle.isEmpty())
        return true;
    if (sourceRow < 0 || sourceRow >= m_keys.size())
        return false;
    return Key(sourceRow).contains(m_needle);
}
