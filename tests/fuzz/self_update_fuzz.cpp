// Properties of the self-test command line: blanks after it never change the answer; a line the
// installer builds for any program path without a quotation mark is always a self-test; any further
// argument makes it a normal start. And of the digest comparison: it is symmetric and never matches
// anything that is not 64 hex digits.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "shell/self_update_pure.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Each byte one character, so every wide character value below 256 is reached.
    const std::wstring line(data, data + size);

    const bool self_test = is_self_test_command_line(line);
    if (is_self_test_command_line(line + L"  \t") != self_test) std::abort();

    std::wstring program;
    for (wchar_t c : line) {
        if (c != L'"') program.push_back(c);
    }
    const std::wstring built = self_test_command_line(program);
    if (!is_self_test_command_line(built)) std::abort();
    if (is_self_test_command_line(built + L" x")) std::abort();

    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string a = bytes.substr(0, size / 2);
    const std::string b = bytes.substr(size / 2);
    const bool same = same_sha256_hex(a, b);
    if (same != same_sha256_hex(b, a)) std::abort();
    if (same && (a.size() != 64 || a.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)) {
        std::abort();
    }
    return 0;
}
