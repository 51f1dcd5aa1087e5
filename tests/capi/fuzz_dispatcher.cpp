// libFuzzer target: arbitrary octets handed to CCapiLink's dispatcher as a
// received message, the way the receive thread fetches one.
//
// Input: one steering octet, then the message.
//   bit 0     the message's length word is set to its real length (else it
//             stays as the fuzzer wrote it, and may lie either way)
//   bits 1-3  octets of driver buffer after the message (kExtras)
//   bit 4     Data64 (offset 22) is aimed into the driver buffer, at the
//             signed offset the fuzzer wrote in Data (offset 12), as libcapi20
//             does for DATA_B3_IND; else Data64 stays as written
//   bit 5     the link's first put fails, as libcapi20's does on a dead socket
//
// Seeds in fuzz_corpus/ (steering octet 01, then):
//   connect_ind     CONNECT_IND with called "555", calling "12345", text
//   data_b3_ind     30-octet DATA_B3_IND and 5 data octets (steering 12:
//                   Data64 aimed at them, one spare octet)
//   info_ind        INFO_IND with a display element
//   disconnect_ind  DISCONNECT_IND, Reason 0x3490
#include "CapiDefs.h"
#include "CapiDriver.h"
#include "CapiLink.h"
#include "CapiRequests.h"
#include "FakeCapiDriver.h"

#include <QByteArray>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr size_t kExtras[8] = {0, 1, 2, 7, 8, 30, 128, 2048};
constexpr unsigned kApplId = 7;

// Hands out what the fake fetched from a heap block of exactly the readable
// size: the fake's QByteArray keeps spare capacity and a terminating NUL,
// where AddressSanitizer would not see a read past the driver's buffer.
class ExactBufferDriver final : public ICapiDriver
{
public:
    void Use(FakeCapiDriver* fake, bool aimData64)
    {
        m_fake = fake;
        m_aim = aimData64;
    }

    unsigned Register(unsigned a, unsigned b, unsigned c, unsigned d, unsigned* applId) override
    {
        return m_fake->Register(a, b, c, d, applId);
    }
    unsigned Release(unsigned applId) override { return m_fake->Release(applId); }
    unsigned PutMessage(unsigned applId, const uint8_t* message) override
    {
        // A message the link composed: the length it claims must lie in its
        // buffer, and the id must be the registered one.
        const uint16_t length = capi::GetU16(message);
        if (length < capi::kHeaderSize || length > capi::kMessageBufferSize ||
            capi::GetU16(message + 2) != kApplId || applId != kApplId) {
            std::fprintf(stderr, "malformed put: length %u, id %u/%u\n", unsigned(length),
                         unsigned(capi::GetU16(message + 2)), applId);
            std::abort();
        }
        return m_fake->PutMessage(applId, message);
    }
    unsigned GetMessage(unsigned applId, const uint8_t** message, size_t* readable) override
    {
        const uint8_t* fetched = nullptr;
        size_t size = 0;
        const unsigned rc = m_fake->GetMessage(applId, &fetched, &size);
        if (rc != 0)
            return rc;
        m_buffer = std::make_unique<uint8_t[]>(size);
        std::memcpy(m_buffer.get(), fetched, size);
        const uintptr_t base = reinterpret_cast<uintptr_t>(m_buffer.get());
        if (m_aim && size >= 30) {
            const auto offset = static_cast<int32_t>(capi::GetU32(m_buffer.get() + 12));
            capi::PutU64(m_buffer.get() + 22, uint64_t(base + uintptr_t(intptr_t(offset))));
        }
        *message = m_buffer.get();
        *readable = size;
        return 0;
    }
    unsigned WaitForSignal(unsigned applId) override { return m_fake->WaitForSignal(applId); }
    unsigned WaitForSignalFor(unsigned applId, int ms) override { return m_fake->WaitForSignalFor(applId, ms); }
    unsigned GetManufacturer(unsigned c, char* buffer64) override { return m_fake->GetManufacturer(c, buffer64); }
    unsigned GetVersion(unsigned c, uint32_t version[4]) override { return m_fake->GetVersion(c, version); }
    unsigned GetSerialNumber(unsigned c, char* buffer8) override { return m_fake->GetSerialNumber(c, buffer8); }
    unsigned GetProfile(unsigned c, uint8_t* buffer64) override { return m_fake->GetProfile(c, buffer64); }
    unsigned Installed() override { return 0; }
    void Wake(unsigned applId) override { m_fake->Wake(applId); }

private:
    FakeCapiDriver* m_fake = nullptr;
    bool m_aim = false;
    std::unique_ptr<uint8_t[]> m_buffer; // the fetched message, valid until the next fetch
};

// Reads everything the owner may read while it handles a notification.
class ReadingOwner final : public ICapiOwner
{
public:
    void OnCapiNotify(CCapiLink& link, unsigned code) override
    {
        m_sink += code + link.CallingNumber().size() + link.CalledNumber().size() + link.CallText().size() +
                  link.CallType().size() + link.LogLine().size();
    }
    void PostToOwner(std::function<void()> task) override { task(); }

private:
    size_t m_sink = 0;
};

struct Harness
{
    ExactBufferDriver driver;
    ReadingOwner owner;
    CCapiLink link;

    Harness()
    {
        CapiBinding::SetDriverForTesting(&driver);
        FakeCapiDriver fake;
        fake.SetRegisterResult(0, kApplId);
        driver.Use(&fake, false);
        link.SetCAPIOwner(&owner);
        if (!link.RegisterCAPIAppl())
            std::abort();
        driver.Use(nullptr, false);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // One link for the whole run: it lives on across messages in the program too.
    static Harness* harness = new Harness;
    // A driver never hands out an empty message; the fake would report its
    // extent as 0, which the link reads as "not known".
    if (size < 2)
        return 0;
    const uint8_t steer = data[0];
    QByteArray message(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    if ((steer & 0x01) && message.size() >= 2) {
        message[0] = char(message.size() & 0xff);
        message[1] = char((message.size() >> 8) & 0xff);
    }

    // A fresh fake per input, so that the puts it records do not pile up.
    FakeCapiDriver fake;
    fake.SetReadableExtra(kExtras[(steer >> 1) & 0x07]);
    if (steer & 0x20)
        fake.FailNextPuts({capi::ErrMsgOsResource});
    fake.Queue(message);
    harness->driver.Use(&fake, (steer & 0x10) != 0);
    harness->link.ReceiveCAPIMsg();
    harness->driver.Use(nullptr, false);
    return 0;
}
