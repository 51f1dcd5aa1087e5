#include "CapiBindingPlatform.h"
#include "CapiDriver.h"

#include <memory>
#include <vector>

namespace {

// Fails every operation without calling into any library.
class UnboundDriver final : public ICapiDriver
{
public:
    unsigned Register(unsigned, unsigned, unsigned, unsigned, unsigned*) override { return kCapiNotBound; }
    unsigned Release(unsigned) override { return kCapiNotBound; }
    unsigned PutMessage(unsigned, const uint8_t*) override { return kCapiNotBoundMessage; }
    unsigned GetMessage(unsigned, const uint8_t** message, size_t* readable) override
    {
        *message = nullptr;
        *readable = 0;
        return kCapiNotBoundMessage;
    }
    unsigned WaitForSignal(unsigned) override { return kCapiNotBoundMessage; }
    unsigned WaitForSignalFor(unsigned, int) override { return kCapiNotBoundMessage; }
    unsigned GetManufacturer(unsigned, char* buffer64) override
    {
        buffer64[0] = '\0';
        return kCapiNotBound;
    }
    unsigned GetVersion(unsigned, uint32_t*) override { return kCapiNotBound; }
    unsigned GetSerialNumber(unsigned, char*) override { return kCapiNotBound; }
    unsigned GetProfile(unsigned, uint8_t*) override { return kCapiNotBound; }
    unsigned Installed() override { return kCapiNotBound; }
    void Wake(unsigned) override {}
};

struct Binding
{
    bool attempted = false; // only the first Load does anything
    bool loaded = false;
    std::string error;
    std::string libraryName = capiplatform::DefaultLibraryName();
    std::unique_ptr<ICapiDriver> library; // never unloaded
    std::vector<std::unique_ptr<ICapiDriver>> retired; // kept loaded across test resets
    ICapiDriver* testDriver = nullptr;
    UnboundDriver unbound;
};

Binding& State()
{
    static Binding* binding = new Binding; // outlives every static that might use it
    return *binding;
}

} // namespace

namespace CapiBinding {

bool Load(std::string* error)
{
    Binding& b = State();
    if (!b.attempted) {
        b.attempted = true;
        b.library = capiplatform::OpenLibrary(b.libraryName, &b.error);
        b.loaded = b.library != nullptr;
    }
    if (!b.loaded && error)
        *error = b.error;
    return b.loaded;
}

bool IsBound()
{
    const Binding& b = State();
    return b.testDriver || b.loaded;
}

ICapiDriver& Driver()
{
    Binding& b = State();
    if (b.testDriver)
        return *b.testDriver;
    if (b.loaded)
        return *b.library;
    return b.unbound;
}

void SetDriverForTesting(ICapiDriver* driver) { State().testDriver = driver; }

void SetLibraryNameForTesting(const std::string& name) { State().libraryName = name; }

void ResetForTesting()
{
    Binding& b = State();
    // A library already loaded stays loaded; only the bookkeeping starts over.
    if (b.library)
        b.retired.push_back(std::move(b.library));
    b.attempted = false;
    b.loaded = false;
    b.error.clear();
    b.testDriver = nullptr;
    b.libraryName = capiplatform::DefaultLibraryName();
}

} // namespace CapiBinding
