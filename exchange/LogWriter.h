// Writes log lines to a descriptor (stderr) from a thread of its own, so a
// terminal or pipe that stops taking them never holds up the event loop.
// Lines beyond what waits are dropped and counted; the count is written
// once there is room again.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace exchange {

class LogWriter
{
public:
    // Lines waiting at most; beyond them new lines are dropped.
    static constexpr size_t kMaxWaiting = 4096;

    explicit LogWriter(int fd = 2);
    // Writes what waits, giving up after a short while on a descriptor that
    // takes nothing.
    ~LogWriter();
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    // Any thread; never blocks on the descriptor.
    void Post(std::string line);
    // Lines dropped so far.
    size_t Dropped() const;

private:
    // Shared with the thread, which may outlive this object when the
    // descriptor blocks for good.
    struct State
    {
        std::mutex mutex;
        std::condition_variable wake; // guarded by mutex
        std::deque<std::string> lines; // guarded by mutex
        size_t dropped = 0;            // guarded by mutex
        size_t droppedTold = 0;        // guarded by mutex
        bool stop = false;             // guarded by mutex
        bool done = false;             // guarded by mutex
        std::condition_variable finished;
    };
    static void Run(std::shared_ptr<State> state, int fd);

    std::shared_ptr<State> m_state;
    std::thread m_thread;
};

} // namespace exchange
