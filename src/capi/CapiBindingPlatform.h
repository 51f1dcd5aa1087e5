// One file per platform implements these (CapiBindingPosix.cpp,
// CapiBindingWindows.cpp).
#pragma once

#include "CapiDriver.h"

#include <memory>
#include <string>

namespace capiplatform {

std::string DefaultLibraryName();
// The library bound by name to whichever of the ten entry points it has (an
// operation whose entry point is missing fails with "not installed"), or
// nullptr with the reason in `error` when the library cannot be loaded.
std::unique_ptr<ICapiDriver> OpenLibrary(const std::string& name, std::string* error);

// A descriptor that a receive thread waits on beside its driver's, written
// to stop it. Fd() is -1 where the platform has none (Windows).
class WakeSignal
{
public:
    WakeSignal();
    ~WakeSignal();
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;

    int Fd() const { return m_read; }
    // Any thread; once written it stays readable.
    void Signal();

private:
    int m_read = -1;
    int m_write = -1; // the same as m_read for an eventfd
};

enum class Readable { Driver, Woken, TimedOut, Failed };
// Waits until `driverFd` (end of stream and errors count as readable) or
// `wakeFd` is readable, or `milliseconds` pass (-1: no limit). Woken wins
// when both are.
Readable WaitReadable(int driverFd, int wakeFd, int milliseconds);

} // namespace capiplatform
