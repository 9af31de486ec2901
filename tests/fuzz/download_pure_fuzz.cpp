// Properties of the Content-Length parse and the size rules: a value is accepted exactly when the
// input is ASCII digits naming at most 2^64 - 1, and then prints back as the input without its
// leading zeros; a body is never stopped at or below the smaller limit and always just past it.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/net_pure.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::wstring text;
    for (std::size_t i = 0; i < size; ++i) text.push_back(static_cast<wchar_t>(data[i]));
    const std::optional<std::uint64_t> value = parse_content_length(text);

    bool digits = size > 0;
    for (const wchar_t c : text) digits = digits && c >= L'0' && c <= L'9';
    std::size_t first = 0;
    while (first + 1 < text.size() && text[first] == L'0') ++first;
    const std::wstring significant = text.substr(first);
    // 2^64 - 1 has 20 digits; among 20-digit texts the order of the text is the order of the number.
    const bool fits = significant.size() < 20 || (significant.size() == 20 && significant <= L"18446744073709551615");
    if (value.has_value() != (digits && fits)) std::abort();
    if (value && decimal(*value) != significant) std::abort();

    // The limits from the value (or the input's bytes), and the first refusal sits just past the smaller.
    if (size >= 2) {
        const download_limits limits{data[0] + 1u, data[1] % 2 == 0 ? std::optional<std::uint64_t>(data[1]) : std::nullopt};
        const std::uint64_t smaller = limits.exact_bytes && *limits.exact_bytes < limits.max_bytes
                                          ? *limits.exact_bytes
                                          : limits.max_bytes;
        if (received_length_refusal(smaller, limits)) std::abort();
        if (!received_length_refusal(smaller + 1, limits)) std::abort();
        if (announced_length_refusal(limits.max_bytes + 1, limits) == std::nullopt) std::abort();
    }
    return 0;
}
