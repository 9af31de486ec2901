#include <gtest/gtest.h>

#include "java/java_pure.h"

namespace {

std::string show(const std::wstring& s) {
    std::string out;
    for (wchar_t c : s) out.push_back(c < 128 ? static_cast<char>(c) : '?');
    return out;
}

}  // namespace

TEST(java_path_pieces, trailing_separators_all_go) {
    struct row {
        const wchar_t* in;
        const wchar_t* want;
    };
    const row rows[] = {
        {L"C:\\jdk\\", L"C:\\jdk"},     {L"C:\\jdk\\/\\//", L"C:\\jdk"}, {L"C:\\jdk", L"C:\\jdk"},
        {L"C:\\", L"C:"},               {L"\\\\", L""},                   {L"", L""},
        {L"C:\\a b\\ ", L"C:\\a b\\ "},  // a blank is not a separator
    };
    for (const row& r : rows) {
        SCOPED_TRACE(show(r.in));
        EXPECT_EQ(trim_trailing_separators(r.in), r.want);
    }
}

TEST(java_path_pieces, path_value_splits_at_every_semicolon_and_drops_empty_pieces) {
    EXPECT_EQ(split_path_list(L""), std::vector<std::wstring>{});
    EXPECT_EQ(split_path_list(L";;;"), std::vector<std::wstring>{});
    EXPECT_EQ(split_path_list(L"a"), std::vector<std::wstring>{L"a"});
    EXPECT_EQ(split_path_list(L";a;;b;"), (std::vector<std::wstring>{L"a", L"b"}));
    // Quotes and blanks are kept as they are; a quoted piece holding ';' is split like any other.
    EXPECT_EQ(split_path_list(L" a ;\"C:\\x;y\""), (std::vector<std::wstring>{L" a ", L"\"C:\\x", L"y\""}));
}

TEST(java_path_pieces, bin_is_stripped_in_any_case_with_its_separators) {
    struct row {
        const wchar_t* piece;
        const wchar_t* want;
    };
    const row rows[] = {
        {L"C:\\jdk\\bin", L"C:\\jdk"},
        {L"C:\\jdk\\BIN\\", L"C:\\jdk"},
        {L"C:\\jdk\\Bin//", L"C:\\jdk"},
        {L"C:\\jdk\\\\bin", L"C:\\jdk"},          // separators before \bin go too
        {L"C:\\jdk/bin", L"C:\\jdk/bin"},          // only a backslash before "bin" counts
        {L"C:\\jdk\\sbin", L"C:\\jdk\\sbin"},      // "\bin" must be the whole last element
        {L"C:\\jdk", L"C:\\jdk"},                  // not ending in \bin: a home by itself
        {L"\\bin", L""},                           // exactly four characters
        {L"bin", L"bin"},                          // fewer than four
        {L"\"C:\\jdk\\bin\"", L"\"C:\\jdk\\bin\""},  // quoted: left alone
        {L"C:\\jdk\\bin ", L"C:\\jdk\\bin "},      // blanks are not trimmed
    };
    for (const row& r : rows) {
        SCOPED_TRACE(show(r.piece));
        EXPECT_EQ(home_from_path_piece(r.piece), r.want);
    }
}

TEST(java_exclusion, fragments_match_in_any_ascii_case_anywhere) {
    struct row {
        const wchar_t* path;
        bool excluded;
    };
    const row rows[] = {
        {L"C:\\ProgramData\\Oracle\\Java\\javapath", true},
        {L"C:\\ProgramData\\Oracle\\Java\\JavaPath_target_123", true},
        {L"C:\\Program Files (x86)\\Common Files\\Oracle\\Java\\java8path", true},
        {L"C:\\Program Files\\COMMON FILES\\x", true},
        {L"C:\\Program Files\\Common Files", false},  // the fragment needs the backslash after it
        {L"C:\\x\\JAVA8PATH", true},
        {L"C:\\Program Files\\Java\\jdk-17", false},
        {L"C:\\common files\\jdk", true},
        {L"", false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(show(r.path));
        EXPECT_EQ(is_excluded_java_path(r.path), r.excluded);
    }
}

TEST(java_candidate_list, first_form_stays_and_exclusion_compares_without_case) {
    std::vector<std::wstring> list;
    EXPECT_TRUE(add_unique_home(list, L"C:\\JDK17", L""));
    EXPECT_FALSE(add_unique_home(list, L"c:\\jdk17", L""));
    EXPECT_FALSE(add_unique_home(list, L"", L""));
    EXPECT_FALSE(add_unique_home(list, L"D:\\Other", L"d:\\OTHER"));
    EXPECT_TRUE(add_unique_home(list, L"D:\\Other", L"D:\\Other2"));
    EXPECT_TRUE(add_unique_home(list, L"C:\\JDK17x", L""));  // a longer path is another home
    EXPECT_EQ(list, (std::vector<std::wstring>{L"C:\\JDK17", L"D:\\Other", L"C:\\JDK17x"}));
}

TEST(java_candidate_list, relative_home_is_the_rest_after_the_root) {
    EXPECT_EQ(relative_below(L"C:\\L\\Java17.new", L"C:\\L\\Java17.new\\jdk-17"), std::wstring(L"\\jdk-17"));
    EXPECT_EQ(relative_below(L"C:\\L\\Java17.new", L"C:\\L\\Java17.new\\a\\b"), std::wstring(L"\\a\\b"));
    EXPECT_FALSE(relative_below(L"C:\\L\\Java17.new", L"C:\\L\\Java17.new"));
    EXPECT_FALSE(relative_below(L"C:\\L\\Java17.new", L"C:\\L\\Java17.newer\\jdk"));
    EXPECT_FALSE(relative_below(L"C:\\L\\Java17.new", L"C:\\L\\Java17.new\\"));
    EXPECT_FALSE(relative_below(L"C:\\L\\Java17.new", L"C:\\L"));
}

TEST(java_command_lines, probe_and_tar_quote_the_paths_as_they_are) {
    EXPECT_EQ(java_probe_command_line(L"C:\\Program Files\\Java\\jdk 17"),
              L"\"C:\\Program Files\\Java\\jdk 17\\bin\\java.exe\" -version");
    EXPECT_EQ(tar_command_line(L"C:\\Users\\O'Brien\\L\\Java17.zip", L"C:\\Users\\O'Brien\\L\\Java17.new"),
              L"tar.exe -xf \"C:\\Users\\O'Brien\\L\\Java17.zip\" -C \"C:\\Users\\O'Brien\\L\\Java17.new\"");
}

TEST(java_command_lines, powershell_literals_double_every_quote_character) {
    EXPECT_EQ(expand_archive_command_line(L"C:\\L\\Java17.zip", L"C:\\L\\Java17.new"),
              L"powershell.exe -NoProfile -Command \"Expand-Archive -LiteralPath 'C:\\L\\Java17.zip' "
              L"-DestinationPath 'C:\\L\\Java17.new' -Force\"");
    EXPECT_EQ(expand_archive_command_line(L"C:\\Users\\O'Brien\\Java17.zip", L"C:\\Users\\O'Brien\\Java17.new"),
              L"powershell.exe -NoProfile -Command \"Expand-Archive -LiteralPath 'C:\\Users\\O''Brien\\Java17.zip' "
              L"-DestinationPath 'C:\\Users\\O''Brien\\Java17.new' -Force\"");

    struct row {
        std::wstring in;
        std::wstring want;
    };
    const wchar_t left = static_cast<wchar_t>(0x2018);
    const wchar_t right = static_cast<wchar_t>(0x2019);
    const wchar_t low = static_cast<wchar_t>(0x201A);
    const wchar_t reversed = static_cast<wchar_t>(0x201B);
    const wchar_t double_quote = static_cast<wchar_t>(0x201C);  // not a single quote: stays single
    const row rows[] = {
        {L"", L""},
        {L"'", L"''"},
        {L"''", L"''''"},
        {L"a'b'c", L"a''b''c"},
        {std::wstring(1, left) + L"x" + right, std::wstring(2, left) + L"x" + std::wstring(2, right)},
        {std::wstring(1, low) + reversed, std::wstring(2, low) + std::wstring(2, reversed)},
        {std::wstring(1, double_quote), std::wstring(1, double_quote)},
        {L"$env:x `n", L"$env:x `n"},  // nothing is special inside single quotes but the quote
    };
    for (const row& r : rows) {
        SCOPED_TRACE(show(r.in));
        EXPECT_EQ(powershell_quote_content(r.in), r.want);
    }
}

TEST(java_runner_texts, exact_texts_with_unsigned_codes) {
    EXPECT_EQ(start_failed_text(L"tar.exe -xf \"a\""), L"не удалось запустить: tar.exe -xf \"a\"");
    EXPECT_EQ(time_out_text(120000), L"превышен таймаут (120 сек)");
    EXPECT_EQ(exit_code_text(2), L"завершился с кодом 2");
    EXPECT_EQ(exit_code_text(0xC0000005u), L"завершился с кодом 3221225477");
    EXPECT_EQ(exit_code_text(0xFFFFFFFFu), L"завершился с кодом 4294967295");
}

TEST(java_version_key, digest_matches_without_ascii_case_and_missing_never_matches) {
    const std::wstring digest = L"9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
    EXPECT_TRUE(version_key_matches(digest, L"9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08"));
    EXPECT_TRUE(version_key_matches(digest, digest));
    EXPECT_FALSE(version_key_matches(digest, digest.substr(1)));
    EXPECT_FALSE(version_key_matches(digest, digest.substr(0, 63) + L"9"));
    EXPECT_FALSE(version_key_matches(std::nullopt, digest));
    EXPECT_FALSE(version_key_matches(std::nullopt, L""));
}

TEST(is_link_reparse_tag, only_name_surrogates_are_links) {
    struct row {
        const char* name;
        std::uint32_t tag;
        bool link;
    };
    // Tag values from the platform's published list of reparse tags.
    const row rows[] = {
        {"mount point", 0xA0000003u, true},     {"symbolic link", 0xA000000Cu, true},
        {"WSL symbolic link", 0xA000001Du, true}, {"cloud file placeholder", 0x9000001Au, false},
        {"cloud file, sub-type", 0x9000F01Au, false}, {"deduplicated file", 0x80000013u, false},
        {"app execution alias", 0x8000001Bu, false},  {"no tag", 0u, false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(is_link_reparse_tag(r.tag), r.link);
    }
}

TEST(is_link_entry, a_reparse_point_is_entered_only_when_its_tag_says_it_is_no_link) {
    struct row {
        const char* name;
        bool reparse_point;
        std::uint32_t tag;
        bool link;
    };
    const row rows[] = {
        {"plain folder", false, 0u, false},
        {"plain folder with a stale tag field", false, 0xA000000Cu, false},
        {"symbolic link", true, 0xA000000Cu, true},
        {"cloud file placeholder", true, 0x9000001Au, false},
        {"reparse point whose tag was not reported", true, 0u, true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(is_link_entry(r.reparse_point, r.tag), r.link);
    }
}
