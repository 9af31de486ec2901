// The size rules of a download: the strict Content-Length parse and the three refusals.
#include <gtest/gtest.h>

#include <string>

#include "net/net_pure.h"

namespace {

std::string narrow(const std::wstring& text) {
    std::string out;
    for (const wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

}  // namespace

TEST(content_length, only_plain_digits_up_to_two_to_the_sixty_four_minus_one) {
    struct row {
        const wchar_t* text;
        std::optional<std::uint64_t> want;
    };
    const row rows[] = {
        {L"0", 0u},
        {L"1048576", 1048576u},
        {L"4294967295", 4294967295u},                     // the largest 32-bit value
        {L"4294967296", 4294967296u},                     // one more: a 32-bit reading wraps to 0
        {L"5368709120", 5368709120u},                     // 5 GiB: a 32-bit reading gives 1 GiB
        {L"0005", 5u},                                    // leading zeros are digits too
        {L"18446744073709551615", 18446744073709551615u}, // 2^64 - 1
        {L"18446744073709551616", std::nullopt},          // 2^64
        {L"99999999999999999999", std::nullopt},
        {L"", std::nullopt},
        {L"-1", std::nullopt},
        {L"+5", std::nullopt},
        {L" 5", std::nullopt},
        {L"5 ", std::nullopt},
        {L"5, 5", std::nullopt},                          // two headers folded into one value
        {L"0x10", std::nullopt},
        {L"1e3", std::nullopt},
        {L"\u0665", std::nullopt},                        // ARABIC-INDIC DIGIT FIVE: a digit, not ASCII
    };
    for (const row& r : rows) {
        SCOPED_TRACE(narrow(r.text));
        EXPECT_EQ(parse_content_length(r.text), r.want);
    }
}

TEST(download_size_rules, an_announced_length_over_the_cap_or_off_the_exact_size_is_refused) {
    const download_limits cap_only{1000, std::nullopt};
    const download_limits exact{1000, 600};
    struct row {
        const char* name;
        std::optional<std::uint64_t> announced;
        download_limits limits;
        std::optional<std::wstring> want;
    };
    const row rows[] = {
        {"none announced", std::nullopt, exact, std::nullopt},
        {"at the cap", 1000u, cap_only, std::nullopt},
        {"one over the cap", 1001u, cap_only,
         L"Файл на сервере слишком большой (1001 байт, допустимо не больше 1000)"},
        {"5 GiB over a 2 GiB cap", 5368709120u, download_limits{2147483648u, std::nullopt},
         L"Файл на сервере слишком большой (5368709120 байт, допустимо не больше 2147483648)"},
        {"the exact size", 600u, exact, std::nullopt},
        {"one over the exact size", 601u, exact,
         L"Размер файла на сервере не совпадает с ожидаемым (601 байт вместо 600)"},
        {"one under the exact size", 599u, exact,
         L"Размер файла на сервере не совпадает с ожидаемым (599 байт вместо 600)"},
        {"over both: the cap speaks", 2000u, exact,
         L"Файл на сервере слишком большой (2000 байт, допустимо не больше 1000)"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(announced_length_refusal(r.announced, r.limits), r.want);
    }
}

TEST(download_size_rules, a_body_is_stopped_at_the_first_byte_past_the_smaller_limit) {
    struct row {
        const char* name;
        std::uint64_t received;
        download_limits limits;
        std::optional<std::wstring> want;
    };
    const row rows[] = {
        {"at the cap", 1000, download_limits{1000, std::nullopt}, std::nullopt},
        {"one past the cap", 1001, download_limits{1000, std::nullopt},
         L"Сервер передаёт больше данных, чем допустимо (не больше 1000 байт)"},
        {"a cap of 2^64 - 1 is never passed", 18446744073709551615u,
         download_limits{18446744073709551615u, std::nullopt}, std::nullopt},
        {"at the exact size", 600, download_limits{1000, 600}, std::nullopt},
        {"one past the exact size", 601, download_limits{1000, 600},
         L"Сервер передаёт больше данных, чем ожидалось (600 байт)"},
        {"an exact size above the cap: the cap", 1001, download_limits{1000, 5000},
         L"Сервер передаёт больше данных, чем допустимо (не больше 1000 байт)"},
        {"an exact size equal to the cap", 1001, download_limits{1000, 1000},
         L"Сервер передаёт больше данных, чем допустимо (не больше 1000 байт)"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(received_length_refusal(r.received, r.limits), r.want);
    }
}

TEST(download_size_rules, a_complete_body_must_have_the_exact_size_when_one_is_given) {
    EXPECT_EQ(final_length_refusal(0, download_limits{1000, std::nullopt}), std::nullopt);
    EXPECT_EQ(final_length_refusal(600, download_limits{1000, 600}), std::nullopt);
    EXPECT_EQ(final_length_refusal(599, download_limits{1000, 600}),
              std::optional<std::wstring>(L"Размер скачанного файла не совпадает с ожидаемым (599 байт вместо 600)"));
    EXPECT_EQ(final_length_refusal(0, download_limits{1000, 600}),
              std::optional<std::wstring>(L"Размер скачанного файла не совпадает с ожидаемым (0 байт вместо 600)"));
}
