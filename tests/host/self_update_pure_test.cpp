#include <gtest/gtest.h>

#include <string>

#include "shell/self_update_pure.h"

namespace {

std::string narrow_ascii(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

}  // namespace

TEST(shell_version, only_a_strictly_higher_offer_is_newer_part_by_part) {
    struct row {
        shell_version offered, running;
        bool newer;
    };
    const row rows[] = {
        {{1, 1, 0, 0}, {1, 0, 0, 0}, true},
        {{1, 0, 0, 0}, {1, 0, 0, 0}, false},            // equal: a replayed release installs nothing
        {{1, 0, 0, 0}, {1, 1, 0, 0}, false},            // lower
        {{1, 0, 0, 1}, {1, 0, 0, 0}, true},             // the last part counts too
        {{2, 0, 0, 0}, {1, 65535, 65535, 65535}, true}, // an earlier part outweighs all later ones
        {{1, 65535, 65535, 65535}, {2, 0, 0, 0}, false},
        {{1, 10, 0, 0}, {1, 9, 0, 0}, true},            // numbers, not text ("10" < "9" as text)
        {{0, 0, 0, 0}, {0, 0, 0, 0}, false},
        {{65535, 65535, 65535, 65535}, {65535, 65535, 65535, 65534}, true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(narrow_ascii(version_text(r.offered) + L" over " + version_text(r.running)));
        EXPECT_EQ(offer_is_newer(r.offered, r.running), r.newer);
        // The order is antisymmetric: never both newer than each other.
        EXPECT_FALSE(offer_is_newer(r.offered, r.running) && offer_is_newer(r.running, r.offered));
        EXPECT_EQ(compare_versions(r.offered, r.running) == 0, r.offered == r.running);
    }
}

TEST(shell_version, halves_of_the_fixed_record_and_text) {
    // dwFileVersionMS 0x00010002, dwFileVersionLS 0x0003FFFF: 1.2.3.65535.
    const shell_version v = version_from_halves(0x00010002u, 0x0003FFFFu);
    EXPECT_EQ(v, (shell_version{1, 2, 3, 65535}));
    EXPECT_EQ(version_text(v), L"1.2.3.65535");
    EXPECT_EQ(version_text(version_from_halves(0, 0)), L"0.0.0.0");
    EXPECT_EQ(version_from_halves(0xFFFF0000u, 0x0000FFFFu), (shell_version{65535, 0, 0, 65535}));
}

TEST(shell_paths, new_and_old_sit_beside_the_exe) {
    EXPECT_EQ(new_shell_path(L"C:\\Games\\Quillmarsh Launcher.exe"), L"C:\\Games\\Quillmarsh Launcher.exe.new");
    EXPECT_EQ(old_shell_path(L"C:\\Games\\Quillmarsh Launcher.exe"), L"C:\\Games\\Quillmarsh Launcher.exe.old");
}

TEST(shell_paths, nt_form_for_a_rename_through_a_handle) {
    const std::pair<std::wstring, std::wstring> rows[] = {
        {L"C:\\Games\\a.exe", L"\\??\\C:\\Games\\a.exe"},
        {L"\\\\server\\share\\a.exe", L"\\??\\UNC\\server\\share\\a.exe"},
        {L"\\\\?\\C:\\Games\\a.exe", L"\\??\\C:\\Games\\a.exe"},  // already verbatim: only the prefix changes
        {L"\\\\?\\UNC\\server\\share\\a.exe", L"\\??\\UNC\\server\\share\\a.exe"},
    };
    for (const auto& [path, want] : rows) {
        SCOPED_TRACE(narrow_ascii(path));
        EXPECT_EQ(nt_path(path), want);
    }
}

TEST(shell_digest, sixty_four_hex_digits_equal_ignoring_case) {
    const std::string a(64, 'a');
    const std::string lower = "3f5a" + std::string(60, '0');
    const std::string upper = "3F5A" + std::string(60, '0');
    struct row {
        std::string x, y;
        bool same;
    };
    const row rows[] = {
        {lower, lower, true},
        {lower, upper, true},
        {lower, "3f5b" + std::string(60, '0'), false},
        {lower, lower.substr(0, 63), false},                 // 63 digits
        {lower + "0", lower + "0", false},                   // 65 digits, even when equal
        {"", "", false},                                     // nothing never matches nothing
        {std::string(64, 'g'), std::string(64, 'g'), false}, // not hex, even when equal
        {a, std::string(64, 'A'), true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.x + " / " + r.y);
        EXPECT_EQ(same_sha256_hex(r.x, r.y), r.same);
        EXPECT_EQ(same_sha256_hex(r.y, r.x), r.same);
    }
}

TEST(shell_candidate, must_name_the_offered_version_and_the_running_product) {
    const shell_identity running{{1, 0, 0, 0}, L"Quillmarsh Launcher"};
    const shell_version offered{1, 1, 0, 0};
    struct row {
        shell_identity candidate;
        candidate_verdict want;
    };
    const row rows[] = {
        {{{1, 1, 0, 0}, L"Quillmarsh Launcher"}, candidate_verdict::fits},
        // An exe whose record is below the offer would be offered again on the next run, and again:
        // it is never installed, so no run loops.
        {{{1, 0, 0, 0}, L"Quillmarsh Launcher"}, candidate_verdict::other_version},
        {{{1, 2, 0, 0}, L"Quillmarsh Launcher"}, candidate_verdict::other_version},
        {{{1, 1, 0, 1}, L"Quillmarsh Launcher"}, candidate_verdict::other_version},
        {{{1, 1, 0, 0}, L"Other Launcher"}, candidate_verdict::other_product},
        {{{1, 1, 0, 0}, L"quillmarsh launcher"}, candidate_verdict::other_product},  // exact, case counts
        {{{1, 1, 0, 0}, L""}, candidate_verdict::other_product},
        {{{1, 0, 0, 0}, L"Other"}, candidate_verdict::other_version},  // the version is told first
    };
    for (const row& r : rows) {
        SCOPED_TRACE(narrow_ascii(version_text(r.candidate.version)) + " " + narrow_ascii(r.candidate.product));
        EXPECT_EQ(check_candidate(offered, r.candidate, running), r.want);
    }
    // A running shell without a product name accepts nothing, not even a candidate without one.
    EXPECT_EQ(check_candidate(offered, {{1, 1, 0, 0}, L""}, {{1, 0, 0, 0}, L""}), candidate_verdict::other_product);
}

TEST(self_test_command_line, only_the_program_and_the_exact_argument) {
    struct row {
        const wchar_t* line;
        bool self_test;
    };
    const row rows[] = {
        {L"\"C:\\Games\\Quillmarsh Launcher.exe\" --self-test", true},
        {L"C:\\Games\\QuillmarshLauncher.exe --self-test", true},
        {L"\"C:\\a b\\x.exe\"   --self-test  ", true},   // blanks around it
        {L"\"C:\\a b\\x.exe\"\t--self-test", true},
        {L"\"C:\\a b\\x.exe\"", false},                  // a normal start
        {L"\"C:\\a b\\x.exe\" ", false},
        {L"\"C:\\a b\\x.exe\" --self-test extra", false},
        {L"\"C:\\a b\\x.exe\" --SELF-TEST", false},
        {L"\"C:\\a b\\x.exe\" -self-test", false},
        {L"\"C:\\a b\\x.exe\"--self-test", false},      // not an argument of its own
        {L"\"C:\\--self-test\"", false},                 // inside the program's own name
        {L"C:\\--self-test", false},
        {L"\"C:\\a b\\x.exe --self-test", false},       // an unclosed quote is all program
        {L"", false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(narrow_ascii(r.line));
        EXPECT_EQ(is_self_test_command_line(r.line), r.self_test);
    }
    // What the installer starts is what the entry recognises.
    EXPECT_EQ(self_test_command_line(L"C:\\a b\\x.exe.new"), L"\"C:\\a b\\x.exe.new\" --self-test");
    EXPECT_TRUE(is_self_test_command_line(self_test_command_line(L"C:\\a b\\x.exe.new")));
}
