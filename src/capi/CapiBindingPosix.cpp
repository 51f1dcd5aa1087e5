// libcapi20 (Linux), loaded at run time with dlopen and never unloaded.
#include "CapiBindingPlatform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <csignal>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/eventfd.h>
#endif

namespace {

using RegisterFn = unsigned (*)(unsigned, unsigned, unsigned, unsigned*);
using ReleaseFn = unsigned (*)(unsigned);
using PutMessageFn = unsigned (*)(unsigned, unsigned char*);
using GetMessageFn = unsigned (*)(unsigned, unsigned char**);
using WaitFn = unsigned (*)(unsigned, struct timeval*);
using GetTextFn = unsigned char* (*)(unsigned, unsigned char*);
using GetProfileFn = unsigned (*)(unsigned, unsigned char*);
using InstalledFn = unsigned (*)();
using FilenoFn = int (*)(unsigned);
using SetTraceLevelFn = void (*)(int);

constexpr unsigned kOsResourceError = 0x1108;

// Remote CAPI to the exchange or a router: each request would otherwise wait
// for the acknowledgement of the previous one (Nagle), some 40 ms.
void SwitchNagleOff(int fd)
{
    int type = 0;
    socklen_t length = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM)
        return; // /dev/capi20, or not a socket at all
    sockaddr_storage address{};
    length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        (address.ss_family != AF_INET && address.ss_family != AF_INET6))
        return;
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

class LibCapi20Driver final : public ICapiDriver
{
public:
    explicit LibCapi20Driver(void* handle) : m_handle(handle) {}

    // Binds every entry point the library has; a missing one fails only the
    // operations that need it.
    void Bind()
    {
        Resolve("capi20_register", m_register);
        Resolve("capi20_release", m_release);
        Resolve("capi20_put_message", m_putMessage);
        Resolve("capi20_get_message", m_getMessage);
        Resolve("capi20_waitformessage", m_wait);
        Resolve("capi20_get_manufacturer", m_getManufacturer);
        Resolve("capi20_get_version", m_getVersion);
        Resolve("capi20_get_serial_number", m_getSerialNumber);
        Resolve("capi20_get_profile", m_getProfile);
        Resolve("capi20_isinstalled", m_installed);
        // Extras: optional.
        Resolve("capi20_fileno", m_fileno);
        // Keeps libcapi20's own chatter off stderr unless ~/.capi20rc asks for it.
        SetTraceLevelFn setTrace = nullptr;
        Resolve("capi20ext_set_tracelevel", setTrace);
        if (setTrace)
            setTrace(0);
    }

    unsigned Register(unsigned, unsigned maxLogicalConnection, unsigned maxBDataBlocks,
                      unsigned maxBDataLen, unsigned* applId) override
    {
        if (!m_register)
            return kCapiNotBound;
        m_maxBDataLen = maxBDataLen;
        const unsigned rc = m_register(maxLogicalConnection, maxBDataBlocks, maxBDataLen, applId);
        if (rc == 0) {
            const int fd = WaitDescriptor(*applId);
            if (fd >= 0)
                SwitchNagleOff(fd);
        }
        return rc;
    }
    unsigned Release(unsigned applId) override { return m_release ? m_release(applId) : kCapiNotBound; }
    unsigned PutMessage(unsigned applId, const uint8_t* message) override
    {
        if (!m_putMessage)
            return kCapiNotBoundMessage;
        // libcapi20 only reads the message; its prototype lacks the const.
        return m_putMessage(applId, const_cast<unsigned char*>(message));
    }
    unsigned GetMessage(unsigned applId, const uint8_t** message, size_t* readable) override
    {
        *message = nullptr;
        *readable = 0;
        if (!m_getMessage)
            return kCapiNotBoundMessage;
        unsigned char* buffer = nullptr;
        const unsigned rc = m_getMessage(applId, &buffer);
        *message = buffer;
        // libcapi20 receives into buffers of max(2048, 128 + MaxBDataLen) octets.
        *readable = (rc == 0 && buffer) ? std::max<size_t>(2048, 128 + size_t(m_maxBDataLen.load())) : 0;
        return rc;
    }
    unsigned WaitForSignal(unsigned applId) override
    {
        return m_wait ? m_wait(applId, nullptr) : kCapiNotBoundMessage;
    }
    unsigned WaitForSignalFor(unsigned applId, int milliseconds) override
    {
        if (!m_wait)
            return kCapiNotBoundMessage;
        struct timeval timeout = {milliseconds / 1000, (milliseconds % 1000) * 1000};
        return m_wait(applId, &timeout);
    }
    unsigned GetManufacturer(unsigned controller, char* buffer64) override
    {
        if (!m_getManufacturer) {
            buffer64[0] = '\0';
            return kCapiNotBound;
        }
        return m_getManufacturer(controller, reinterpret_cast<unsigned char*>(buffer64)) ? 0 : kOsResourceError;
    }
    unsigned GetVersion(unsigned controller, uint32_t version[4]) override
    {
        if (!m_getVersion)
            return kCapiNotBound;
        unsigned char buffer[16] = {};
        if (!m_getVersion(controller, buffer))
            return kOsResourceError;
        std::memcpy(version, buffer, sizeof buffer); // four native 32-bit words
        return 0;
    }
    unsigned GetSerialNumber(unsigned controller, char* buffer8) override
    {
        if (!m_getSerialNumber)
            return kCapiNotBound;
        return m_getSerialNumber(controller, reinterpret_cast<unsigned char*>(buffer8)) ? 0 : kOsResourceError;
    }
    unsigned GetProfile(unsigned controller, uint8_t* buffer64) override
    {
        return m_getProfile ? m_getProfile(controller, buffer64) : kCapiNotBound;
    }
    unsigned Installed() override { return m_installed ? m_installed() : kCapiNotBound; }

    void Wake(unsigned applId) override
    {
        // Lets the server see the end at once, and gets a thread out of a
        // blocking read or send on the socket; fails harmlessly (ENOTSOCK) on
        // /dev/capi20, where the wake-up descriptor does the work.
        const int fd = WaitDescriptor(applId);
        if (fd >= 0)
            shutdown(fd, SHUT_RDWR);
    }

    int WaitDescriptor(unsigned applId) override { return m_fileno ? m_fileno(applId) : -1; }

private:
    template <typename Fn>
    void Resolve(const char* name, Fn& fn)
    {
        fn = reinterpret_cast<Fn>(dlsym(m_handle, name));
    }

    void* m_handle;
    RegisterFn m_register = nullptr;
    ReleaseFn m_release = nullptr;
    PutMessageFn m_putMessage = nullptr;
    GetMessageFn m_getMessage = nullptr;
    WaitFn m_wait = nullptr;
    GetTextFn m_getManufacturer = nullptr;
    GetTextFn m_getVersion = nullptr;
    GetTextFn m_getSerialNumber = nullptr;
    GetProfileFn m_getProfile = nullptr;
    InstalledFn m_installed = nullptr;
    FilenoFn m_fileno = nullptr;
    // Written by each registration, on whichever thread makes it; every
    // registration asks for the same.
    std::atomic<unsigned> m_maxBDataLen{0};
};

} // namespace

namespace capiplatform {

std::string DefaultLibraryName() { return "libcapi20.so.3"; }

std::unique_ptr<ICapiDriver> OpenLibrary(const std::string& name, std::string* error)
{
    // libcapi20 writes to a closed socket without MSG_NOSIGNAL; the second
    // put after the server went away would otherwise end the process.
    std::signal(SIGPIPE, SIG_IGN);

    void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        if (error)
            *error = dlerror();
        return nullptr;
    }
    auto driver = std::make_unique<LibCapi20Driver>(handle);
    driver->Bind();
    return driver;
}

WakeSignal::WakeSignal()
{
#ifdef __linux__
    m_read = m_write = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
#else
    int fds[2];
    if (pipe(fds) == 0) {
        m_read = fds[0];
        m_write = fds[1];
        for (int fd : fds) {
            fcntl(fd, F_SETFD, FD_CLOEXEC);
            fcntl(fd, F_SETFL, O_NONBLOCK);
        }
    }
#endif
}

WakeSignal::~WakeSignal()
{
    if (m_write >= 0 && m_write != m_read)
        close(m_write);
    if (m_read >= 0)
        close(m_read);
}

void WakeSignal::Signal()
{
    if (m_write < 0)
        return;
#ifdef __linux__
    const uint64_t one = 1;
#else
    const char one = 1;
#endif
    // Never read back: the descriptor stays readable for good. A full
    // counter or pipe (EAGAIN) is readable already.
    [[maybe_unused]] const ssize_t n = write(m_write, &one, sizeof one);
}

Readable WaitReadable(int driverFd, int wakeFd, int milliseconds)
{
    pollfd fds[2] = {{wakeFd, POLLIN, 0}, {driverFd, POLLIN, 0}};
    const int n = poll(fds, 2, milliseconds);
    if (n < 0)
        return errno == EINTR ? Readable::TimedOut : Readable::Failed;
    if (n == 0)
        return Readable::TimedOut;
    if (fds[0].revents != 0)
        return Readable::Woken;
    if (fds[1].revents & POLLNVAL)
        return Readable::Failed;
    return Readable::Driver; // data, end of stream or an error: the fetch tells
}

} // namespace capiplatform
