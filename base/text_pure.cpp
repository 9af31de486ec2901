#include "base/text_pure.h"

#include <cstdio>

std::string decimal_text(std::uint64_t value) {
    char digits[24];
    std::size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    std::string out;
    out.reserve(n);
    while (n > 0) out.push_back(digits[--n]);
    return out;
}

std::wstring decimal(std::uint64_t value) {
    return widen_ascii(decimal_text(value));
}

void append_hex(std::string& out, std::uint8_t byte, hex_case letters) {
    const char* digits = letters == hex_case::upper ? "0123456789ABCDEF" : "0123456789abcdef";
    out += digits[byte >> 4];
    out += digits[byte & 0x0F];
}

std::string hex_text(std::span<const std::uint8_t> bytes, hex_case letters) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const std::uint8_t b : bytes) append_hex(out, b, letters);
    return out;
}

std::wstring widen_ascii(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (const char c : text) out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    return out;
}

std::wstring with_code(std::wstring_view reason, std::uint32_t code) {
    std::wstring out(reason);
    out += L" (код ";
    out += decimal(code);
    out += L")";
    return out;
}

std::wstring format_time_stamp(const local_time& t) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "[%04d-%02d-%02d %02d:%02d:%02d]", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    return widen_ascii(buf);
}

wchar_t ascii_lower(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

std::wstring ascii_lower(std::wstring_view s) {
    std::wstring out(s);
    for (wchar_t& c : out) c = ascii_lower(c);
    return out;
}

std::string ascii_lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

bool equal_ascii_nocase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    }
    return true;
}

std::string unscramble(const std::uint8_t* stored, std::size_t length) {
    std::string plain(length, '\0');
    for (std::size_t i = 0; i < length; ++i) {
        const auto mask = static_cast<std::uint8_t>((90u + 7u * i) % 256u);
        plain[i] = static_cast<char>(static_cast<std::uint8_t>(stored[i] ^ mask));
    }
    return plain;
}
