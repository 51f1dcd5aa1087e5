#include "FakeCapiDriver.h"

#include <chrono>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

FakeCapiDriver::FakeCapiDriver() : m_profile(64, '\0') {}
FakeCapiDriver::~FakeCapiDriver() = default;

void FakeCapiDriver::Queue(const QByteArray& message)
{
    {
        std::lock_guard lock(m_mutex);
        m_queue.push_back({message, QByteArray()});
    }
    m_cv.notify_all();
}

void FakeCapiDriver::QueueWithData(const QByteArray& message, const QByteArray& data)
{
    {
        std::lock_guard lock(m_mutex);
        m_queue.push_back({message, data.isNull() ? QByteArray("") : data});
    }
    m_cv.notify_all();
}

void FakeCapiDriver::SetReply(uint16_t requestCode, const QByteArray& reply)
{
    std::lock_guard lock(m_mutex);
    std::erase_if(m_replies, [requestCode](const auto& r) { return r.first == requestCode; });
    m_replies.emplace_back(requestCode, reply);
}

void FakeCapiDriver::SetRegisterResult(unsigned rc, unsigned applId)
{
    std::lock_guard lock(m_mutex);
    m_registerResult = rc;
    m_registerId = applId;
}

void FakeCapiDriver::SetReleaseResult(unsigned rc)
{
    std::lock_guard lock(m_mutex);
    m_releaseResult = rc;
}

void FakeCapiDriver::FailNextPuts(std::vector<unsigned> results)
{
    std::lock_guard lock(m_mutex);
    m_putResults = std::move(results);
}

void FakeCapiDriver::SetBroken(bool broken, unsigned fetchError)
{
    {
        std::lock_guard lock(m_mutex);
        m_broken = broken;
        m_fetchError = fetchError;
    }
    m_cv.notify_all();
}

void FakeCapiDriver::SetWakeMode(WakeMode mode)
{
    std::lock_guard lock(m_mutex);
    m_wakeMode = mode;
}

void FakeCapiDriver::SetSilent(unsigned calls)
{
    std::lock_guard lock(m_mutex);
    m_silent = calls;
}

void FakeCapiDriver::StallIfSilent(std::unique_lock<std::mutex>& lock, unsigned call)
{
    if (!(m_silent & call))
        return;
    ++m_stalled;
    m_cv.notify_all();
    m_cv.wait(lock, [this] { return m_unstuck; });
    --m_stalled;
}

int FakeCapiDriver::SilentCallsWaiting() const
{
    std::lock_guard lock(m_mutex);
    return m_stalled;
}

int FakeCapiDriver::Queries() const
{
    std::lock_guard lock(m_mutex);
    return m_queries;
}

void FakeCapiDriver::Unstick()
{
    {
        std::lock_guard lock(m_mutex);
        m_unstuck = true;
    }
    m_cv.notify_all();
}

void FakeCapiDriver::SetDescriptor(int fd)
{
    std::lock_guard lock(m_mutex);
    m_fd = fd;
}

void FakeCapiDriver::SetReleaseHook(std::function<void()> hook)
{
    std::lock_guard lock(m_mutex);
    m_releaseHook = std::move(hook);
}

void FakeCapiDriver::SetIdentity(const char* manufacturer, const char* serial, std::vector<uint32_t> version,
                                 QByteArray profile, unsigned queryResult)
{
    std::lock_guard lock(m_mutex);
    m_manufacturer = manufacturer;
    m_serial = serial;
    m_version = std::move(version);
    profile.resize(64, '\0');
    m_profile = profile;
    m_queryResult = queryResult;
}

void FakeCapiDriver::SetReadableExtra(size_t extra)
{
    std::lock_guard lock(m_mutex);
    m_readableExtra = extra;
}

std::vector<QByteArray> FakeCapiDriver::Puts() const
{
    std::lock_guard lock(m_mutex);
    return m_puts;
}

QByteArray FakeCapiDriver::LastPut() const
{
    std::lock_guard lock(m_mutex);
    return m_puts.empty() ? QByteArray() : m_puts.back();
}

std::vector<unsigned> FakeCapiDriver::Released() const
{
    std::lock_guard lock(m_mutex);
    return m_released;
}

int FakeCapiDriver::WaitsInProgress() const
{
    std::lock_guard lock(m_mutex);
    return m_waiting;
}

int FakeCapiDriver::SignalWaits() const
{
    std::lock_guard lock(m_mutex);
    return m_signalWaits;
}

int FakeCapiDriver::ThreadsInWait() const
{
    std::lock_guard lock(m_mutex);
    return m_waiting;
}

std::vector<FakeCapiDriver::RegisterParams> FakeCapiDriver::Registrations() const
{
    std::lock_guard lock(m_mutex);
    return m_registrations;
}

int FakeCapiDriver::GetCalls() const
{
    std::lock_guard lock(m_mutex);
    return m_getCalls;
}

int FakeCapiDriver::WakeCalls() const
{
    std::lock_guard lock(m_mutex);
    return m_wakeCalls;
}

bool FakeCapiDriver::WaitUntilWaiting(int milliseconds) const
{
    std::unique_lock lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return m_waiting > 0; });
}

unsigned FakeCapiDriver::Register(unsigned messageBufferSize, unsigned maxLogicalConnection,
                                  unsigned maxBDataBlocks, unsigned maxBDataLen, unsigned* applId)
{
    std::unique_lock lock(m_mutex);
    StallIfSilent(lock, SilentRegister);
    m_registrations.push_back({messageBufferSize, maxLogicalConnection, maxBDataBlocks, maxBDataLen});
    if (m_broken)
        return 0x1009;
    if (m_registerResult == 0)
        *applId = m_registerId;
    m_woken = false;
    m_releasedSignal = false;
    return m_registerResult;
}

unsigned FakeCapiDriver::Release(unsigned applId)
{
    std::function<void()> hook;
    {
        std::lock_guard lock(m_mutex);
        hook = m_releaseHook;
    }
    if (hook)
        hook();
    unsigned rc;
    {
        std::unique_lock lock(m_mutex);
        StallIfSilent(lock, SilentRelease);
        m_released.push_back(applId);
        m_releasedSignal = true;
        rc = m_releaseResult;
    }
    m_cv.notify_all();
    return rc;
}

unsigned FakeCapiDriver::PutMessage(unsigned, const uint8_t* message)
{
    std::lock_guard lock(m_mutex);
    if (!m_putResults.empty()) {
        const unsigned rc = m_putResults.front();
        m_putResults.erase(m_putResults.begin());
        if (rc != 0)
            return rc;
    }
    const size_t length = size_t(message[0]) | (size_t(message[1]) << 8);
    m_puts.emplace_back(reinterpret_cast<const char*>(message), qsizetype(length));
    const uint16_t code = uint16_t(message[4] | (message[5] << 8));
    bool replied = false;
    for (const auto& [request, reply] : m_replies) {
        if (request == code) {
            m_queue.push_back({reply, QByteArray()});
            replied = true;
        }
    }
    if (replied)
        m_cv.notify_all();
    return 0;
}

unsigned FakeCapiDriver::GetMessage(unsigned, const uint8_t** message, size_t* readable)
{
    std::lock_guard lock(m_mutex);
    ++m_getCalls;
    if (m_fd >= 0) {
        char octet;
        [[maybe_unused]] const ssize_t n = read(m_fd, &octet, 1);
    }
    if (m_broken || m_woken || m_queue.empty()) {
        *message = nullptr;
        *readable = 0;
        return m_broken ? m_fetchError : 0x1104;
    }
    const Queued next = m_queue.front();
    m_queue.pop_front();
    m_current = next.message + next.data;
    const size_t size = size_t(m_current.size());
    m_current.resize(qsizetype(size + m_readableExtra), '\0');
    if (!next.data.isNull() && next.message.size() >= 30) {
        const uint64_t address = reinterpret_cast<uintptr_t>(m_current.constData()) + uint64_t(next.message.size());
        for (int i = 0; i < 8; ++i)
            m_current[22 + i] = char(address >> (8 * i));
    }
    *message = reinterpret_cast<const uint8_t*>(m_current.constData());
    *readable = size + m_readableExtra;
    return 0;
}

unsigned FakeCapiDriver::WaitForSignal(unsigned applId)
{
    return WaitForSignalFor(applId, -1);
}

unsigned FakeCapiDriver::WaitForSignalFor(unsigned, int milliseconds)
{
    std::unique_lock lock(m_mutex);
    ++m_signalWaits;
    if (m_broken)
        return 0; // "readable": the fetch then fails
    ++m_waiting;
    m_cv.notify_all();
    bool got;
    if (m_wakeMode == WakeMode::OnlyRelease || m_wakeMode == WakeMode::Never) {
        const bool onlyRelease = m_wakeMode == WakeMode::OnlyRelease;
        m_cv.wait(lock, [&] { return m_unstuck || (onlyRelease && m_releasedSignal); });
        got = false;
    } else {
        const bool wakes = m_wakeMode == WakeMode::Wakes;
        auto ready = [&] { return m_broken || (wakes && m_woken) || !m_queue.empty(); };
        if (milliseconds < 0) {
            m_cv.wait(lock, ready);
            got = true;
        } else {
            got = m_cv.wait_for(lock, std::chrono::milliseconds(milliseconds), ready);
        }
        got = got && !m_broken && !(wakes && m_woken);
    }
    --m_waiting;
    return got ? 0 : 0x1104;
}

unsigned FakeCapiDriver::GetManufacturer(unsigned, char* buffer64)
{
    std::unique_lock lock(m_mutex);
    StallIfSilent(lock, SilentQueries);
    ++m_queries;
    std::memset(buffer64, 0, 64);
    std::memcpy(buffer64, m_manufacturer.constData(), size_t(std::min<qsizetype>(m_manufacturer.size(), 63)));
    return m_queryResult;
}

unsigned FakeCapiDriver::GetVersion(unsigned, uint32_t version[4])
{
    std::unique_lock lock(m_mutex);
    StallIfSilent(lock, SilentQueries);
    ++m_queries;
    for (size_t i = 0; i < 4; ++i)
        version[i] = i < m_version.size() ? m_version[i] : 0;
    return m_queryResult;
}

unsigned FakeCapiDriver::GetSerialNumber(unsigned, char* buffer8)
{
    std::unique_lock lock(m_mutex);
    StallIfSilent(lock, SilentQueries);
    ++m_queries;
    std::memset(buffer8, 0, 8);
    std::memcpy(buffer8, m_serial.constData(), size_t(std::min<qsizetype>(m_serial.size(), 7)));
    return m_queryResult;
}

unsigned FakeCapiDriver::GetProfile(unsigned, uint8_t* buffer64)
{
    std::unique_lock lock(m_mutex);
    StallIfSilent(lock, SilentQueries);
    ++m_queries;
    std::memcpy(buffer64, m_profile.constData(), 64);
    return m_queryResult;
}

void FakeCapiDriver::Wake(unsigned)
{
    {
        std::lock_guard lock(m_mutex);
        ++m_wakeCalls;
        if (m_fd >= 0) {
            // What libcapi20 does; on a pipe, as on /dev/capi20, it fails.
            shutdown(m_fd, SHUT_RDWR);
            return;
        }
        if (m_wakeMode == WakeMode::Wakes)
            m_woken = true; // like a shut-down socket: stays woken
    }
    m_cv.notify_all();
}

int FakeCapiDriver::WaitDescriptor(unsigned)
{
    std::lock_guard lock(m_mutex);
    return m_fd;
}
