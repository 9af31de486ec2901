#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "base/text_pure.h"
#include "shell/panel_pure.h"

TEST(with_code, appends_the_code_unsigned_and_decimal) {
    EXPECT_EQ(with_code(L"WinHTTP недоступен", 12029), L"WinHTTP недоступен (код 12029)");
    EXPECT_EQ(with_code(L"x", 0), L"x (код 0)");
    // A code with the top bit set never shows a minus sign.
    EXPECT_EQ(with_code(L"x", 0xC0000005u), L"x (код 3221225477)");
    EXPECT_EQ(with_code(L"x", std::numeric_limits<std::uint32_t>::max()), L"x (код 4294967295)");
}

TEST(time_stamp, pads_every_field) {
    EXPECT_EQ(format_time_stamp({2026, 1, 2, 3, 4, 5}), L"[2026-01-02 03:04:05]");
    EXPECT_EQ(format_time_stamp({999, 12, 31, 23, 59, 59}), L"[0999-12-31 23:59:59]");
}

TEST(progress, per_mille_of_done_over_total) {
    struct row {
        std::uint64_t done, total;
        bool posted;
        std::int32_t value;
    };
    const row rows[] = {
        {0, 0, false, 0},        // unknown total: nothing posted
        {5, 0, false, 0},
        {0, 100, true, 0},       // empty track
        {50, 100, true, 500},
        {100, 100, true, 1000},  // done = total: full bar
        {1, 3, true, 333},       // truncates
        // The product wraps modulo 2^64 exactly like the panel's arithmetic.
        {0x4000000000000000ull, 0x8000000000000000ull, true, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.done << "/" << r.total);
        std::int32_t value = -7;
        EXPECT_EQ(progress_per_mille(r.done, r.total, value), r.posted);
        if (r.posted) EXPECT_EQ(value, r.value);
        else EXPECT_EQ(value, -7);
    }
}

TEST(ascii_case, folds_only_ascii_letters) {
    EXPECT_TRUE(equal_ascii_nocase(L"C:\\Java17\\JDK", L"c:\\java17\\jdk"));
    EXPECT_FALSE(equal_ascii_nocase(L"Ж", L"ж"));  // Cyrillic is not folded
    EXPECT_FALSE(equal_ascii_nocase(L"abc", L"abcd"));
    EXPECT_EQ(ascii_lower(L"ABC[]@Z"), L"abc[]@z");
}

TEST(unscramble, xors_each_byte_with_its_position_mask) {
    // Independent oracle: masks 90, 97, 104 for i = 0, 1, 2, and (90 + 7*38) mod 256 = 100 wraps.
    const std::uint8_t stored[3] = {static_cast<std::uint8_t>('a' ^ 90), static_cast<std::uint8_t>('b' ^ 97),
                                    static_cast<std::uint8_t>('c' ^ 104)};
    EXPECT_EQ(unscramble(stored, 3), "abc");
    std::uint8_t long_stored[40] = {};
    const std::string plain = unscramble(long_stored, 40);
    EXPECT_EQ(static_cast<std::uint8_t>(plain[38]), (90 + 7 * 38) % 256);
    EXPECT_EQ(static_cast<std::uint8_t>(plain[0]), 90);
}
