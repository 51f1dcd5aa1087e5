// A driver call that may never return. libcapi20 waits for good on a remote
// server that took the connection and then says nothing, so every call that
// waits for an answer runs on a thread of its own, and its caller waits no
// longer than the call's bound. A call given up leaves its thread behind:
// from then on that thread touches only this object and the driver, is never
// joined, and undoes what the call still achieves (a late registration is
// released).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

// What a driver call hands back; each call fills its own part.
struct DriverAnswer
{
    unsigned rc = 0;
    unsigned applId = 0;      // CAPI_REGISTER
    char text[64] = {};       // CAPI_GET_MANUFACTURER, CAPI_GET_SERIAL_NUMBER
    uint32_t version[4] = {}; // CAPI_GET_VERSION
    uint8_t profile[64] = {}; // CAPI_GET_PROFILE
};

class CDriverCall
{
public:
    // Runs on the call's thread; `self` tells whether anyone still waits.
    using Work = std::function<void(CDriverCall& self, DriverAnswer& answer)>;
    // Runs on the call's thread when the answer comes after the call was
    // given up, or on a thread of its own when it was given up unread.
    using Undo = std::function<void(const DriverAnswer& answer)>;

    // `work` on a thread of its own; its answer counts until `boundMs` from
    // now. A thread that cannot be created answers 0x1108 (OS resource).
    static std::shared_ptr<CDriverCall> Start(int boundMs, Work work, Undo undo = {});
    // `work` here and now, for a driver that cannot block (none loaded).
    static std::shared_ptr<CDriverCall> Now(const Work& work);
    // Answered at once.
    static std::shared_ptr<CDriverCall> Answered(const DriverAnswer& answer);
    // Answered by someone else, through Answer (a confirmation that a
    // receive thread fetches), or not within `boundMs`.
    static std::shared_ptr<CDriverCall> Expect(int boundMs);
    // Counts as unanswered at once: the driver is known not to answer.
    static std::shared_ptr<CDriverCall> Unanswered(int boundMs);

    CDriverCall(const CDriverCall&) = delete;
    CDriverCall& operator=(const CDriverCall&) = delete;

    // Any thread. An answer after the call was given up is undone.
    void Answer(const DriverAnswer& answer);
    // Waits at most `milliseconds`, never past the bound. True once answered.
    bool WaitFor(int milliseconds);
    // Waits until the answer comes or the bound passes. Then hands the answer
    // over (true), or gives the call up (false).
    bool Take(DriverAnswer* answer);
    // Nobody waits for this answer any more. One that came and was never
    // taken is undone.
    void GiveUp();
    bool IsGivenUp() const;
    int BoundMs() const { return m_boundMs; }
    int RemainingMs() const;
    // `notify` runs once, when the answer comes, on the answering thread
    // (here, when it has come already). It runs under the call's lock, so it
    // must not block or use this call; it never runs once Take or GiveUp has
    // returned. An empty one cuts off the one set before.
    void WhenAnswered(std::function<void()> notify);

    // Threads of driver calls that have not ended yet, given up or not.
    static int Running();

private:
    enum class State { Waiting, Answered, Taken, GivenUp };
    CDriverCall(int boundMs, Undo undo);
    static bool Spawn(std::function<void()> body);

    mutable std::mutex m_mutex;
    std::condition_variable m_cv;               // on m_mutex: the answer came
    State m_state = State::Waiting;             // guarded by m_mutex
    DriverAnswer m_answer;                      // guarded by m_mutex
    std::function<void()> m_notify;             // guarded by m_mutex
    const Undo m_undo;                          // never changes
    const int m_boundMs;                        // never changes
    const std::chrono::steady_clock::time_point m_deadline; // never changes
};
