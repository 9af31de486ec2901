// Platform-free part of the status panel.
#pragma once

#include <cstdint>

// Per-mille progress for the status panel: nothing when total is 0 (returns false); otherwise
// (done * 1000) / total in 64-bit unsigned arithmetic (the product wraps), truncated to 32 bits.
bool progress_per_mille(std::uint64_t done, std::uint64_t total, std::int32_t& value);
