#include "LogWriter.h"

#include <cerrno>
#include <chrono>

#include <unistd.h>

namespace exchange {

namespace {
// On the way out, what the descriptor is given to take the rest.
constexpr auto kDrainTime = std::chrono::milliseconds(500);

void WriteAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // nowhere to tell it
        done += static_cast<size_t>(n);
    }
}
} // namespace

LogWriter::LogWriter(int fd) : m_state(std::make_shared<State>()), m_thread(Run, m_state, fd) {}

LogWriter::~LogWriter()
{
    std::unique_lock<std::mutex> lock(m_state->mutex);
    m_state->stop = true;
    m_state->wake.notify_one();
    const bool done = m_state->finished.wait_for(lock, kDrainTime, [this] { return m_state->done; });
    lock.unlock();
    // A descriptor that blocks for good keeps the thread; it holds its own state.
    if (done)
        m_thread.join();
    else
        m_thread.detach();
}

void LogWriter::Post(std::string line)
{
    const std::lock_guard<std::mutex> lock(m_state->mutex);
    if (m_state->lines.size() >= kMaxWaiting) {
        ++m_state->dropped;
        return;
    }
    m_state->lines.push_back(std::move(line));
    m_state->wake.notify_one();
}

size_t LogWriter::Dropped() const
{
    const std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->dropped;
}

void LogWriter::Run(std::shared_ptr<State> state, int fd)
{
    std::unique_lock<std::mutex> lock(state->mutex);
    for (;;) {
        state->wake.wait(lock, [&] { return state->stop || !state->lines.empty(); });
        if (state->lines.empty())
            break; // stop, and all written
        // Everything that waits, in one write, written without the lock.
        std::string text;
        if (state->dropped > state->droppedTold) {
            text = "(" + std::to_string(state->dropped - state->droppedTold) + " log lines dropped)\n";
            state->droppedTold = state->dropped;
        }
        for (const std::string& line : state->lines)
            text += line + '\n';
        state->lines.clear();
        lock.unlock();
        WriteAll(fd, text);
        lock.lock();
    }
    state->done = true;
    state->finished.notify_all();
}

} // namespace exchange
