#include "FakeLineDriver.h"

#include "CapiCoding.h"
#include "CapiDefs.h"

#include <chrono>
#include <cstring>

using namespace capi;

QByteArray CapiMessage(uint16_t code, unsigned applId, uint8_t plci, const QByteArray& params)
{
    QByteArray m(12, '\0');
    m += params;
    Header h;
    h.length = uint16_t(m.size());
    h.applId = uint16_t(applId);
    h.command = CommandOf(code);
    h.subcommand = SubcommandOf(code);
    h.address = Address(1, plci, 0);
    PutHeader(reinterpret_cast<uint8_t*>(m.data()), h);
    return m;
}

namespace {

QByteArray U16(uint16_t v) { return QByteArray(1, char(v & 0xff)) + QByteArray(1, char(v >> 8)); }
QByteArray Struct(const QByteArray& contents) { return QByteArray(1, char(contents.size())) + contents; }

} // namespace

void FakeLineDriver::QueueLocked(unsigned applId, const QByteArray& message)
{
    m_appls[applId].queue.push_back(message);
    m_cv.notify_all();
}

void FakeLineDriver::QueueTo(unsigned applId, const QByteArray& message)
{
    std::lock_guard lock(m_mutex);
    QueueLocked(applId, message);
}

void FakeLineDriver::QueueIncomingCall(uint8_t plci, uint16_t cip, const QByteArray& called,
                                       const QByteArray& calling, const QByteArray& text)
{
    std::lock_guard lock(m_mutex);
    const QByteArray params = U16(cip) + Struct("\x81" + called) + Struct(QByteArray("\x01\x80") + calling) +
                              Struct({}) + Struct(text.isNull() ? QByteArray() : "\x81" + text) +
                              QByteArray(4, '\0');
    QueueLocked(m_listening, CapiMessage(ConnectInd, m_listening, plci, params));
}

unsigned FakeLineDriver::ListeningAppl() const
{
    std::lock_guard lock(m_mutex);
    return m_listening;
}

unsigned FakeLineDriver::ConnectingAppl() const
{
    std::lock_guard lock(m_mutex);
    return m_connecting;
}

std::vector<FakeLineDriver::Put> FakeLineDriver::Puts() const
{
    std::lock_guard lock(m_mutex);
    return m_puts;
}

std::vector<FakeLineDriver::Put> FakeLineDriver::PutsWith(uint16_t code) const
{
    std::vector<Put> found;
    for (const Put& put : Puts())
        if (put.Code() == code)
            found.push_back(put);
    return found;
}

std::vector<unsigned> FakeLineDriver::Released() const
{
    std::lock_guard lock(m_mutex);
    return m_released;
}

bool FakeLineDriver::WaitForPuts(uint16_t code, size_t count, int milliseconds) const
{
    std::unique_lock lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] {
        size_t n = 0;
        for (const Put& put : m_puts)
            n += put.Code() == code;
        return n >= count;
    });
}

int FakeLineDriver::Pending(unsigned applId) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_appls.find(applId);
    return it == m_appls.end() ? 0 : int(it->second.queue.size());
}

bool FakeLineDriver::Idle() const
{
    std::lock_guard lock(m_mutex);
    for (const auto& [id, appl] : m_appls)
        if (!appl.released && (appl.waiting == 0 || !appl.queue.empty()))
            return false;
    return true;
}

void FakeLineDriver::StallIfSilent(std::unique_lock<std::mutex>& lock, unsigned call)
{
    if (!(m_silent & call))
        return;
    ++m_stalled;
    m_cv.wait(lock, [this] { return m_unstuck; });
    --m_stalled;
}

void FakeLineDriver::Unstick()
{
    {
        std::lock_guard lock(m_mutex);
        m_unstuck = true;
    }
    m_cv.notify_all();
}

int FakeLineDriver::SilentCallsWaiting() const
{
    std::lock_guard lock(m_mutex);
    return m_stalled;
}

unsigned FakeLineDriver::Register(unsigned, unsigned, unsigned, unsigned, unsigned* applId)
{
    std::unique_lock lock(m_mutex);
    StallIfSilent(lock, SilentRegister);
    if (m_driverResult != 0)
        return m_driverResult;
    if (m_registerResult != 0)
        return m_registerResult;
    *applId = m_nextId++;
    m_appls[*applId];
    return 0;
}

unsigned FakeLineDriver::Release(unsigned applId)
{
    std::lock_guard lock(m_mutex);
    m_released.push_back(applId);
    auto it = m_appls.find(applId);
    if (it == m_appls.end() || it->second.released)
        return 0x1101;
    it->second.released = true;
    m_cv.notify_all();
    return 0;
}

unsigned FakeLineDriver::PutMessage(unsigned applId, const uint8_t* message)
{
    std::lock_guard lock(m_mutex);
    const uint16_t code = uint16_t(message[4] | (message[5] << 8));
    if (code == ConnectReq && m_connectResult != 0)
        return m_connectResult;
    const qsizetype length = qsizetype(message[0] | (message[1] << 8));
    m_puts.push_back({applId, QByteArray(reinterpret_cast<const char*>(message), length)});
    if (code == ListenReq) {
        m_listening = applId;
        if (!(m_silent & SilentListen))
            QueueLocked(applId, CapiMessage(ListenConf, applId, 0, U16(0)));
    } else if (code == ConnectReq) {
        m_connecting = applId;
        QueueLocked(applId, CapiMessage(ConnectConf, applId, m_nextPlci++, U16(0)));
    }
    m_cv.notify_all();
    return 0;
}

unsigned FakeLineDriver::GetMessage(unsigned applId, const uint8_t** message, size_t* readable)
{
    std::lock_guard lock(m_mutex);
    Appl& appl = m_appls[applId];
    *message = nullptr;
    *readable = 0;
    if (m_driverResult != 0)
        return m_driverResult;
    if (appl.woken || appl.queue.empty())
        return 0x1104;
    appl.current = appl.queue.front();
    appl.queue.pop_front();
    *message = reinterpret_cast<const uint8_t*>(appl.current.constData());
    *readable = size_t(appl.current.size());
    return 0;
}

unsigned FakeLineDriver::WaitForSignalFor(unsigned applId, int milliseconds)
{
    std::unique_lock lock(m_mutex);
    auto ready = [&] {
        const Appl& appl = m_appls[applId];
        return appl.woken || appl.released || !appl.queue.empty();
    };
    ++m_appls[applId].waiting;
    const bool got = milliseconds < 0 ? (m_cv.wait(lock, ready), true)
                                      : m_cv.wait_for(lock, std::chrono::milliseconds(milliseconds), ready);
    Appl& appl = m_appls[applId];
    --appl.waiting;
    if (m_driverResult != 0)
        return m_driverResult;
    return got && !appl.woken && !appl.released ? 0 : 0x1104;
}

void FakeLineDriver::FailDriver(unsigned rc)
{
    {
        std::lock_guard lock(m_mutex);
        m_driverResult = rc;
    }
    m_cv.notify_all();
}

unsigned FakeLineDriver::GetManufacturer(unsigned, char* buffer64)
{
    std::unique_lock lock(m_mutex);
    StallIfSilent(lock, SilentQueries);
    std::strcpy(buffer64, "Fake lijn");
    return 0;
}

unsigned FakeLineDriver::GetVersion(unsigned, uint32_t version[4])
{
    std::unique_lock lock(m_mutex);
    StallIfSilent(lock, SilentQueries);
    version[0] = 2;
    version[1] = 0;
    version[2] = 1;
    version[3] = 0;
    return 0;
}

unsigned FakeLineDriver::GetSerialNumber(unsigned, char* buffer8)
{
    std::unique_lock lock(m_mutex);
    StallIfSilent(lock, SilentQueries);
    std::strcpy(buffer8, "0000001");
    return 0;
}

unsigned FakeLineDriver::GetProfile(unsigned, uint8_t* buffer64)
{
    std::unique_lock lock(m_mutex);
    StallIfSilent(lock, SilentQueries);
    std::memset(buffer64, 0, 64);
    buffer64[0] = 1;
    buffer64[2] = 2;
    return 0;
}

void FakeLineDriver::Wake(unsigned applId)
{
    std::lock_guard lock(m_mutex);
    m_appls[applId].woken = true;
    m_cv.notify_all();
}
