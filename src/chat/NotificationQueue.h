// Hands the receive threads' notifications to the window's thread: each task
// runs there, one after another in the order posted, and waits while the
// window is busy (a sound playing, the pause after a send). The posting
// thread never blocks here; it is the link that waits for its task.
#pragma once

#include <QObject>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class CNotificationQueue final : public QObject
{
    Q_OBJECT

public:
    explicit CNotificationQueue(QObject* parent = nullptr);
    // Tasks still waiting are dropped, never run.
    ~CNotificationQueue() override;

    // Any thread.
    void Post(std::function<void()> task);
    int Pending() const;

    // The window's thread: while held, nothing runs; Release lets what
    // waited run, in order, from the event loop (never inside the caller).
    void Hold();
    void Release();
    bool IsHeld() const;

private:
    struct State
    {
        std::mutex mutex;
        std::deque<std::function<void()>> tasks; // guarded by mutex
        bool scheduled = false;                  // guarded by mutex: a drain is posted
        int holds = 0;                           // window's thread only
    };
    static void Schedule(const std::shared_ptr<State>& state);
    static void Drain(const std::shared_ptr<State>& state);

    // Shared with the drains already posted, which outlive a destroyed queue
    // harmlessly.
    std::shared_ptr<State> m_state;
};
