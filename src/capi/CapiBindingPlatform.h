// One file per platform implements these two (CapiBindingPosix.cpp,
// CapiBindingWindows.cpp).
#pragma once

#include "CapiDriver.h"

#include <memory>
#include <string>

namespace capiplatform {

std::string DefaultLibraryName();
// The library bound by name to the ten entry points, or nullptr with the
// reason in `error`.
std::unique_ptr<ICapiDriver> OpenLibrary(const std::string& name, std::string* error);

} // namespace capiplatform
