#include "RemoteCapiResponder.h"

#include "CapiDefs.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace capi;
using namespace exchange;

namespace {

uint16_t U16(const QByteArray& b, int offset)
{
    return GetU16(reinterpret_cast<const uint8_t*>(b.constData()) + offset);
}
uint32_t U32(const QByteArray& b, int offset)
{
    return GetU32(reinterpret_cast<const uint8_t*>(b.constData()) + offset);
}
std::string_view View(const QByteArray& b)
{
    return std::string_view(b.constData(), size_t(b.size()));
}

} // namespace

RemoteCapiResponder::RemoteCapiResponder() = default;

RemoteCapiResponder::~RemoteCapiResponder()
{
    Stop();
}

bool RemoteCapiResponder::Start(int lifetimeMs)
{
    auto fail = [this](const char* what) {
        std::lock_guard lock(m_mutex);
        m_error = std::string(what) + ": " + std::strerror(errno);
        return false;
    };
    if (pipe2(m_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return fail("pipe2");
    m_listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0)
        return fail("socket");
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return fail("bind");
    if (listen(m_listenFd, 8) != 0)
        return fail("listen");
    socklen_t length = sizeof address;
    if (getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return fail("getsockname");
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this, lifetimeMs] { Serve(lifetimeMs); });
    return true;
}

void RemoteCapiResponder::Stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    Wakeup();
    if (m_thread.joinable())
        m_thread.join();
    for (int* fd : {&m_listenFd, &m_wakePipe[0], &m_wakePipe[1]}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

std::string RemoteCapiResponder::Error() const
{
    std::lock_guard lock(m_mutex);
    return m_error;
}

void RemoteCapiResponder::Wakeup()
{
    if (m_wakePipe[1] >= 0) {
        const char c = 0;
        [[maybe_unused]] const ssize_t n = write(m_wakePipe[1], &c, 1);
    }
}

void RemoteCapiResponder::SetIdentity(const QByteArray& manufacturer, const QByteArray& serial,
                                      const uint32_t version[4], const QByteArray& profile64)
{
    std::lock_guard lock(m_mutex);
    m_manufacturer = manufacturer.left(63);
    m_serial = serial.left(7);
    std::copy(version, version + 4, m_version);
    m_profile = profile64.leftJustified(64, '\0', true);
}

void RemoteCapiResponder::SetListenInfo(uint16_t info)
{
    std::lock_guard lock(m_mutex);
    m_listenInfo = info;
}

bool RemoteCapiResponder::SendToApplication(const QByteArray& message)
{
    std::lock_guard lock(m_mutex);
    return m_applicationFd >= 0 && Send(m_applicationFd, FrameBuilder().Bytes(View(message)).Finish());
}

void RemoteCapiResponder::CloseApplication()
{
    {
        std::lock_guard lock(m_mutex);
        m_closeApplication = true;
    }
    Wakeup();
    // Done once the serving thread has let go of the fd.
    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::seconds(5), [this] { return !m_closeApplication; });
}

bool RemoteCapiResponder::WaitForApplicationEof(int milliseconds)
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return m_applicationEof; });
}

int RemoteCapiResponder::Registrations() const
{
    std::lock_guard lock(m_mutex);
    return m_registrations;
}

RemoteCapiResponder::Registration RemoteCapiResponder::LastRegistration() const
{
    std::lock_guard lock(m_mutex);
    return m_lastRegistration;
}

QByteArray RemoteCapiResponder::TakeMessage(uint16_t code, int milliseconds)
{
    std::unique_lock lock(m_mutex);
    auto find = [this, code] {
        return std::find_if(m_messages.begin(), m_messages.end(),
                            [code](const QByteArray& m) { return U16(m, 4) == code; });
    };
    if (!m_changed.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] { return find() != m_messages.end(); }))
        return QByteArray();
    const auto it = find();
    QByteArray message = *it;
    m_messages.erase(it);
    return message;
}

std::vector<QByteArray> RemoteCapiResponder::Messages() const
{
    std::lock_guard lock(m_mutex);
    return m_messages;
}

std::vector<RemoteCapiResponder::ControlRequest> RemoteCapiResponder::ControlRequests() const
{
    std::lock_guard lock(m_mutex);
    return m_controls;
}

std::vector<std::string> RemoteCapiResponder::Violations() const
{
    std::lock_guard lock(m_mutex);
    return m_violations;
}

void RemoteCapiResponder::ClearRecords()
{
    std::lock_guard lock(m_mutex);
    m_messages.clear();
    m_controls.clear();
    m_violations.clear();
}

void RemoteCapiResponder::Violation(std::string text)
{
    {
        std::lock_guard lock(m_mutex);
        m_violations.push_back(std::move(text));
    }
    m_changed.notify_all();
}

// ---------------------------------------------------------------- serving thread

void RemoteCapiResponder::Serve(int lifetimeMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(lifetimeMs);
    while (std::chrono::steady_clock::now() < deadline) {
        bool closeApplication;
        {
            std::lock_guard lock(m_mutex);
            if (m_stop)
                break;
            closeApplication = m_closeApplication;
        }
        if (closeApplication) {
            for (Connection& c : m_connections)
                if (c.application && c.fd >= 0)
                    CloseConnection(c);
            {
                std::lock_guard lock(m_mutex);
                m_closeApplication = false;
            }
            m_changed.notify_all();
        }

        std::vector<pollfd> fds = {{m_listenFd, POLLIN, 0}, {m_wakePipe[0], POLLIN, 0}};
        for (const Connection& c : m_connections)
            fds.push_back({c.fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), 100) < 0) {
            if (errno == EINTR)
                continue;
            Violation(std::string("poll: ") + std::strerror(errno));
            break;
        }
        if (fds[1].revents) {
            char drain[16];
            while (read(m_wakePipe[0], drain, sizeof drain) > 0) {
            }
        }
        for (size_t i = 2; i < fds.size(); ++i)
            if (fds[i].revents)
                HandleReadable(m_connections[i - 2]);
        std::erase_if(m_connections, [](const Connection& c) { return c.fd < 0; });
        if (fds[0].revents & POLLIN) {
            const int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0)
                m_connections.push_back(Connection{fd, {}, false});
        }
    }
    for (Connection& c : m_connections)
        if (c.fd >= 0)
            CloseConnection(c);
    m_connections.clear();
}

void RemoteCapiResponder::HandleReadable(Connection& c)
{
    char buffer[4096];
    const ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR)
        return;
    if (n <= 0) {
        // The client let go: release, or its process ended.
        {
            std::lock_guard lock(m_mutex);
            if (c.fd == m_applicationFd)
                m_applicationEof = true;
        }
        CloseConnection(c);
        m_changed.notify_all();
        return;
    }
    c.frames.Append(reinterpret_cast<const uint8_t*>(buffer), size_t(n));
    std::string_view payload;
    for (;;) {
        const FrameAssembler::Result result = c.frames.Next(payload);
        if (result == FrameAssembler::Result::NeedMore)
            return;
        if (result == FrameAssembler::Result::Bad) {
            Violation("bad frame length");
            CloseConnection(c);
            return;
        }
        HandleFrame(c, QByteArray(payload.data(), qsizetype(payload.size())));
        if (c.fd < 0)
            return;
    }
}

void RemoteCapiResponder::HandleFrame(Connection& c, const QByteArray& payload)
{
    if (payload.size() >= qsizetype(kControlReplyHeaderSize) && IsControl(View(payload)))
        HandleControl(c, payload);
    else
        HandleMessage(c, payload);
}

void RemoteCapiResponder::HandleControl(Connection& c, const QByteArray& payload)
{
    const uint16_t command = GetU16BE(reinterpret_cast<const uint8_t*>(payload.constData()) + kControlCommandOffset);
    // Reply header: two ignored words, the confirmation, an ignored word; no controller.
    FrameBuilder reply;
    reply.U16(0).U16(0).U16BE(ControlConf(command)).U16(0);

    std::lock_guard lock(m_mutex);
    if (command == CtrlRegisterReq) {
        // libcapi20 cuts the frame after the low octet of the version word.
        if (payload.size() < 21) {
            m_violations.push_back("REGISTER of " + std::to_string(payload.size() + 2) + " octets");
            return;
        }
        c.application = true;
        m_applicationFd = c.fd;
        m_applicationEof = false;
        ++m_registrations;
        m_lastRegistration = {U16(payload, 12), U16(payload, 14), U16(payload, 16), U16(payload, 18),
                              int(payload.size() + 2)};
        Send(c.fd, reply.U16(InfoOk).Finish());
        m_changed.notify_all();
        return;
    }

    const uint32_t controller = payload.size() >= 12 ? U32(payload, kControlControllerOffset) : 0;
    m_controls.push_back({uint8_t(command >> 8), controller});
    switch (command) {
    case CtrlManufacturerReq:
        // A length octet that libcapi20 skips, then the NUL-padded 64-octet text.
        reply.U8(uint8_t(m_manufacturer.size())).Bytes(View(m_manufacturer.leftJustified(64, '\0', true)));
        break;
    case CtrlVersionReq:
        reply.U8(16).U32(m_version[0]).U32(m_version[1]).U32(m_version[2]).U32(m_version[3]);
        break;
    case CtrlSerialReq:
        reply.U8(uint8_t(m_serial.size())).Bytes(View(m_serial.leftJustified(8, '\0', true)));
        break;
    case CtrlProfileReq:
        reply.U16(InfoOk);
        if (controller == 0)
            reply.U16(1); // number of controllers
        else
            reply.Bytes(View(m_profile));
        break;
    default:
        // No reply would leave the client blocked for ever; closing fails it.
        m_violations.push_back("unknown control command " + std::to_string(command));
        if (c.fd == m_applicationFd)
            m_applicationFd = -1;
        close(c.fd);
        c.fd = -1;
        m_changed.notify_all();
        return;
    }
    Send(c.fd, reply.Finish());
    m_changed.notify_all();
}

void RemoteCapiResponder::HandleMessage(Connection& c, const QByteArray& message)
{
    if (message.size() < int(kHeaderSize)) {
        Violation("message of " + std::to_string(message.size()) + " octets");
        return;
    }
    const uint16_t code = U16(message, 4);
    // The frame carries the message as it is; DATA_B3_REQ appends its data.
    int expected = U16(message, 0);
    if (code == DataB3Req && message.size() >= 18)
        expected += U16(message, 16);
    if (message.size() != expected)
        Violation(MessageName(code) + ": frame holds " + std::to_string(message.size()) + " octets, message says " +
                  std::to_string(expected));
    if (!c.application)
        Violation(MessageName(code) + " on a connection that never registered");

    std::lock_guard lock(m_mutex);
    m_messages.push_back(message);
    if (code == ListenReq) {
        // LISTEN_CONF: the request's id, number and controller, then Info.
        FrameBuilder conf;
        conf.U16(14).Bytes(View(message.mid(2, 2))).U8(CmdListen).U8(SubConf).Bytes(View(message.mid(6, 6)));
        Send(c.fd, conf.U16(m_listenInfo).Finish());
    }
    m_changed.notify_all();
}

bool RemoteCapiResponder::Send(int fd, std::string_view frame)
{
    // One send per frame: libcapi20 fails on a length prefix split in two.
    return send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) == ssize_t(frame.size());
}

void RemoteCapiResponder::CloseConnection(Connection& c)
{
    std::lock_guard lock(m_mutex);
    if (c.fd == m_applicationFd)
        m_applicationFd = -1;
    close(c.fd);
    c.fd = -1;
}
