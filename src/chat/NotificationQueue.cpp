#include "NotificationQueue.h"

#include <QCoreApplication>

CNotificationQueue::CNotificationQueue(QObject* parent)
    : QObject(parent), m_state(std::make_shared<State>())
{
}

CNotificationQueue::~CNotificationQueue()
{
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(m_state->mutex);
        dropped.swap(m_state->tasks);
        m_state->holds = 1; // a drain already posted finds nothing to run
    }
}

void CNotificationQueue::Post(std::function<void()> task)
{
    {
        std::lock_guard lock(m_state->mutex);
        m_state->tasks.push_back(std::move(task));
        if (m_state->scheduled)
            return;
        m_state->scheduled = true;
    }
    Schedule(m_state);
}

int CNotificationQueue::Pending() const
{
    std::lock_guard lock(m_state->mutex);
    return int(m_state->tasks.size());
}

void CNotificationQueue::Hold() { ++m_state->holds; }

bool CNotificationQueue::IsHeld() const { return m_state->holds > 0; }

void CNotificationQueue::Release()
{
    if (m_state->holds == 0 || --m_state->holds > 0)
        return;
    {
        std::lock_guard lock(m_state->mutex);
        if (m_state->tasks.empty() || m_state->scheduled)
            return;
        m_state->scheduled = true;
    }
    Schedule(m_state);
}

void CNotificationQueue::Schedule(const std::shared_ptr<State>& state)
{
    // Posted to the application object, which outlives every window, with
    // only a weak hold on the queue.
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return;
    std::weak_ptr<State> weak = state;
    QMetaObject::invokeMethod(
        app, [weak] {
            if (auto alive = weak.lock())
                Drain(alive);
        },
        Qt::QueuedConnection);
}

void CNotificationQueue::Drain(const std::shared_ptr<State>& state)
{
    {
        std::lock_guard lock(state->mutex);
        state->scheduled = false;
    }
    // A task may open a nested event loop (a message box) in which later
    // tasks run; each is taken off the queue before it runs.
    while (state->holds == 0) {
        std::function<void()> task;
        {
            std::lock_guard lock(state->mutex);
            if (state->tasks.empty())
                return;
            task = std::move(state->tasks.front());
            state->tasks.pop_front();
        }
        task();
    }
}
