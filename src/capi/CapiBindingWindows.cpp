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

    bool Bind(std::string* error)
    {
        return Resolve("CAPI_REGISTER", m_register, error) && Resolve("CAPI_RELEASE", m_release, error) &&
               Resolve("CAPI_PUT_MESSAGE", m_putMessage, error) && Resolve("CAPI_GET_MESSAGE", m_getMessage, error) &&
               Resolve("CAPI_WAIT_FOR_SIGNAL", m_wait, error) &&
               Resolve("CAPI_GET_MANUFACTURER", m_getManufacturer, error) &&
               Resolve("CAPI_GET_VERSION", m_getVersion, error) &&
               Resolve("CAPI_GET_SERIAL_NUMBER", m_getSerialNumber, error) &&
               Resolve("CAPI_GET_PROFILE", m_getProfile, error) && Resolve("CAPI_INSTALLED", m_installed, error);
    }

    unsigned Register(unsigned messageBufferSize, unsigned maxLogicalConnection, unsigned maxBDataBlocks,
                      unsigned maxBDataLen, unsigned* applId) override
    {
        DWORD id = 0;
        const DWORD rc = m_register(messageBufferSize, maxLogicalConnection, maxBDataBlocks, maxBDataLen, &id);
        if (rc == 0)
            *applId = id;
        return rc;
    }
    unsigned Release(unsigned applId) override { return m_release(applId); }
    unsigned PutMessage(unsigned applId, const uint8_t* message) override
    {
        return m_putMessage(applId, const_cast<uint8_t*>(message));
    }
    unsigned GetMessage(unsigned applId, const uint8_t** message, size_t* readable) override
    {
        LPVOID buffer = nullptr;
        const DWORD rc = m_getMessage(applId, &buffer);
        *message = static_cast<const uint8_t*>(buffer);
        *readable = 0; // extent unknown: the driver's own pointers are trusted
        return rc;
    }
    unsigned WaitForSignal(unsigned applId) override { return m_wait(applId); }
    // CAPI_GET_MESSAGE never blocks here: it reports an empty queue itself.
    unsigned WaitForSignalFor(unsigned, int) override { return 0; }
    unsigned GetManufacturer(unsigned, char* buffer64) override { return m_getManufacturer(buffer64); }
    unsigned GetVersion(unsigned, uint32_t version[4]) override
    {
        DWORD v[4] = {};
        const DWORD rc = m_getVersion(&v[0], &v[1], &v[2], &v[3]);
        for (int i = 0; i < 4; ++i)
            version[i] = v[i];
        return rc;
    }
    unsigned GetSerialNumber(unsigned, char* buffer8) override { return m_getSerialNumber(buffer8); }
    unsigned GetProfile(unsigned controller, uint8_t* buffer64) override { return m_getProfile(buffer64, controller); }
    unsigned Installed() override { return m_installed(); }
    // CAPI2032's CAPI_RELEASE wakes a thread in CAPI_WAIT_FOR_SIGNAL itself.
    void Wake(unsigned) override {}

private:
    template <typename Fn>
    bool Resolve(const char* name, Fn& fn, std::string* error)
    {
        fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(m_module, name)));
        if (!fn && error)
            *error = std::string("missing entry point ") + name;
        return fn != nullptr;
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
    if (!driver->Bind(error))
        return nullptr;
    return driver;
}

} // namespace capiplatform
