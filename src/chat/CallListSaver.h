// Keeps "bellijst.dat" in step with the call list while the window lives, so
// that a crash or a killed process loses no received text. Each change is
// written within moments, atomically, on a thread of its own from a snapshot
// of the rows: the window's thread never waits for the disk.
#pragma once

#include "CallList.h"

#include <QObject>
#include <QTimer>

#include <memory>
#include <thread>

class CCallListSaver final : public QObject
{
    Q_OBJECT

public:
    // Follows every change of `model` from now on; `model` must outlive it.
    CCallListSaver(QString path, CCallListModel& model, QObject* parent = nullptr);
    // Waits for a write in flight; what changed after it is left to SaveNow.
    ~CCallListSaver() override;

    // How long a change waits for the ones that follow it, so that a burst
    // is written once.
    void SetDelay(int milliseconds) { m_timer.setInterval(milliseconds); }

    // On the caller's thread, after a write in flight: the list as it is now.
    bool SaveNow();

    // Writes started on the worker thread so far (for tests and benchmarks).
    int Writes() const { return m_writes; }

signals:
    // A background write ended; `ok` false when the file could not be
    // replaced (the old one is still there).
    void Saved(bool ok);

private:
    void Changed();
    void Start();
    void Finished(bool ok);
    void Join();

    const QString m_path;
    CCallListModel& m_model;
    QTimer m_timer;
    // The write in flight, if any: owned and joined by the window's thread.
    std::thread m_worker;
    bool m_running = false; // a write is in flight
    bool m_dirty = false;   // a change came after its snapshot
    int m_writes = 0;
};
