#include "shell/panel_pure.h"

bool progress_per_mille(std::uint64_t done, std::uint64_t total, std::int32_t& value) {
    if (total == 0) return false;
    const std::uint64_t per_mille = (done * 1000u) / total;  // wraps modulo 2^64 like the panel expects
    value = static_cast<std::int32_t>(static_cast<std::uint32_t>(per_mille & 0xFFFFFFFFu));
    return true;
}
