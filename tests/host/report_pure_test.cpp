#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/net_pure.h"

namespace {

// A UTF-8 literal as bytes (u8"" is char8_t in C++20).
std::string u8s(const char8_t* text) {
    return std::string(reinterpret_cast<const char*>(text));
}

const std::string kHex64(64, 'a');

report_fields sample(std::string text, std::vector<std::string> log) {
    return {kHex64, std::string(64, 'b'), "java17_failed", "1.0.0.0", "10.0.19045", std::move(text), std::move(log)};
}

}  // namespace

TEST(failure_report, every_box_has_its_code_or_none) {
    struct row {
        final_box box;
        const char* code;  // nullptr: not reported
    };
    const row rows[] = {
        {final_box::launcher_dir_not_writable, nullptr},
        {final_box::no_fingerprint, nullptr},
        {final_box::ban_check_failed, "ban_check_failed"},
        {final_box::banned, nullptr},
        {final_box::java17_failed, "java17_failed"},
        {final_box::launcher_download_failed, "launcher_download_failed"},
        {final_box::launcher_digest_failed, "launcher_digest_failed"},
        {final_box::client_start_failed, "client_start_failed"},
        {final_box::watchdog_timeout, "watchdog_timeout"},
        {final_box::unexpected_error, "unexpected_error"},
        {final_box::worker_start_failed, "worker_start_failed"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(static_cast<int>(r.box));
        const std::optional<std::string_view> code = failure_code(r.box);
        if (r.code == nullptr) {
            EXPECT_FALSE(code.has_value());
        } else {
            ASSERT_TRUE(code.has_value());
            EXPECT_EQ(*code, r.code);
        }
    }
}

TEST(failure_report, repairs_utf8_and_drops_nul) {
    struct row {
        std::string in;
        std::string want;
    };
    const std::string bad = "\xEF\xBF\xBD";  // U+FFFD
    const row rows[] = {
        {u8s(u8"Иван ё €"), u8s(u8"Иван ё €")},
        {std::string("a\0b", 3), "a" + bad + "b"},
        {"\x80", bad},                                      // stray continuation byte
        {"\xC0\xAF", bad + bad},                            // overlong '/'
        {"\xE0\x80\xAF", bad + bad + bad},                  // overlong, three bytes
        {"\xED\xA0\x80", bad + bad + bad},                  // a surrogate
        {"\xF4\x90\x80\x80", bad + bad + bad + bad},        // above U+10FFFF
        {"\xD0", bad},                                      // cut-off sequence at the end
        {"\xD0z", bad + "z"},                               // cut-off, then ASCII
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},           // four bytes, valid
        {"\xFF\xFE", bad + bad},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.in);
        EXPECT_EQ(valid_utf8(r.in), r.want);
    }
}

TEST(failure_report, cuts_utf8_on_character_boundaries) {
    const std::string text = u8s(u8"aЖ€");  // 1 + 2 + 3 bytes
    EXPECT_EQ(cut_utf8(text, 6), text);
    EXPECT_EQ(cut_utf8(text, 5), u8s(u8"aЖ"));
    EXPECT_EQ(cut_utf8(text, 3), u8s(u8"aЖ"));
    EXPECT_EQ(cut_utf8(text, 2), "a");
    EXPECT_EQ(cut_utf8(text, 0), "");
}

TEST(failure_report, escapes_json_strings) {
    struct row {
        std::string in;
        std::string want;
    };
    const row rows[] = {
        {"", R"("")"},
        {R"(say "hi")", R"("say \"hi\"")"},
        {R"(C:\Users\x)", R"("C:\\Users\\x")"},
        {"a\nb\tc\r\x01\x1f", R"("a\u000ab\u0009c\u000d\u0001\u001f")"},
        {"\x7f/", "\"\x7f/\""},                              // DEL and '/' need no escape
        {u8s(u8"Привет"), "\"" + u8s(u8"Привет") + "\""},    // raw UTF-8
        {std::string("\0\xC3", 2), "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.in);
        EXPECT_EQ(json_string(r.in), r.want);
    }
}

TEST(failure_report, takes_the_log_tail) {
    const std::string log = "\xEF\xBB\xBF" "one\r\ntwo\r\nth\rree\r\nfour\r\n";
    EXPECT_EQ(last_log_lines(log, true, 64), (std::vector<std::string>{"one", "two", "th ree", "four"}));
    EXPECT_EQ(last_log_lines(log, true, 2), (std::vector<std::string>{"th ree", "four"}));
    // A window into the file: its first line is the end of a longer one.
    EXPECT_EQ(last_log_lines("ne\r\ntwo\r\nthree", false, 64), (std::vector<std::string>{"two", "three"}));
    EXPECT_EQ(last_log_lines("partial", false, 64), std::vector<std::string>{});
    EXPECT_EQ(last_log_lines("", true, 64), std::vector<std::string>{});
    EXPECT_EQ(last_log_lines("\r\n\r\n", true, 64), (std::vector<std::string>{"", ""}));
}

TEST(failure_report, masks_the_profile_folder_and_the_user_name) {
    struct row {
        const char8_t* text;
        const char8_t* profile;
        const char8_t* user;
        const char8_t* want;
    };
    const row rows[] = {
        // The profile on another drive, with a Cyrillic name, in every case mix.
        {u8R"(Каталог: D:\Users\Иван\AppData\Roaming\.quillmarsh)", u8R"(D:\Users\Иван)", u8"Иван",
         u8R"(Каталог: %USERPROFILE%\AppData\Roaming\.quillmarsh)"},
        {u8R"(d:\users\ИВАН\x and D:/USERS/иван/y)", u8R"(D:\Users\Иван\)", u8"Иван",
         u8R"(%USERPROFILE%\x and %USERPROFILE%/y)"},
        {u8R"(Ёлка at C:\Users\ёлка\a)", u8R"(C:\Users\Ёлка)", u8"Ёлка", u8R"(<user> at %USERPROFILE%\a)"},
        // The user name inside other paths and text.
        {u8R"(D:\Games\Иван\x; E:\иван-игры\y)", u8R"(C:\Users\Иван)", u8"Иван",
         u8R"(D:\Games\<user>\x; E:\<user>-игры\y)"},
        {u8R"(user Ivan started C:\Users\Ivanov\z)", u8R"(C:\Users\Ivan)", u8"Ivan",
         u8R"(user <user> started C:\Users\<user>ov\z)"},
        // A replacement is not matched again: "user" is inside "%USERPROFILE%".
        {u8R"(C:\Users\user\a D:\user)", u8R"(C:\Users\user)", u8"user", u8R"(%USERPROFILE%\a D:\<user>)"},
        // A short name only as a whole path component.
        {u8R"(a box at D:\a\b and C:/a)", u8R"(C:\Users\a)", u8"a", u8R"(a box at D:\<user>\b and C:/<user>)"},
        {u8R"(C:\Users\a\x)", u8R"(C:\Users\a)", u8"a", u8R"(%USERPROFILE%\x)"},
        {u8"Ян и Яна", u8R"(C:\Users\Ян)", u8"Ян", u8"Ян и Яна"},
        // Nothing to mask with.
        {u8R"(C:\Users\Иван)", u8"", u8"", u8R"(C:\Users\Иван)"},
        {u8R"(C:\x)", u8R"(C:\)", u8"", u8R"(C:\x)"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(u8s(r.text));
        EXPECT_EQ(redact_personal(u8s(r.text), u8s(r.profile), {u8s(r.user)}), u8s(r.want));
    }
}

TEST(failure_report, masking_repairs_invalid_utf8) {
    EXPECT_EQ(redact_personal(std::string("\xD0\x98\xFF", 3), "C:\\Users\\x", {"x"}), u8s(u8"И\uFFFD"));
}

TEST(failure_report, masks_every_name_of_the_user) {
    // The account's name and the environment's differ (a renamed account); one starts the other.
    EXPECT_EQ(redact_personal(u8s(u8R"(D:\Ivan\a E:\Ivanov\b Ivanovich)"), "", {"ivan", u8s(u8"IVANOV")}),
              u8s(u8R"(D:\<user>\a E:\<user>\b <user>ich)"));
    EXPECT_EQ(redact_personal("C:\\Users\\bob\\x", "", {"", "bob"}), "C:\\Users\\<user>\\x");
}

TEST(failure_report, builds_the_body_in_member_order) {
    const std::string body = report_body(sample(u8s(u8"Ошибка \"x\"\nдальше"), {"one", "two\\"}));
    EXPECT_EQ(body, "{\"hwid\":\"" + kHex64 + "\",\"sig\":\"" + std::string(64, 'b') +
                        "\",\"code\":\"java17_failed\",\"shell_version\":\"1.0.0.0\",\"windows_version\":"
                        "\"10.0.19045\",\"text\":\"" +
                        u8s(u8"Ошибка \\\"x\\\"\\u000aдальше") + "\",\"log\":[\"one\",\"two\\\\\"]}");
    const std::string empty_log = report_body(sample("t", {}));
    EXPECT_EQ(empty_log.substr(empty_log.size() - 20), "\"text\":\"t\",\"log\":[]}");
}

TEST(failure_report, keeps_the_body_within_its_limits) {
    // 100 lines of 1500 bytes: each is cut to 1000, only the last 64 are looked at, and the oldest are
    // dropped until the body fits 16 KiB.
    std::vector<std::string> log;
    for (int i = 0; i < 100; ++i) log.push_back(std::to_string(1000 + i) + std::string(1496, 'x'));
    const std::string body = report_body(sample("text", log));
    EXPECT_LE(body.size(), kReportBodyLimit);
    EXPECT_GT(body.size(), kReportBodyLimit - 1003);  // one more line would not have fitted
    EXPECT_NE(body.find("\"1099" + std::string(996, 'x') + "\"]}"), std::string::npos);  // newest kept, cut
    // About 230 bytes of the other members and sixteen lines of 1003 bytes (quotes and comma) fit.
    EXPECT_EQ(body.find("1083"), std::string::npos);  // older ones dropped
    EXPECT_NE(body.find("\"1084"), std::string::npos);
    EXPECT_EQ(body.find(std::string(997, 'x')), std::string::npos);

    // A Cyrillic line is cut on a character boundary: 500 two-byte letters fit 1000 bytes exactly.
    const std::string cyrillic = report_body(sample("t", {u8s(u8"Ж") + std::string(1000, 'y')}));
    EXPECT_NE(cyrillic.find("\"" + u8s(u8"Ж") + std::string(998, 'y') + "\""), std::string::npos);

    // The text is cut at 4096 bytes; a text of control characters (six bytes each when escaped) is
    // cut further so that even without log lines the body fits.
    const std::string long_text = report_body(sample(std::string(5000, 't'), {}));
    EXPECT_NE(long_text.find("\"" + std::string(4096, 't') + "\""), std::string::npos);
    EXPECT_EQ(long_text.find(std::string(4097, 't')), std::string::npos);
    const std::string controls = report_body(sample(std::string(4096, '\x01'), {"line"}));
    EXPECT_LE(controls.size(), kReportBodyLimit);
    EXPECT_NE(controls.find("\\u0001"), std::string::npos);
    EXPECT_NE(controls.find("\"log\":[]"), std::string::npos);
}

TEST(failure_report, reads_the_file_version_from_the_resource) {
    // The fixed part as a resource compiler writes it for FILEVERSION 1,2,3,40000, behind a header.
    std::string resource(40, 'h');
    const unsigned char fixed[] = {0xBD, 0x04, 0xEF, 0xFE, 0x00, 0x00, 0x01, 0x00,
                                   0x02, 0x00, 0x01, 0x00, 0x40, 0x9C, 0x03, 0x00};
    resource.append(reinterpret_cast<const char*>(fixed), sizeof fixed);
    EXPECT_EQ(file_version_text(resource), "1.2.3.40000");
    EXPECT_EQ(file_version_text(resource.substr(1)), "");  // off a 4-byte boundary
    EXPECT_EQ(file_version_text(resource.substr(0, resource.size() - 1)), "");  // cut short
    EXPECT_EQ(file_version_text(""), "");
}
