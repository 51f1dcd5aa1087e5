// libcapi20 (Linux), loaded at run time with dlopen and never unloaded.
#include "CapiBindingPlatform.h"

#include <algorithm>
#include <cstring>
#include <csignal>
#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/time.h>

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

class LibCapi20Driver final : public ICapiDriver
{
public:
    explicit LibCapi20Driver(void* handle) : m_handle(handle) {}

    bool Bind(std::string* error)
    {
        // Resolved in the order of the standard's entry points.
        const bool ok = Resolve("capi20_register", m_register, error) &&
                        Resolve("capi20_release", m_release, error) &&
                        Resolve("capi20_put_message", m_putMessage, error) &&
                        Resolve("capi20_get_message", m_getMessage, error) &&
                        Resolve("capi20_waitformessage", m_wait, error) &&
                        Resolve("capi20_get_manufacturer", m_getManufacturer, error) &&
                        Resolve("capi20_get_version", m_getVersion, error) &&
                        Resolve("capi20_get_serial_number", m_getSerialNumber, error) &&
                        Resolve("capi20_get_profile", m_getProfile, error) &&
                        Resolve("capi20_isinstalled", m_installed, error);
        if (!ok)
            return false;
        // Extras: optional.
        m_fileno = reinterpret_cast<FilenoFn>(dlsym(m_handle, "capi20_fileno"));
        // Keeps libcapi20's own chatter off stderr unless ~/.capi20rc asks for it.
        if (auto setTrace = reinterpret_cast<SetTraceLevelFn>(dlsym(m_handle, "capi20ext_set_tracelevel")))
            setTrace(0);
        return true;
    }

    unsigned Register(unsigned, unsigned maxLogicalConnection, unsigned maxBDataBlocks,
                      unsigned maxBDataLen, unsigned* applId) override
    {
        m_maxBDataLen = maxBDataLen;
        return m_register(maxLogicalConnection, maxBDataBlocks, maxBDataLen, applId);
    }
    unsigned Release(unsigned applId) override { return m_release(applId); }
    unsigned PutMessage(unsigned applId, const uint8_t* message) override
    {
        // libcapi20 only reads the message; its prototype lacks the const.
        return m_putMessage(applId, const_cast<unsigned char*>(message));
    }
    unsigned GetMessage(unsigned applId, const uint8_t** message, size_t* readable) override
    {
        unsigned char* buffer = nullptr;
        const unsigned rc = m_getMessage(applId, &buffer);
        *message = buffer;
        // libcapi20 receives into buffers of max(2048, 128 + MaxBDataLen) octets.
        *readable = (rc == 0 && buffer) ? std::max<size_t>(2048, 128 + size_t(m_maxBDataLen)) : 0;
        return rc;
    }
    unsigned WaitForSignal(unsigned applId) override { return m_wait(applId, nullptr); }
    unsigned WaitForSignalFor(unsigned applId, int milliseconds) override
    {
        struct timeval timeout = {milliseconds / 1000, (milliseconds % 1000) * 1000};
        return m_wait(applId, &timeout);
    }
    unsigned GetManufacturer(unsigned controller, char* buffer64) override
    {
        return m_getManufacturer(controller, reinterpret_cast<unsigned char*>(buffer64)) ? 0 : kOsResourceError;
    }
    unsigned GetVersion(unsigned controller, uint32_t version[4]) override
    {
        unsigned char buffer[16] = {};
        if (!m_getVersion(controller, buffer))
            return kOsResourceError;
        std::memcpy(version, buffer, sizeof buffer); // four native 32-bit words
        return 0;
    }
    unsigned GetSerialNumber(unsigned controller, char* buffer8) override
    {
        return m_getSerialNumber(controller, reinterpret_cast<unsigned char*>(buffer8)) ? 0 : kOsResourceError;
    }
    unsigned GetProfile(unsigned controller, uint8_t* buffer64) override
    {
        return m_getProfile(controller, buffer64);
    }
    unsigned Installed() override { return m_installed(); }

    void Wake(unsigned applId) override
    {
        // capi20_release does not wake a reader; shutting the socket down does.
        if (!m_fileno)
            return;
        const int fd = m_fileno(applId);
        if (fd >= 0)
            shutdown(fd, SHUT_RDWR);
    }

private:
    template <typename Fn>
    bool Resolve(const char* name, Fn& fn, std::string* error)
    {
        fn = reinterpret_cast<Fn>(dlsym(m_handle, name));
        if (!fn && error)
            *error = std::string("missing entry point ") + name;
        return fn != nullptr;
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
    unsigned m_maxBDataLen = 0; // written by Register on the UI thread before any receive thread
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
    if (!driver->Bind(error))
        return nullptr; // the handle stays open: the library is never unloaded
    return driver;
}

} // namespace capiplatform
