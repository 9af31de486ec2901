#include "shell/shell_pure.h"

#include <cstdio>

std::wstring decimal(std::uint64_t value) {
    wchar_t digits[24];
    std::size_t n = 0;
    do {
        digits[n++] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    std::wstring out;
    out.reserve(n);
    while (n > 0) out.push_back(digits[--n]);
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
    std::wstring out;
    for (const char* p = buf; *p != '\0'; ++p) out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*p)));
    return out;
}

wchar_t ascii_lower(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

std::wstring ascii_lower(std::wstring_view s) {
    std::wstring out(s);
    for (wchar_t& c : out) c = ascii_lower(c);
    return out;
}

bool equal_ascii_nocase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    }
    return true;
}

bool progress_per_mille(std::uint64_t done, std::uint64_t total, std::int32_t& value) {
    if (total == 0) return false;
    const std::uint64_t per_mille = (done * 1000u) / total;  // wraps modulo 2^64 like the panel expects
    value = static_cast<std::int32_t>(static_cast<std::uint32_t>(per_mille & 0xFFFFFFFFu));
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
