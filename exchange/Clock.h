// The one clock the exchange runs on: milliseconds that never go back.
#pragma once

#include <chrono>
#include <cstdint>

namespace exchange {

inline int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace exchange
