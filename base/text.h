// Text conversions and the clock that need the platform.
#pragma once

#include <string>
#include <string_view>

#include "base/text_pure.h"

// UTF-16 <-> UTF-8 through code page 65001 without flags: malformed input becomes replacement
// characters rather than failing. Empty in, empty out; empty also when the conversion fails.
std::string to_utf8(std::wstring_view text);
std::wstring from_utf8(std::string_view text);

// The current local time from the platform.
local_time current_local_time();
