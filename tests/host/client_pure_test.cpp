#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/client_pure.h"

TEST(client_command_line, quotes_both_paths_and_adds_nothing_else) {
    struct row {
        const wchar_t* home;
        const wchar_t* jar;
        const wchar_t* want;
    };
    const row rows[] = {
        {L"C:\\L\\Java17\\jdk-17", L"C:\\L\\QuillmarshLauncher.jar",
         L"\"C:\\L\\Java17\\jdk-17\\bin\\java.exe\" -jar \"C:\\L\\QuillmarshLauncher.jar\""},
        // Spaces, an apostrophe and Cyrillic letters pass through as they are: the quotes carry them.
        {L"C:\\Program Files\\Java\\jre 8", L"C:\\Users\\O'Brien\\Данные\\x.jar",
         L"\"C:\\Program Files\\Java\\jre 8\\bin\\java.exe\" -jar \"C:\\Users\\O'Brien\\Данные\\x.jar\""},
        // Nothing is escaped, not even a quote or a trailing backslash.
        {L"D:\\a\"b", L"E:\\j\\", L"\"D:\\a\"b\\bin\\java.exe\" -jar \"E:\\j\\\""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.home);
        EXPECT_EQ(client_command_line(r.home, r.jar), r.want);
    }
    EXPECT_EQ(client_executable_path(L"C:\\J"), L"C:\\J\\bin\\java.exe");
}

TEST(console_tail, offset_is_the_last_6000_bytes) {
    struct row {
        std::uint64_t size, want;
    };
    const row rows[] = {
        {0, 0}, {1, 0}, {5999, 0}, {6000, 0}, {6001, 1}, {10000, 4000}, {0x100000000ull, 0x100000000ull - 6000},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.size);
        EXPECT_EQ(console_tail_offset(r.size), r.want);
    }
}

TEST(console_tail, text_ends_at_the_first_zero_byte) {
    using namespace std::string_view_literals;
    struct row {
        std::string_view read, want;
    };
    const row rows[] = {
        {"abc"sv, "abc"sv},
        {"ab\0cd"sv, "ab"sv},
        {"\0abc"sv, ""sv},
        {"abc\0"sv, "abc"sv},
        {""sv, ""sv},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::string(r.read));
        EXPECT_EQ(console_text_bytes(r.read), r.want);
    }
}

TEST(console_tail, trims_only_line_feed_carriage_return_and_space) {
    struct row {
        std::wstring in, want;
    };
    const row rows[] = {
        {L"Error: x\r\n\r\n  ", L"Error: x"},
        {L"Error: x \r \n", L"Error: x"},
        {L"Error: x\t", L"Error: x\t"},        // a tab stays
        {L"Error: x\t\r\n", L"Error: x\t"},    // and stops the trimming
        {L"  lead stays\n", L"  lead stays"},  // only the end is trimmed
        {L"x\v", L"x\v"},                      // other white space stays
        {L"\r\n \r\n", L""},
        {L"", L""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.in.size());
        EXPECT_EQ(trim_console_tail(r.in), r.want);
    }
}

TEST(console_tail, keeps_the_last_1500_characters_after_trimming) {
    std::wstring body;
    for (int i = 0; i < 2000; ++i) body.push_back(static_cast<wchar_t>(L'a' + i % 26));

    const std::wstring cut = trim_console_tail(body + L"\r\n   ");
    ASSERT_EQ(cut.size(), 1500u);
    EXPECT_EQ(cut, body.substr(500));

    // The trimmed characters do not count towards the 1500.
    const std::wstring exact = body.substr(0, 1500);
    EXPECT_EQ(trim_console_tail(exact + std::wstring(600, L' ')), exact);
    EXPECT_EQ(trim_console_tail(body.substr(0, 1501)), body.substr(1, 1500));
}

TEST(client_candidates, built_in_first_then_discovery_without_case_duplicates) {
    const std::wstring builtin = L"C:\\Users\\p\\AppData\\Roaming\\.quillmarsh\\launcher\\Java17\\jdk-17";
    const std::vector<std::wstring> discovered = {
        L"C:\\Program Files\\Java\\jdk-21",
        L"C:\\USERS\\P\\APPDATA\\ROAMING\\.QUILLMARSH\\LAUNCHER\\JAVA17\\JDK-17",  // the built-in one again
        L"C:\\Program Files\\Eclipse Adoptium\\jre-8",
        L"c:\\program files\\java\\JDK-21",                                     // first form wins
        L"",
    };
    const std::vector<std::wstring> want = {
        builtin,
        L"C:\\Program Files\\Java\\jdk-21",
        L"C:\\Program Files\\Eclipse Adoptium\\jre-8",
    };
    EXPECT_EQ(client_candidate_list(builtin, discovered), want);

    // A near-equal path is a different home.
    const std::vector<std::wstring> near = {builtin + L"x", builtin.substr(0, builtin.size() - 1)};
    EXPECT_EQ(client_candidate_list(builtin, near).size(), 3u);
    EXPECT_EQ(client_candidate_list(L"", {L"A", L"a"}), std::vector<std::wstring>{L"A"});
}

TEST(client_texts, errors_carry_unsigned_codes) {
    EXPECT_EQ(early_exit_error(0), L"Клиент завершился сразу после запуска (код 0)");
    EXPECT_EQ(early_exit_error(0xC0000135u), L"Клиент завершился сразу после запуска (код 3221225781)");
    EXPECT_EQ(process_start_error(2, L"C:\\J\\bin\\java.exe"), L"Ошибка запуска Java (код 2): C:\\J\\bin\\java.exe");
}

TEST(client_texts, final_box_has_details_only_with_output) {
    EXPECT_EQ(no_client_started_text(L"E", L"line1\nline2", L"C:\\L\\launcher.log"),
              L"Не удалось запустить клиент ни на одной Java.\n\nE\n\nПодробности:\nline1\nline2"
              L"\n\nПодробности в логе: C:\\L\\launcher.log");
    EXPECT_EQ(no_client_started_text(L"E", L"", L"C:\\L\\launcher.log"),
              L"Не удалось запустить клиент ни на одной Java.\n\nE\n\nПодробности в логе: C:\\L\\launcher.log");
}
