// Resolution of the launcher directory over given candidates, its UTF-16LE probe log, and the
// candidate list of this machine.
#include <gtest/gtest.h>

#include "base/handle.h"
#include "shell/launcher_dir_internal.h"
#include "tests/e2e/driver.h"

namespace {

std::wstring probe(const std::wstring& candidate, const std::wstring& outcome) {
    return L"[probe] " + candidate + L" -> " + outcome;
}

// The platform's own error for creating the write-test file in `dir` (oracle for "тестовый файл").
DWORD test_file_error(const std::wstring& dir) {
    const std::wstring file = dir + L"\\.quillmarsh_write_test";
    kernel_handle h{CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (!h) return GetLastError();
    h.reset();
    DeleteFileW(file.c_str());
    return 0;
}

class launcher_directory : public testing::Test {
protected:
    std::wstring probe_log() const { return dir.path + L"\\probe.log"; }
    std::vector<std::wstring> probe_lines() const {
        return e2e::split_lines(e2e::read_utf16_file(probe_log()).value_or(L""));
    }
    e2e::temp_dir dir;
};

TEST_F(launcher_directory, first_passing_candidate_wins_and_every_try_is_logged) {
    const std::wstring missing_parent = dir.path + L"\\no_parent\\launcher";
    const std::wstring fresh = dir.path + L"\\fresh";
    const std::wstring existing = dir.sub(L"existing");
    const std::wstring stale = dir.sub(L"stale");
    ASSERT_TRUE(e2e::write_file(stale + L"\\.quillmarsh_write_test", "stale"));
    const std::wstring blocked = dir.sub(L"blocked");
    // A folder in place of the test file: it can be neither created nor deleted.
    ASSERT_TRUE(e2e::make_dirs(blocked + L"\\.quillmarsh_write_test"));
    const std::wstring blocked_reason = L"тестовый файл: код " + std::to_wstring(test_file_error(blocked));

    struct row {
        const char* name;
        std::vector<std::wstring> candidates;
        std::wstring chosen;
        std::vector<std::wstring> lines;
    };
    const row rows[] = {
        {"new directory", {fresh}, fresh, {probe(fresh, L"OK")}},
        {"existing directory passes", {existing}, existing, {probe(existing, L"OK")}},
        {"stale test file is replaced", {stale}, stale, {probe(stale, L"OK")}},
        {"empty path, missing parent, blocked test file, then one that passes, and none after it",
         {L"", missing_parent, blocked, existing, fresh},
         existing,
         {probe(L"", L"пустой путь"), probe(missing_parent, L"создание каталога: код 3"),
          probe(blocked, blocked_reason), probe(existing, L"OK")}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        DeleteFileW(probe_log().c_str());
        const launcher_location got = resolve_launcher_dir(r.candidates, probe_log());
        EXPECT_EQ(got.dir, r.chosen);
        EXPECT_TRUE(got.writable);
        EXPECT_EQ(probe_lines(), r.lines);
        EXPECT_TRUE(e2e::dir_exists(r.chosen));
        EXPECT_FALSE(e2e::file_exists(r.chosen + L"\\.quillmarsh_write_test")) << "the test file is removed";
    }
    EXPECT_FALSE(e2e::dir_exists(missing_parent)) << "parents are never created";
}

TEST_F(launcher_directory, nothing_writable_keeps_the_first_candidate) {
    // Two levels short: the second try, after making the missing parent, cannot help either.
    const std::wstring a = dir.path + L"\\x\\x2\\a";
    const std::wstring b = dir.path + L"\\y\\y2\\b";
    const launcher_location got = resolve_launcher_dir({a, b}, probe_log());
    EXPECT_EQ(got.dir, a);
    EXPECT_FALSE(got.writable);
    const std::vector<std::wstring> want = {probe(a, L"создание каталога: код 3"),
                                            probe(b, L"создание каталога: код 3"),
                                            probe(a, L"создание каталога: код 3"),
                                            probe(b, L"создание каталога: код 3")};
    EXPECT_EQ(probe_lines(), want);
}

TEST_F(launcher_directory, probe_log_is_utf16le_without_mark_and_grows) {
    const std::wstring good = dir.path + L"\\каталог лаунчера";
    resolve_launcher_dir({good}, probe_log());
    resolve_launcher_dir({good}, probe_log());
    const std::optional<std::string> bytes = e2e::read_file(probe_log());
    ASSERT_TRUE(bytes.has_value());
    // Hand-built UTF-16LE of the line: every character as two little-endian bytes.
    const std::wstring line = probe(good, L"OK") + L"\r\n";
    std::string want;
    for (wchar_t c : line) {
        want.push_back(static_cast<char>(c & 0xFF));
        want.push_back(static_cast<char>((c >> 8) & 0xFF));
    }
    EXPECT_EQ(*bytes, want + want);
}

TEST_F(launcher_directory, unopenable_probe_log_is_skipped) {
    const std::wstring good = dir.path + L"\\good";
    const std::wstring nowhere = dir.path + L"\\missing\\probe.log";
    const launcher_location got = resolve_launcher_dir({good}, nowhere);
    EXPECT_EQ(got.dir, good);
    EXPECT_TRUE(got.writable);
    EXPECT_FALSE(e2e::file_exists(nowhere));
}

TEST_F(launcher_directory, resolved_once_per_process) {
    const support::profile_redirect profile(dir.sub(L"roaming"), dir.sub(L"local"));
    support::make_dirs(dir.path + L"\\roaming\\.quillmarsh");  // the candidate's parent; only its last element is made
    const support::env_var temp(L"TEMP", dir.path);
    const launcher_location& first = process_launcher_dir();
    const std::wstring probe_file = dir.path + L"\\quillmarsh_probe.log";
    const std::vector<std::wstring> before = support::split_lines(support::read_utf16_file(probe_file).value_or(L""));
    EXPECT_EQ(&process_launcher_dir(), &first);
    EXPECT_EQ(first.dir, dir.path + L"\\roaming\\.quillmarsh\\launcher");
    EXPECT_TRUE(first.writable);
    EXPECT_EQ(before.size(), 1u);
    EXPECT_EQ(support::split_lines(support::read_utf16_file(probe_file).value_or(L"")), before)
        << "no second resolution";
}

std::wstring own_directory() {
    wchar_t buffer[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    std::wstring path = buffer;
    return path.substr(0, path.find_last_of(L"\\/"));
}

TEST_F(launcher_directory, candidates_are_roaming_local_program_folder_and_temp) {
    const std::wstring roaming = dir.sub(L"roaming");
    const std::wstring local = dir.sub(L"local");
    const std::wstring temp = dir.sub(L"temp");
    e2e::profile_redirect profile(roaming, local);
    {
        support::env_var t(L"TEMP", temp.c_str());
        const std::vector<std::wstring> want = {roaming + L"\\.quillmarsh\\launcher", local + L"\\.quillmarsh\\launcher",
                                                own_directory() + L"\\launcher_data",
                                                temp + L"\\.quillmarsh\\launcher"};
        EXPECT_EQ(launcher_dir_candidates(), want);
    }
    {
        // Unset TEMP drops the last candidate; a profile folder that does not exist drops its own.
        support::env_var t(L"TEMP", nullptr);
        ASSERT_TRUE(RemoveDirectoryW(roaming.c_str()));
        const std::vector<std::wstring> want = {local + L"\\.quillmarsh\\launcher",
                                                own_directory() + L"\\launcher_data"};
        EXPECT_EQ(launcher_dir_candidates(), want);
    }
}

}  // namespace
