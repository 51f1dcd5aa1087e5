// The call list as the search field narrows it: the rows whose number,
// name, text or date hold what the user typed, case and accents aside, in
// the list's own order. What it compares is folded once per row when the
// search starts and kept in step with the list while it runs, so a
// keystroke costs a scan of short strings, not a decoding of every row.
#pragma once

#include "CallList.h"

#include <QSortFilterProxyModel>

class CCallListFilter final : public QSortFilterProxyModel
{
    Q_OBJECT

public:
    explicit CCallListFilter(CCallListModel& source, QObject* parent = nullptr);

    // Folds every row now, so that the first keystroke costs no more than
    // the next.
    void Prepare();
    // Empty: every row.
    void SetText(const QString& text);
    QString Text() const { return m_text; }

    // Lower case, accents taken off ("Café" gives "cafe").
    static QString Folded(const QString& text);

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

private:
    const QString& Key(int sourceRow) const;

    CCallListModel& m_source;
    QString m_text;
    QString m_needle; // m_text folded
    // One per source row, folded; null until first needed.
    mutable QList<QString> m_keys;
};
