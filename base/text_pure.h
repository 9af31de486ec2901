// Shared platform-free text helpers: error codes, decimal and hex digits, ASCII case, time stamps and
// the scrambling of built-in texts. No Windows headers, no I/O, no clock, no globals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// reason + " (код N)"; N unsigned and decimal, so 0xC0000005 never prints with a minus sign.
std::wstring with_code(std::wstring_view reason, std::uint32_t code);

// The decimal digits of an unsigned number, no sign, no grouping.
std::string decimal_text(std::uint64_t value);
std::wstring decimal(std::uint64_t value);

enum class hex_case { lower, upper };
// Two hex digits per byte, high nibble first, in byte order.
void append_hex(std::string& out, std::uint8_t byte, hex_case letters);
std::string hex_text(std::span<const std::uint8_t> bytes, hex_case letters);

// The bytes of an ASCII text as wide characters, one per byte.
std::wstring widen_ascii(std::string_view text);

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
std::string ascii_lower(std::string_view s);
// Whole-string comparison that ignores ASCII letter case.
bool equal_ascii_nocase(std::wstring_view a, std::wstring_view b);

// Undoes the scrambling of the built-in texts and the signing key: byte i XOR ((90 + 7 i) mod 256).
std::string unscramble(const std::uint8_t* stored, std::size_t length);
