// The CAPI 2.0 driver as the link sees it: the ten operations of the
// standard's entry points, plus the extras that a receive thread needs to
// wait without hanging.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class ICapiDriver
{
public:
    virtual ~ICapiDriver() = default;

    // CAPI_REGISTER. The message buffer size has no counterpart in libcapi20.
    virtual unsigned Register(unsigned messageBufferSize, unsigned maxLogicalConnection,
                              unsigned maxBDataBlocks, unsigned maxBDataLen, unsigned* applId) = 0;
    // CAPI_RELEASE
    virtual unsigned Release(unsigned applId) = 0;
    // CAPI_PUT_MESSAGE. The buffer may be reused once this returns.
    virtual unsigned PutMessage(unsigned applId, const uint8_t* message) = 0;
    // CAPI_GET_MESSAGE. On success *message stays readable until the next
    // fetch for the application, and *readable tells how many octets from
    // *message on belong to the driver's buffer (message plus any B3 data).
    virtual unsigned GetMessage(unsigned applId, const uint8_t** message, size_t* readable) = 0;
    // CAPI_WAIT_FOR_SIGNAL: blocks until a message is queued; no time-out.
    virtual unsigned WaitForSignal(unsigned applId) = 0;
    // CAPI_GET_MANUFACTURER into a 64-octet buffer.
    virtual unsigned GetManufacturer(unsigned controller, char* buffer64) = 0;
    // CAPI_GET_VERSION: CAPI major, minor, manufacturer major, minor.
    virtual unsigned GetVersion(unsigned controller, uint32_t version[4]) = 0;
    // CAPI_GET_SERIAL_NUMBER into an 8-octet buffer.
    virtual unsigned GetSerialNumber(unsigned controller, char* buffer8) = 0;
    // CAPI_GET_PROFILE into a 64-octet buffer.
    virtual unsigned GetProfile(unsigned controller, uint8_t* buffer64) = 0;
    // CAPI_INSTALLED: 0 when installed.
    virtual unsigned Installed() = 0;

    // Not an entry point: CAPI_WAIT_FOR_SIGNAL with a time-out. 0 when a
    // message is queued, 0x1104 when none came in time. Where the driver's
    // fetch never blocks, it may return 0 at once.
    virtual unsigned WaitForSignalFor(unsigned applId, int milliseconds) = 0;

    // Not an entry point: makes a thread blocked in WaitForSignal or
    // GetMessage for this application return, so that it can be joined
    // before Release frees the buffers it reads.
    virtual void Wake(unsigned applId) = 0;

    // Not an entry point: a descriptor that turns readable when a message is
    // queued for the application or the driver's connection has ended (the
    // socket of remote CAPI, or /dev/capi20); -1 where there is none, and the
    // receive thread then waits in short slices.
    virtual int WaitDescriptor(unsigned) { return -1; }
    // Not an entry point: the fetch answers an empty queue with 0x1104 as a
    // matter of course, and WaitForSignalFor cannot wait (CAPI2032).
    virtual bool FetchNeverBlocks() const { return false; }
};

// The process-wide binding. Written once on the user-interface thread before
// any receive thread starts, then only read.
namespace CapiBinding {

// Loads the platform's CAPI library and binds it, once per process. Later
// calls return the first outcome. `error` gets the loader's reason on failure.
bool Load(std::string* error = nullptr);
bool IsBound();
// The bound driver, or one that fails every operation when nothing is bound.
ICapiDriver& Driver();

// Tests put a fake in place of the library; nullptr goes back to the real
// binding (or to nothing bound). The caller keeps ownership.
void SetDriverForTesting(ICapiDriver* driver);
// Tests aim Load at another library name, and may let it run again.
void SetLibraryNameForTesting(const std::string& name);
void ResetForTesting();

} // namespace CapiBinding

// Error code the unbound driver reports (CAPI not installed).
constexpr unsigned kCapiNotBound = 0x1009;
constexpr unsigned kCapiNotBoundMessage = 0x1109;
