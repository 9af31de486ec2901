// The real shell choosing its launcher directory: the probe log's lines and reasons, the program
// folder's fallback, a stale write-test file, the launcher log's byte order mark, and F1 when nothing
// is writable.
#include <gtest/gtest.h>

#include <regex>

#include "base/handle.h"
#include "tests/e2e/driver.h"

namespace {

using e2e::narrow;

// Copies the shell into `folder` (created), so that its own folder's candidate is under test control.
std::wstring copy_shell_into(const std::wstring& folder) {
    e2e::make_dirs(folder);
    const std::wstring target = folder + L"\\QuillmarshLauncher.exe";
    EXPECT_TRUE(CopyFileW(e2e::shell_exe().c_str(), target.c_str(), FALSE)) << GetLastError();
    return target;
}

// The platform's own answer for creating `dir` (the oracle for "создание каталога: код N").
DWORD create_dir_error(const std::wstring& dir) {
    if (CreateDirectoryW(dir.c_str(), nullptr)) {
        RemoveDirectoryW(dir.c_str());
        return 0;
    }
    return GetLastError();
}

// The platform's own answer for creating the write-test file in `dir`.
DWORD create_test_file_error(const std::wstring& dir) {
    const std::wstring file = dir + L"\\.quillmarsh_write_test";
    kernel_handle h{CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (h) {
        h.reset();
        DeleteFileW(file.c_str());
        return 0;
    }
    return GetLastError();
}

std::wstring probe(const std::wstring& candidate, const std::wstring& outcome) {
    return L"[probe] " + candidate + L" -> " + outcome;
}

std::vector<std::wstring> probe_lines(const e2e::sandbox& s) {
    const std::optional<std::wstring> text = e2e::read_utf16_file(s.probe_log());
    if (!text) return {};
    return e2e::split_lines(*text);
}

void expect_clean_end(const e2e::run_result& r) {
    ASSERT_TRUE(r.started) << narrow(r.start_error);
    EXPECT_TRUE(r.exited) << "killed after the time limit";
    EXPECT_EQ(r.exit_code, 0u);
}

const std::string kBom = "\xEF\xBB\xBF";

TEST(shell_launcher_dir, nothing_writable_shows_f1_naming_the_first_candidate) {
    e2e::sandbox s;
    // Every candidate's own folder is blocked by a file of the same name.
    ASSERT_TRUE(e2e::write_file(s.roaming + L"\\.quillmarsh", "x"));
    ASSERT_TRUE(e2e::write_file(s.local + L"\\.quillmarsh", "x"));
    ASSERT_TRUE(e2e::write_file(s.temp + L"\\.quillmarsh", "x"));
    const std::wstring app = s.dir.sub(L"app");
    ASSERT_TRUE(e2e::write_file(app + L"\\launcher_data", "x"));
    e2e::launch l = s.shell();
    l.exe = copy_shell_into(app);

    const e2e::run_result r = e2e::run(l);
    expect_clean_end(r);
    ASSERT_EQ(r.boxes.size(), 1u);
    EXPECT_EQ(r.boxes[0].title, L"Quillmarsh Launcher");
    EXPECT_EQ(r.boxes[0].text,
              L"Лаунчеру не удалось создать свои файлы.\n\nКаталог: " + s.roaming_launcher() +
                  L"\n\nПроверьте права на запись в этот каталог, настройки антивируса и синхронизацию облачных "
                  L"папок (OneDrive и т.п.).\n\nЕсли это не помогает, запустите лаунчер от имени администратора.");
    EXPECT_EQ(r.boxes[0].icon, e2e::box_icon::error);

    const std::wstring local_launcher = s.local + L"\\.quillmarsh\\launcher";
    const std::wstring temp_launcher = s.temp + L"\\.quillmarsh\\launcher";
    const std::wstring app_data = app + L"\\launcher_data";
    std::vector<std::wstring> want = {
        probe(s.roaming_launcher(), L"создание каталога: код " + std::to_wstring(create_dir_error(s.roaming_launcher()))),
        probe(local_launcher, L"создание каталога: код " + std::to_wstring(create_dir_error(local_launcher))),
        // launcher_data exists (as a file), so creation "succeeds" and the write test fails twice.
        probe(app_data, L"тестовый файл: код " + std::to_wstring(create_test_file_error(app_data))),
        probe(temp_launcher, L"создание каталога: код " + std::to_wstring(create_dir_error(temp_launcher))),
    };
    // Those that failed for a missing parent are tried once more (the parent, a file here, stays).
    for (const std::wstring& candidate : {s.roaming_launcher(), local_launcher, temp_launcher}) {
        if (create_dir_error(candidate) == ERROR_PATH_NOT_FOUND) {
            want.push_back(probe(candidate, L"создание каталога: код 3"));
        }
    }
    EXPECT_EQ(probe_lines(s), want);
    // The log lives in the unwritable directory: nothing of it exists anywhere.
    EXPECT_FALSE(e2e::file_exists(s.roaming_launcher() + L"\\launcher.log"));
}

TEST(shell_launcher_dir, missing_profile_parent_falls_back_to_the_program_folder) {
    e2e::sandbox s;  // both profile folders exist, without .quillmarsh in them
    const std::wstring app = s.dir.sub(L"app");
    e2e::launch l = s.shell();
    l.exe = copy_shell_into(app);

    const e2e::run_result r = e2e::run(l);
    expect_clean_end(r);
    const std::wstring app_data = app + L"\\launcher_data";
    // ERROR_PATH_NOT_FOUND for both profile candidates; no line after the one that passed.
    const std::vector<std::wstring> want = {
        probe(s.roaming_launcher(), L"создание каталога: код 3"),
        probe(s.local + L"\\.quillmarsh\\launcher", L"создание каталога: код 3"),
        probe(app_data, L"OK"),
    };
    EXPECT_EQ(probe_lines(s), want);
    EXPECT_FALSE(e2e::file_exists(app_data + L"\\.quillmarsh_write_test"));

    const std::optional<std::string> log = e2e::read_file(app_data + L"\\launcher.log");
    ASSERT_TRUE(log.has_value());
    const std::vector<std::wstring> lines = e2e::split_lines(e2e::widen(log->substr(kBom.size())));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(22), L"=== Запуск лаунчера ===");
    EXPECT_EQ(lines[1].substr(22), L"Каталог лаунчера: " + app_data);
}

TEST(shell_launcher_dir, stale_write_test_file_does_not_block_the_candidate) {
    e2e::sandbox s;
    ASSERT_TRUE(e2e::make_dirs(s.roaming_launcher()));
    const std::wstring stale = s.roaming_launcher() + L"\\.quillmarsh_write_test";
    ASSERT_TRUE(e2e::write_file(stale, "left over by a crashed run"));

    const e2e::run_result r = e2e::run(s.shell());
    expect_clean_end(r);
    EXPECT_EQ(probe_lines(s), std::vector<std::wstring>{probe(s.roaming_launcher(), L"OK")});
    EXPECT_FALSE(e2e::file_exists(stale));
    EXPECT_TRUE(e2e::file_exists(s.roaming_launcher() + L"\\launcher.log"));
}

TEST(shell_launcher_dir, byte_order_mark_only_at_the_start_of_a_new_log) {
    e2e::sandbox s;
    ASSERT_TRUE(e2e::make_dirs(s.roaming + L"\\.quillmarsh"));
    const std::wstring log_path = s.roaming_launcher() + L"\\launcher.log";

    expect_clean_end(e2e::run(s.shell()));
    const std::optional<std::string> first = e2e::read_file(log_path);
    ASSERT_TRUE(first.has_value());
    expect_clean_end(e2e::run(s.shell()));
    const std::optional<std::string> second = e2e::read_file(log_path);
    ASSERT_TRUE(second.has_value());

    ASSERT_EQ(second->compare(0, first->size(), *first), 0) << "the second run only appends";
    EXPECT_EQ(second->substr(0, 3), kBom);
    EXPECT_EQ(second->find(kBom, 3), std::string::npos);

    // Each run starts its part with a stamped banner right after the previous part (later stages may
    // log texts of their own with line breaks inside, so only the banners are looked at).
    const std::wregex banner(LR"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] === Запуск лаунчера ===)");
    const std::vector<std::wstring> lines = e2e::split_lines(e2e::widen(second->substr(3)));
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(std::regex_match(lines[0], banner)) << narrow(lines[0]);
    const std::vector<std::wstring> second_part = e2e::split_lines(e2e::widen(second->substr(first->size())));
    ASSERT_FALSE(second_part.empty());
    EXPECT_TRUE(std::regex_match(second_part[0], banner)) << narrow(second_part[0]);
    int banners = 0;
    for (const std::wstring& l : lines) banners += std::regex_match(l, banner) ? 1 : 0;
    EXPECT_EQ(banners, 2);
    EXPECT_EQ(second->substr(second->size() - 2), "\r\n");
}

TEST(shell_launcher_dir, existing_log_without_mark_gets_none) {
    e2e::sandbox s;
    ASSERT_TRUE(e2e::make_dirs(s.roaming_launcher()));
    const std::wstring log_path = s.roaming_launcher() + L"\\launcher.log";
    ASSERT_TRUE(e2e::write_file(log_path, "written elsewhere\r\n"));

    expect_clean_end(e2e::run(s.shell()));
    const std::optional<std::string> log = e2e::read_file(log_path);
    ASSERT_TRUE(log.has_value());
    EXPECT_EQ(log->rfind("written elsewhere\r\n[", 0), 0u);
    EXPECT_EQ(log->find(kBom), std::string::npos);
}

}  // namespace
