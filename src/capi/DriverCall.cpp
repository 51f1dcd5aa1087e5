#include "DriverCall.h"

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>

namespace {

constexpr unsigned kOsResourceError = 0x1108;

std::atomic<int> g_running{0};

} // namespace

CDriverCall::CDriverCall(int boundMs, Undo undo)
    : m_undo(std::move(undo)), m_boundMs(boundMs),
      m_deadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs))
{
}

bool CDriverCall::Spawn(std::function<void()> body)
{
    ++g_running;
    try {
        std::thread([body = std::move(body)] {
            body();
            --g_running;
        }).detach();
    } catch (const std::system_error&) {
        --g_running;
        return false;
    }
    return true;
}

std::shared_ptr<CDriverCall> CDriverCall::Start(int boundMs, Work work, Undo undo)
{
    std::shared_ptr<CDriverCall> call(new CDriverCall(boundMs, std::move(undo)));
    // The thread holds the call, never its caller.
    const bool started = Spawn([call, work = std::move(work)] {
        DriverAnswer answer;
        work(*call, answer);
        call->Answer(answer);
    });
    if (!started) {
        DriverAnswer failed;
        failed.rc = kOsResourceError;
        call->Answer(failed);
    }
    return call;
}

std::shared_ptr<CDriverCall> CDriverCall::Now(const Work& work)
{
    std::shared_ptr<CDriverCall> call(new CDriverCall(0, {}));
    DriverAnswer answer;
    work(*call, answer);
    call->Answer(answer);
    return call;
}

std::shared_ptr<CDriverCall> CDriverCall::Answered(const DriverAnswer& answer)
{
    std::shared_ptr<CDriverCall> call(new CDriverCall(0, {}));
    call->Answer(answer);
    return call;
}

std::shared_ptr<CDriverCall> CDriverCall::Expect(int boundMs)
{
    return std::shared_ptr<CDriverCall>(new CDriverCall(boundMs, {}));
}

std::shared_ptr<CDriverCall> CDriverCall::Unanswered(int boundMs)
{
    std::shared_ptr<CDriverCall> call(new CDriverCall(boundMs, {}));
    call->GiveUp();
    return call;
}

void CDriverCall::Answer(const DriverAnswer& answer)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_state == State::Waiting) {
            m_answer = answer;
            m_state = State::Answered;
            // Under the lock: whoever cuts the notification off waits for it.
            if (m_notify) {
                m_notify();
                m_notify = nullptr;
            }
            m_cv.notify_all();
            return;
        }
        if (m_state != State::GivenUp)
            return;
    }
    // Too late: nobody will take it.
    if (m_undo)
        m_undo(answer);
}

bool CDriverCall::WaitFor(int milliseconds)
{
    const auto until = std::min(m_deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds));
    std::unique_lock lock(m_mutex);
    m_cv.wait_until(lock, until, [this] { return m_state != State::Waiting; });
    return m_state == State::Answered || m_state == State::Taken;
}

bool CDriverCall::Take(DriverAnswer* answer)
{
    std::unique_lock lock(m_mutex);
    m_cv.wait_until(lock, m_deadline, [this] { return m_state != State::Waiting; });
    m_notify = nullptr;
    switch (m_state) {
    case State::Answered:
    case State::Taken:
        m_state = State::Taken;
        *answer = m_answer;
        return true;
    case State::Waiting:
        m_state = State::GivenUp;
        return false;
    case State::GivenUp:
        return false;
    }
    return false;
}

void CDriverCall::GiveUp()
{
    DriverAnswer unread;
    {
        std::lock_guard lock(m_mutex);
        m_notify = nullptr;
        const State was = m_state;
        if (was == State::Taken || was == State::GivenUp)
            return;
        m_state = State::GivenUp;
        if (was == State::Waiting || !m_undo)
            return;
        unread = m_answer;
    }
    // The answer came but was never taken: undone off the caller's thread,
    // which must not wait on the driver.
    auto undo = m_undo;
    if (!Spawn([undo, unread] { undo(unread); }))
        undo(unread);
}

bool CDriverCall::IsGivenUp() const
{
    std::lock_guard lock(m_mutex);
    return m_state == State::GivenUp;
}

int CDriverCall::RemainingMs() const
{
    const auto left = m_deadline - std::chrono::steady_clock::now();
    return left <= left.zero() ? 0 : int(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

void CDriverCall::WhenAnswered(std::function<void()> notify)
{
    std::lock_guard lock(m_mutex);
    if (m_state == State::Answered && notify)
        notify();
    else
        m_notify = m_state == State::Waiting ? std::move(notify) : nullptr;
}

int CDriverCall::Running() { return g_running.load(); }
