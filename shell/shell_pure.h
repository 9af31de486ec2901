// Shared platform-free helpers and types: no Windows headers, no I/O, no clock, no globals.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// Progress of a download: bytes received so far and bytes expected. An empty callable reports nothing.
using download_progress = std::function<void(std::uint64_t done, std::uint64_t total)>;

// reason + " (код N)"; N unsigned and decimal, so 0xC0000005 never prints with a minus sign.
std::wstring with_code(std::wstring_view reason, std::uint32_t code);

// The decimal text of an unsigned number.
std::wstring decimal(std::uint64_t value);

// Local time fields, as the platform reports them.
struct local_time {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// "[YYYY-MM-DD hh:mm:ss]": the update record's stamp. The log line's stamp adds one space after it.
std::wstring format_time_stamp(const local_time& t);

// ASCII-only case folding ('A'..'Z' only), independent of locale and platform.
wchar_t ascii_lower(wchar_t c);
std::wstring ascii_lower(std::wstring_view s);
// Whole-string comparison that ignores ASCII letter case.
bool equal_ascii_nocase(std::wstring_view a, std::wstring_view b);

// Per-mille progress for the status panel: nothing when total is 0 (returns false); otherwise
// (done * 1000) / total in 64-bit unsigned arithmetic (the product wraps), truncated to 32 bits.
bool progress_per_mille(std::uint64_t done, std::uint64_t total, std::int32_t& value);

// Undoes the scrambling of the built-in texts and the signing key: byte i XOR ((90 + 7 i) mod 256).
std::string unscramble(const std::uint8_t* stored, std::size_t length);
