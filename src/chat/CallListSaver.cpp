#include "CallListSaver.h"

namespace {

// A change is on disk within this plus two writes of the whole list.
constexpr int kDefaultDelayMs = 50;

} // namespace

CCallListSaver::CCallListSaver(QString path, CCallListModel& model, QObject* parent)
    : QObject(parent), m_path(std::move(path)), m_model(model)
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(kDefaultDelayMs);
    connect(&m_timer, &QTimer::timeout, this, &CCallListSaver::Start);
    connect(&model, &QAbstractItemModel::rowsInserted, this, &CCallListSaver::Changed);
    connect(&model, &QAbstractItemModel::rowsRemoved, this, &CCallListSaver::Changed);
    connect(&model, &QAbstractItemModel::modelReset, this, &CCallListSaver::Changed);
    connect(&model, &QAbstractItemModel::dataChanged, this, &CCallListSaver::Changed);
}

CCallListSaver::~CCallListSaver() { Join(); }

void CCallListSaver::Changed()
{
    if (m_running)
        m_dirty = true;
    else if (!m_timer.isActive())
        m_timer.start();
}

void CCallListSaver::Start()
{
    if (m_running) {
        m_dirty = true;
        return;
    }
    Join();
    m_running = true;
    m_dirty = false;
    ++m_writes;
    // The saver outlives the thread (its destructor joins); the queued call
    // is dropped with the saver if it is gone before it runs.
    m_worker = std::thread([this, path = m_path, rows = m_model.Snapshot()] {
        const bool ok = SaveCallList(path, rows);
        QMetaObject::invokeMethod(this, [this, ok] { Finished(ok); }, Qt::QueuedConnection);
    });
}

void CCallListSaver::Finished(bool ok)
{
    Join();
    m_running = false;
    emit Saved(ok);
    if (m_dirty)
        Start();
}

void CCallListSaver::Join()
{
    if (m_worker.joinable())
        m_worker.join();
}

bool CCallListSaver::SaveNow()
{
    m_timer.stop();
    Join();
    m_running = false;
    m_dirty = false;
    return SaveCallList(m_path, m_model);
}
