// A program of the user's for every received text ("TextHook" in "Extra").
// It gets the text's values as separate arguments, never through a shell,
// and the same in ZOEMLIJN_* variables, all as UTF-8; its output goes
// nowhere and its exit status is not looked at. At most four run at once,
// so that a flood of calls cannot flood the machine with processes: a text
// that comes while four still run starts none, and is counted.
#pragma once

#include "ReceivedText.h"

#include <QList>
#include <QObject>
#include <QPair>
#include <QStringList>

class CTextHook final : public QObject
{
public:
    static constexpr int kMaxRunning = 4;

    using QObject::QObject;

    // Starts `program` for `text` through the platform; false when no
    // program is set or four still run.
    bool Run(const QString& program, const ReceivedText& text);

    int Running() const { return m_running; }
    // Texts that found four running.
    int Skipped() const { return m_skipped; }

    // Number, name, text, called number, call type, time.
    static QStringList Arguments(const ReceivedText& text);
    // The same, as ZOEMLIJN_NUMBER ... ZOEMLIJN_TIME.
    static QList<QPair<QString, QString>> Environment(const ReceivedText& text);
    // ISO 8601 with the offset from UTC: 1999-12-06T09:05:07+01:00.
    static QString IsoTime(const QDateTime& time);

private:
    int m_running = 0;
    int m_skipped = 0;
};
