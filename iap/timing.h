#pragma once

#include <chrono>

namespace iap {
// One step of the upgrade engine every 50 ms; the request goes out on every step until answered.
constexpr std::chrono::milliseconds TickInterval{50};
// A reply frame ends when the line has been quiet this long.
constexpr std::chrono::milliseconds QuietGap{30};
} // namespace iap
