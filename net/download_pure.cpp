// The size rules of a download: the announced length, the build's cap and an exact expected size.
#include "net/net_pure.h"

#include <limits>

std::optional<std::uint64_t> parse_content_length(std::wstring_view text) {
    if (text.empty()) return std::nullopt;
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t value = 0;
    for (const wchar_t c : text) {
        if (c < L'0' || c > L'9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - L'0');
        if (value > (max - digit) / 10) return std::nullopt;  // one more digit would pass 2^64 - 1
        value = value * 10 + digit;
    }
    return value;
}

std::optional<std::wstring> announced_length_refusal(std::optional<std::uint64_t> announced,
                                                     const download_limits& limits) {
    if (!announced) return std::nullopt;
    if (*announced > limits.max_bytes) {
        return L"Файл на сервере слишком большой (" + decimal(*announced) + L" байт, допустимо не больше " +
               decimal(limits.max_bytes) + L")";
    }
    if (limits.exact_bytes && *announced != *limits.exact_bytes) {
        return L"Размер файла на сервере не совпадает с ожидаемым (" + decimal(*announced) + L" байт вместо " +
               decimal(*limits.exact_bytes) + L")";
    }
    return std::nullopt;
}

std::optional<std::wstring> received_length_refusal(std::uint64_t received, const download_limits& limits) {
    if (limits.exact_bytes && *limits.exact_bytes < limits.max_bytes && received > *limits.exact_bytes) {
        return L"Сервер передаёт больше данных, чем ожидалось (" + decimal(*limits.exact_bytes) + L" байт)";
    }
    if (received > limits.max_bytes) {
        return L"Сервер передаёт больше данных, чем допустимо (не больше " + decimal(limits.max_bytes) + L" байт)";
    }
    return std::nullopt;
}

std::optional<std::wstring> final_length_refusal(std::uint64_t received, const download_limits& limits) {
    if (limits.exact_bytes && received != *limits.exact_bytes) {
        return L"Размер скачанного файла не совпадает с ожидаемым (" + decimal(received) + L" байт вместо " +
               decimal(*limits.exact_bytes) + L")";
    }
    return std::nullopt;
}
