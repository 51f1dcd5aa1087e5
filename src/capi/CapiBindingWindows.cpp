// CAPI2032.dll (Windows), loaded at run time and bound by the standard's
// entry-point names. Never unloaded.
#include "CapiBindingPlatform.h"

#include <windows.h>
// windows.h renames GetMessage to GetMessageA; the driver's operation keeps its name.
#undef GetMessage

#include <cstring>

namespace {

using RegisterFn = DWORD(WINAPI*)(DWORD, DWORD, DWORD, DWORD, DWORD*);
using ReleaseFn = DWORD(WINAPI*)(DWORD);
using PutMessageFn = DWORD(WINAPI*)(DWORD, LPVOID);
using GetMessageFn = DWORD(WINAPI*)(DWORD, LPVOID*);
using WaitFn = DWORD(WINAPI*)(DWORD);
using GetManufacturerFn = DWORD(WINAPI*)(LPSTR);
using GetVersionFn = DWORD(WINAPI*)(DWORD*, DWORD*, DWORD*, DWORD*);
using GetSerialNumberFn = DWORD(WINAPI*)(LPSTR);
using GetProfileFn = DWORD(WINAPI*)(LPVOID, DWORD);
using InstalledFn = DWORD(WINAPI*)();

class Capi2032Driver final : public ICapiDriver
{
public:
    explicit Capi2032Driver(HMODULE module) : m_module(module) {}

    // Binds every entry point the DLL has; a missing one fails only the
    // operations that need it.
    void Bind()
    {
        Resolve("CAPI_REGISTER", m_register);
        Resolve("CAPI_RELEASE", m_release);
        Resolve("CAPI_PUT_MESSAGE", m_putMessage);
        Resolve("CAPI_GET_MESSAGE", m_getMessage);
        Resolve("CAPI_WAIT_FOR_SIGNAL", m_wait);
        Resolve("CAPI_GET_MANUFACTURER", m_getManufacturer);
        Resolve("CAPI_GET_VERSION", m_getVersion);
        Resolve("CAPI_GET_SERIAL_NUMBER", m_getSerialNumber);
        Resolve("CAPI_GET_PROFILE", m_getProfile);
        Resolve("CAPI_INSTALLED", m_installed);
    }

    unsigned Register(unsigned messageBufferSize, unsigned maxLogicalConnection, unsigned maxBDataBlocks,
                      unsigned maxBDataLen, unsigned* applId) override
    {
        if (!m_register)
            return kCapiNotBound;
        DWORD id = 0;
        const DWORD rc = m_register(messageBufferSize, maxLogicalConnection, maxBDataBlocks, maxBDataLen, &id);
        if (rc == 0)
            *applId = id;
        return rc;
    }
    unsigned Release(unsigned applId) override { return m_release ? m_release(applId) : kCapiNotBound; }
    unsigned PutMessage(unsigned applId, const uint8_t* message) override
    {
        return m_putMessage ? m_putMessage(applId, const_cast<uint8_t*>(message)) : kCapiNotBoundMessage;
    }
    unsigned GetMessage(unsigned applId, const uint8_t** message, size_t* readable) override
    {
        *message = nullptr;
        *readable = 0; // extent unknown: the driver's own pointers are trusted
        if (!m_getMessage)
            return kCapiNotBoundMessage;
        LPVOID buffer = nullptr;
        const DWORD rc = m_getMessage(applId, &buffer);
        *message = static_cast<const uint8_t*>(buffer);
        return rc;
    }
    unsigned WaitForSignal(unsigned applId) override { return m_wait ? m_wait(applId) : kCapiNotBoundMessage; }
    // CAPI_WAIT_FOR_SIGNAL has no time-out, and nothing but a message or the
    // release ends it. The receive thread polls CAPI_GET_MESSAGE instead,
    // which reports an empty queue itself.
    unsigned WaitForSignalFor(unsigned, int) override { return m_getMessage ? 0 : kCapiNotBoundMessage; }
    bool FetchNeverBlocks() const override { return true; }
    unsigned GetManufacturer(unsigned, char* buffer64) override
    {
        if (!m_getManufacturer) {
            buffer64[0] = '\0';
            return kCapiNotBound;
        }
        return m_getManufacturer(buffer64);
    }
    unsigned GetVersion(unsigned, uint32_t version[4]) override
    {
        if (!m_getVersion)
            return kCapiNotBound;
        DWORD v[4] = {};
        const DWORD rc = m_getVersion(&v[0], &v[1], &v[2], &v[3]);
        for (int i = 0; i < 4; ++i)
            version[i] = v[i];
        return rc;
    }
    unsigned GetSerialNumber(unsigned, char* buffer8) override
    {
        return m_getSerialNumber ? m_getSerialNumber(buffer8) : kCapiNotBound;
    }
    unsigned GetProfile(unsigned controller, uint8_t* buffer64) override
    {
        return m_getProfile ? m_getProfile(buffer64, controller) : kCapiNotBound;
    }
    unsigned Installed() override { return m_installed ? m_installed() : kCapiNotBound; }
    // Nothing to wake: the receive thread never blocks in the driver here.
    void Wake(unsigned) override {}

private:
    template <typename Fn>
    void Resolve(const char* name, Fn& fn)
    {
        fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(m_module, name)));
    }

    HMODULE m_module;
    RegisterFn m_register = nullptr;
    ReleaseFn m_release = nullptr;
    PutMessageFn m_putMessage = nullptr;
    GetMessageFn m_getMessage = nullptr;
    WaitFn m_wait = nullptr;
    GetManufacturerFn m_getManufacturer = nullptr;
    GetVersionFn m_getVersion = nullptr;
    GetSerialNumberFn m_getSerialNumber = nullptr;
    GetProfileFn m_getProfile = nullptr;
    InstalledFn m_installed = nullptr;
};

} // namespace

namespace capiplatform {

std::string DefaultLibraryName() { return "CAPI2032.dll"; }

std::unique_ptr<ICapiDriver> OpenLibrary(const std::string& name, std::string* error)
{
    HMODULE module = LoadLibraryA(name.c_str());
    if (!module) {
        if (error)
            *error = "LoadLibrary failed, error " + std::to_string(GetLastError());
        return nullptr;
    }
    auto driver = std::make_unique<Capi2032Driver>(module);
    driver->Bind();
    return driver;
}

// No descriptors here: the receive thread waits in slices on its stop signal.
WakeSignal::WakeSignal() = default;
WakeSignal::~WakeSignal() = default;
void WakeSignal::Signal() {}

Readable WaitReadable(int, int, int) { return Readable::Failed; }

} // namespace capiplatform
