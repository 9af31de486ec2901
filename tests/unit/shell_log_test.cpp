// The launcher log against a launcher directory in a temp folder, and the UTF-8 conversions.
#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "base/log.h"
#include "base/text.h"
#include "shell/sequence.h"
#include "tests/e2e/driver.h"

namespace {

const std::string kBom = "\xEF\xBB\xBF";

class launcher_log : public testing::Test {
protected:
    void SetUp() override { set_log_file(dir.path + L"\\launcher.log"); }
    void TearDown() override { set_log_file(L""); }
    std::string log() const { return e2e::read_file(dir.path + L"\\launcher.log").value_or("<missing>"); }
    e2e::temp_dir dir;
};

std::wstring stamp_of(const SYSTEMTIME& t) {
    wchar_t buffer[64];
    swprintf(buffer, 64, L"[%04d-%02d-%02d %02d:%02d:%02d] ", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
    return buffer;
}

TEST_F(launcher_log, new_file_gets_one_byte_order_mark_then_lines) {
    log_line(L"первая");
    log_line(L"вторая");
    const std::string bytes = log();
    ASSERT_EQ(bytes.substr(0, 3), kBom);
    EXPECT_EQ(bytes.find(kBom, 3), std::string::npos);
    const std::vector<std::wstring> lines = e2e::split_lines(e2e::widen(bytes.substr(3)));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(22), L"первая");
    EXPECT_EQ(lines[1].substr(22), L"вторая");
    EXPECT_EQ(bytes.substr(bytes.size() - 2), "\r\n");
}

TEST_F(launcher_log, time_stamp_is_the_local_time_zero_padded) {
    SYSTEMTIME before{};
    SYSTEMTIME after{};
    GetLocalTime(&before);
    log_line(L"x");
    GetLocalTime(&after);
    const std::wstring line = e2e::split_lines(e2e::widen(log().substr(3))).at(0);
    EXPECT_TRUE(std::regex_match(line, std::wregex(LR"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] x)")));
    const std::wstring stamp = line.substr(0, 22);
    // The line was stamped between the two readings (at a second's edge, it may be either).
    EXPECT_TRUE(stamp == stamp_of(before) || stamp == stamp_of(after)) << e2e::narrow(stamp);
}

TEST_F(launcher_log, empty_message_is_a_stamp_and_crlf) {
    log_line(L"");
    const std::string bytes = log();
    ASSERT_EQ(bytes.size(), 3u + 22u + 2u);
    EXPECT_TRUE(std::regex_match(bytes.substr(3), std::regex(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] \r\n)")));
}

TEST_F(launcher_log, text_is_stored_as_utf8) {
    log_line(L"Жук \U0001F600");
    const std::string bytes = log();
    // Hand-encoded: Ж U+0416, у U+0443, к U+043A, then U+1F600 (a surrogate pair in UTF-16).
    EXPECT_EQ(bytes.substr(3 + 22), "\xD0\x96\xD1\x83\xD0\xBA \xF0\x9F\x98\x80\r\n");
}

TEST_F(launcher_log, lines_from_two_threads_all_land) {
    // As in the shell, the file exists before a second thread logs (the worker's first line creates it).
    log_line(L"первая строка");
    auto writer = [](const wchar_t* who) {
        for (int i = 0; i < 150; ++i) log_line(std::wstring(who) + L" строка " + std::to_wstring(i));
    };
    std::thread a(writer, L"поток А");
    std::thread b(writer, L"поток Б");
    a.join();
    b.join();
    const std::vector<std::wstring> lines = e2e::split_lines(e2e::widen(log().substr(3)));
    const std::wregex shape(LR"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] поток [АБ] строка \d+)");
    std::size_t intact = 0;
    for (std::size_t i = 1; i < lines.size(); ++i) intact += std::regex_match(lines[i], shape) ? 1 : 0;
    // Lines of one process never meet, on Windows (append-only writes) and under Wine (which appends
    // in two steps, so lines of one process take turns); none is refused by a sharing violation.
    EXPECT_EQ(lines.size(), 301u);
    EXPECT_EQ(intact, 300u);
}

TEST_F(launcher_log, file_path_is_the_directory_a_backslash_and_the_name) {
    launch_context launch;
    launch.launcher_dir = dir.path;
    EXPECT_EQ(launcher_file(launch, L"launcher.log"), dir.path + L"\\launcher.log");
    EXPECT_EQ(launcher_file(launch, L"a/b"), dir.path + L"\\a/b");  // no normalisation
    EXPECT_EQ(launcher_file(launch, L""), dir.path + L"\\");
}

TEST(launcher_log_blocked, unwritable_directory_drops_lines_quietly) {
    e2e::temp_dir dir;
    const std::wstring missing = dir.path + L"\\no\\such";
    set_log_file(missing + L"\\launcher.log");
    log_line(L"потеряна");
    EXPECT_FALSE(e2e::file_exists(missing + L"\\launcher.log"));
    EXPECT_FALSE(e2e::dir_exists(missing));
    set_log_file(L"");
}

TEST(utf8, converts_both_ways_with_the_platform_code_page) {
    struct row {
        const char* name;
        std::wstring wide;
        std::string utf8;
    };
    const row rows[] = {
        {"empty", L"", ""},
        {"ascii", L"QuillmarshLauncher/1.0", "QuillmarshLauncher/1.0"},
        {"cyrillic", L"Жук", "\xD0\x96\xD1\x83\xD0\xBA"},
        {"outside the BMP", L"\U0001F600", "\xF0\x9F\x98\x80"},
        {"embedded NUL kept", std::wstring(L"a\0b", 3), std::string("a\0b", 3)},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(to_utf8(r.wide), r.utf8);
        EXPECT_EQ(from_utf8(r.utf8), r.wide);
    }
}

TEST(utf8, malformed_input_becomes_replacement_characters) {
    EXPECT_EQ(from_utf8("a\xFF" "b"), L"a\xFFFD" L"b");
    EXPECT_EQ(from_utf8("\xD0"), L"\xFFFD");  // cut in the middle of a character
    // A lone surrogate has no UTF-8 form: the platform writes U+FFFD's bytes.
    EXPECT_EQ(to_utf8(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xEF\xBF\xBD");
}

}  // namespace
