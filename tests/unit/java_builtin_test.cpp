// Provisioning of the built-in Java 17 against the fault-injecting test server, with the java.exe,
// tar.exe and powershell.exe doubles; and the Java 17 stage's texts.
#include <gtest/gtest.h>

#include <cwctype>
#include <thread>

#include "java/java_internal.h"
#include "net/net_internal.h"
#include "base/log.h"
#include "shell/panel_internal.h"
#include "shell/server_address.h"
#include "shell/stages.h"
#include "java_test_support.h"
#include "net_test_server.h"

using namespace java_test;

namespace {

// Tells this run's server paths from those of earlier runs against the same server (Wine reuses
// small process ids, and the server counts hits per path for its whole life).
const std::wstring& run_tag() {
    static const std::wstring tag = std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount64());
    return tag;
}

// The cap the built-in path gets in the product.
download_limits archive_limits() {
    return download_limits{max_archive_bytes(), std::nullopt};
}

const std::string& java_double_bytes() {
    static const std::string bytes = double_bytes(L"java");
    return bytes;
}

// One provisioning scene: a launcher directory, the tar and PowerShell doubles in the system folder as
// asked, a tools folder that holds their ini and log files and is the whole PATH (so nothing is found
// by search), and archives served by the test server.
struct scene {
    temp_dir temp{L"java17"};
    std::wstring launcher = temp.path + L"\\launcher";
    std::wstring tools = temp.path + L"\\tools";
    std::vector<std::wstring> served_files;
    std::optional<support::unpack_doubles> doubles;
    std::optional<env_guard> path_guard;
    std::optional<env_guard> records_guard;

    explicit scene(bool with_tar = true, bool with_powershell = true, const std::wstring& launcher_name = L"launcher") {
        launcher = temp.path + L"\\" + launcher_name;
        make_dirs(launcher);
        set_log_file(launcher + L"\\launcher.log");
        make_dirs(tools);
        doubles.emplace(with_tar, with_powershell);
        path_guard.emplace(L"PATH", tools);
        records_guard.emplace(L"QUILLMARSH_DOUBLE_DIR", tools);
    }
    ~scene() {
        set_log_file(L"");
        for (const std::wstring& file : served_files) DeleteFileW(file.c_str());
    }

    std::wstring target() const { return launcher + L"\\Java17"; }
    std::wstring staging() const { return launcher + L"\\Java17.new"; }
    std::wstring archive() const { return launcher + L"\\Java17.zip"; }

    // A path of its own on the server; `options` as the server's /set takes them.
    std::wstring route(const std::wstring& options) {
        static int counter = 0;
        const std::wstring path = L"/java17-tests/" + run_tag() + L"/" + std::to_wstring(++counter) + L"/Java17.zip";
        test_server::set_route(path, options);
        return path;
    }

    // The bytes as a file the server can send (in its state folder, which Linux and Wine both see).
    std::wstring file_option(const std::string& bytes) {
        static int counter = 0;
        const std::wstring name = L"java17_" + run_tag() + L"_" + std::to_wstring(++counter) + L".zip";
        const std::wstring windows_path = test_server::state_dir() + L"\\" + name;
        write_file(windows_path, bytes);
        served_files.push_back(windows_path);
        wchar_t unix_dir[1024] = {};
        GetEnvironmentVariableW(L"QUILLMARSH_TEST_SERVER", unix_dir, 1024);
        return L"file=" + test_server::encode(narrow(std::wstring(unix_dir) + L"/" + name));
    }

    std::wstring url(const std::wstring& path) const { return test_server::url(test_server::find()->http, path); }

    std::string log_of(const wchar_t* tool) const {
        return read_file(tools + L"\\" + tool + L"_double.log");
    }
};

std::string archive_with(const std::vector<std::string>& java_paths, const std::string& ini = {}) {
    std::vector<std::pair<std::string, std::string>> entries;
    for (const std::string& path : java_paths) {
        entries.emplace_back(path, java_double_bytes());
        if (!ini.empty()) entries.emplace_back(path.substr(0, path.rfind('/')) + "/java_double.ini", ini);
    }
    return make_zip(entries);
}

// The panel's messages in the order the stage posted them: texts, and progress values (negative hides).
struct panel_messages {
    std::vector<std::wstring> texts;
    std::vector<std::int32_t> progress;
};

// Takes this thread's queued panel messages, noting them before the panel handles them.
panel_messages drain_panel(HWND window) {
    panel_messages seen;
    MSG msg;
    while (PeekMessageW(&msg, window, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_STATUS_TEXT && msg.lParam != 0) {
            seen.texts.push_back(*reinterpret_cast<const std::wstring*>(msg.lParam));
        }
        if (msg.message == WM_STATUS_PROGRESS) {
            seen.progress.push_back(static_cast<std::int32_t>(static_cast<std::uint32_t>(msg.wParam & 0xFFFFFFFFu)));
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return seen;
}

// Closes a panel made by the test and waits for its end.
void close_panel(HWND window) {
    PostMessageW(window, WM_STATUS_CLOSE, 0, 0);
    MSG msg;
    for (int i = 0; i < 3000 && IsWindow(window); ++i) {
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message != WM_QUIT) DispatchMessageW(&msg);
        }
        Sleep(10);
    }
    g_status_text.clear();
    g_status_progress = -1;
}

#define NEED_SERVER()                                                                      \
    if (!test_server::find()) GTEST_SKIP() << "the test server fixture is not running"

}  // namespace

TEST(java17_provisioning, an_existing_home_is_returned_at_once_whether_or_not_it_passes_the_probe) {
    NEED_SERVER();
    struct row {
        const char* name;
        std::string ini;
    };
    const row rows[] = {{"works", "version.exit=0\n"}, {"fails the probe", "version.exit=1\n"}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        scene s;
        const std::wstring home = s.target() + L"\\jdk-17.0.2";
        make_double_home(home, r.ini);
        const std::wstring path = s.route(s.file_option(archive_with({"jdk/bin/java.exe"})));
        std::wstring error = L"untouched";
        const auto result = ensure_builtin_java17(s.launcher, s.url(path), L"", false, error, {}, archive_limits());
        EXPECT_EQ(result, std::optional<std::wstring>(home));
        EXPECT_EQ(error, L"untouched");
        EXPECT_EQ(test_server::hits(path), 0u);
        EXPECT_EQ(java_starts(home).size(), 1u);  // probed once
    }
}

TEST(java17_provisioning, a_missing_runtime_is_downloaded_unpacked_and_swapped_in) {
    NEED_SERVER();
    struct row {
        const char* name;
        std::vector<std::string> java_paths;
        std::wstring relative;
    };
    const row rows[] = {
        {"one top-level directory", {"jdk-17.0.2+8/bin/java.exe"}, L"\\jdk-17.0.2+8"},
        {"two levels", {"vendor/jdk17/bin/java.exe"}, L"\\vendor\\jdk17"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        scene s;
        make_dirs(s.target());                                     // present but empty
        write_file(s.staging() + L"\\stale\\leftover.txt", "x");  // a run that was cut short
        const std::string zip = archive_with(r.java_paths);
        const std::wstring path = s.route(s.file_option(zip));
        std::uint64_t last_done = 0;
        std::uint64_t last_total = 0;
        int calls = 0;
        std::wstring error = L"earlier warning";
        const auto result = ensure_builtin_java17(s.launcher, s.url(path), L"", false, error,
                                                  [&](std::uint64_t done, std::uint64_t total) {
                                                      ++calls;
                                                      last_done = done;
                                                      last_total = total;
                                                  },
                                                  archive_limits());
        EXPECT_EQ(result, std::optional<std::wstring>(s.target() + r.relative));
        EXPECT_EQ(error, L"");
        EXPECT_EQ(test_server::hits(path), 1u);
        EXPECT_GT(calls, 0);
        EXPECT_EQ(last_done, zip.size());
        EXPECT_EQ(last_total, zip.size());
        EXPECT_EQ(read_file(s.target() + r.relative + L"\\bin\\java.exe"), java_double_bytes());
        EXPECT_FALSE(exists(s.staging()));
        EXPECT_FALSE(exists(s.archive()));
        EXPECT_FALSE(exists(s.target() + L"\\stale"));
        EXPECT_NE(s.log_of(L"tar").find("cmdline=tar.exe -xf \"" + narrow(s.archive()) + "\" -C \"" +
                                        narrow(s.staging()) + "\""),
                  std::string::npos);
        EXPECT_EQ(s.log_of(L"powershell"), "");  // tar worked: PowerShell never started
    }
}

TEST(java17_provisioning, a_failed_first_download_is_followed_by_a_second_attempt) {
    NEED_SERVER();
    scene s;
    const std::string zip = archive_with({"jdk/bin/java.exe"});
    const std::wstring good = s.file_option(zip);
    // The first response stalls between pieces and is reset half-way; while it runs, the route is
    // switched to the whole archive, which the second attempt then gets.
    const std::wstring path = s.route(good + L"&drop_after=" + std::to_wstring(zip.size() / 2) +
                                      L"&chunk=16384&delay_ms=50");
    bool switched = false;
    std::wstring error;
    const auto result = ensure_builtin_java17(s.launcher, s.url(path), L"", false, error, [&](std::uint64_t, std::uint64_t) {
        if (!switched) switched = test_server::set_route(path, good);
    }, archive_limits());
    ASSERT_TRUE(switched);
    EXPECT_EQ(result, std::optional<std::wstring>(s.target() + L"\\jdk"));
    EXPECT_EQ(error, L"");
    EXPECT_EQ(test_server::hits(path), 2u);
    EXPECT_FALSE(exists(s.staging()));
    EXPECT_FALSE(exists(s.archive()));
}

TEST(java17_provisioning, powershell_unpacks_when_tar_is_missing_even_below_a_path_with_an_apostrophe) {
    NEED_SERVER();
    scene s(false, true, L"O'Brien\\launcher");
    const std::wstring path = s.route(s.file_option(archive_with({"jdk-17/bin/java.exe"})));
    std::wstring error;
    const auto result = ensure_builtin_java17(s.launcher, s.url(path), L"", false, error, {}, archive_limits());
    EXPECT_EQ(result, std::optional<std::wstring>(s.target() + L"\\jdk-17"));
    EXPECT_EQ(error, L"");
    // The double read the literals as PowerShell would: the apostrophe survived the quoting.
    EXPECT_NE(s.log_of(L"powershell").find("archive=" + narrow(s.archive()) + "\n"), std::string::npos);
    EXPECT_NE(s.log_of(L"powershell").find("destination=" + narrow(s.staging()) + "\n"), std::string::npos);
    EXPECT_FALSE(exists(s.archive()));
}

TEST(java17_provisioning, tar_runs_from_the_system_folder_never_beside_the_program_or_in_the_working_folder) {
    NEED_SERVER();
    scene s;
    s.records_guard.reset();  // every copy of the double keeps its ini and log beside itself
    const std::wstring system_log = support::system_folder() + L"\\tar_double.log";
    DeleteFileW(system_log.c_str());
    // Planted copies that would fail the unpack if they ran (PowerShell would then cover for them,
    // so only their logs can tell).
    std::wstring own(32768, L'\0');
    own.resize(GetModuleFileNameW(nullptr, own.data(), static_cast<DWORD>(own.size())));
    const std::wstring beside = own.substr(0, own.rfind(L'\\'));
    const std::wstring working = s.temp.sub(L"working");
    for (const std::wstring& dir : {beside, working}) {
        ASSERT_TRUE(CopyFileW(double_path(L"tar").c_str(), (dir + L"\\tar.exe").c_str(), FALSE));
        write_file(dir + L"\\tar_double.ini", "exit=7\n");
    }
    wchar_t previous_cwd[MAX_PATH + 1] = {};
    GetCurrentDirectoryW(MAX_PATH + 1, previous_cwd);
    SetCurrentDirectoryW(working.c_str());

    const std::wstring path = s.route(s.file_option(archive_with({"jdk/bin/java.exe"})));
    std::wstring error;
    const auto result = ensure_builtin_java17(s.launcher, s.url(path), L"", false, error, {}, archive_limits());

    SetCurrentDirectoryW(previous_cwd);
    const std::string system_record = read_file(system_log);
    std::vector<std::string> planted_records;
    for (const std::wstring& dir : {beside, working}) {
        planted_records.push_back(read_file(dir + L"\\tar_double.log"));
        for (const wchar_t* name : {L"\\tar.exe", L"\\tar_double.ini", L"\\tar_double.log"}) {
            DeleteFileW((dir + name).c_str());
        }
    }
    DeleteFileW(system_log.c_str());

    EXPECT_EQ(result, std::optional<std::wstring>(s.target() + L"\\jdk"));
    EXPECT_EQ(error, L"");
    // The command line is the one the search would have taken; only where the program comes from changed.
    EXPECT_NE(system_record.find("cmdline=tar.exe -xf \"" + narrow(s.archive()) + "\" -C \"" + narrow(s.staging()) +
                                 "\""),
              std::string::npos)
        << system_record;
    EXPECT_EQ(planted_records, std::vector<std::string>({"", ""}));
}

TEST(java17_provisioning, when_both_unpackers_fail_the_tar_reason_is_reported) {
    NEED_SERVER();
    struct row {
        const char* name;
        bool with_tar;
        std::wstring want_inside;  // empty: the tar start failure, built from the paths
    };
    const row rows[] = {{"tar fails with 3", true, L"завершился с кодом 3"}, {"tar missing", false, L""}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        scene s(r.with_tar, true);
        if (r.with_tar) write_file(s.tools + L"\\tar_double.ini", "exit=3\n");
        write_file(s.tools + L"\\powershell_double.ini", "exit=1\n");
        const std::wstring path = s.route(s.file_option(archive_with({"jdk/bin/java.exe"})));
        std::wstring error;
        const auto result = ensure_builtin_java17(s.launcher, s.url(path), L"", false, error, {}, archive_limits());
        const std::wstring inside = r.want_inside.empty() ? L"не удалось запустить: tar.exe -xf \"" + s.archive() +
                                                               L"\" -C \"" + s.staging() + L"\""
                                                         : r.want_inside;
        EXPECT_FALSE(result.has_value());
        EXPECT_EQ(error, L"распаковка не удалась (" + inside + L")");
        EXPECT_EQ(test_server::hits(path), 2u);
        EXPECT_FALSE(exists(s.archive()));
        EXPECT_FALSE(exists(s.staging()));
        EXPECT_FALSE(exists(s.target()));
    }
}

TEST(java17_provisioning, an_archive_without_a_working_home_one_or_two_levels_down_fails_both_attempts) {
    NEED_SERVER();
    struct row {
        const char* name;
        std::string zip;
    };
    const row rows[] = {
        {"java.exe at the root", archive_with({"bin/java.exe"})},
        {"three levels down", archive_with({"a/b/jdk/bin/java.exe"})},
        {"runtime fails the probe", archive_with({"jdk/bin/java.exe"}, "version.exit=1\n")},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        scene s;
        const std::wstring path = s.route(s.file_option(r.zip));
        std::wstring error;
        const auto result = ensure_builtin_java17(s.launcher, s.url(path), L"", false, error, {}, archive_limits());
        EXPECT_FALSE(result.has_value());
        EXPECT_EQ(error, L"Java 17 распакована, но java.exe не запускается");
        EXPECT_EQ(test_server::hits(path), 2u);
        EXPECT_FALSE(exists(s.staging()));
        EXPECT_FALSE(exists(s.archive()));
        EXPECT_FALSE(exists(s.target()));
    }
}

TEST(java17_provisioning, a_download_that_fails_twice_reports_the_download_reason) {
    NEED_SERVER();
    scene s;
    const std::wstring path = s.route(L"status=404&body=missing");
    std::wstring error;
    const auto result = ensure_builtin_java17(s.launcher, s.url(path), L"", false, error, {}, archive_limits());
    EXPECT_FALSE(result.has_value());
    const std::wstring prefix = L"скачивание Java 17 не удалось: ";
    EXPECT_EQ(error.substr(0, prefix.size()), prefix);
    EXPECT_GT(error.size(), prefix.size());
    // Two attempts, each as many requests as one download makes (it may try a second route).
    const std::wstring single = s.route(L"status=404&body=missing");
    std::wstring single_error;
    EXPECT_FALSE(download_to_file(s.url(single), s.temp.path + L"\\single.zip", archive_limits(), {}, single_error));
    EXPECT_EQ(error, prefix + single_error);
    EXPECT_EQ(test_server::hits(path), 2 * test_server::hits(single));
    EXPECT_FALSE(exists(s.staging()));
    EXPECT_FALSE(exists(s.archive()));
}

TEST(java17_provisioning, a_version_key_is_compared_without_letter_case_and_a_mismatch_stops_at_once) {
    NEED_SERVER();
    const std::string zip = archive_with({"jdk/bin/java.exe"});
    std::wstring upper = platform_sha256_hex(zip);
    for (wchar_t& c : upper) c = static_cast<wchar_t>(towupper(c));
    std::wstring wrong = platform_sha256_hex(zip);
    wrong[0] = wrong[0] == L'0' ? L'1' : L'0';
    struct row {
        const char* name;
        std::wstring key;
        bool accepted;
    };
    const row rows[] = {{"upper case", upper, true}, {"one digit off", wrong, false}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        scene s;
        const std::wstring path = s.route(s.file_option(zip));
        std::wstring error;
        const auto result = ensure_builtin_java17(s.launcher, s.url(path), r.key, false, error, {}, archive_limits());
        EXPECT_EQ(result.has_value(), r.accepted);
        EXPECT_EQ(error, r.accepted ? L"" : L"скачанный Java17.zip не совпадает с ключом версии");
        EXPECT_EQ(test_server::hits(path), 1u);  // a mismatch gets no second attempt
        EXPECT_FALSE(exists(s.archive()));
        EXPECT_FALSE(exists(s.staging()));
        EXPECT_EQ(s.log_of(L"tar").empty(), !r.accepted);  // a mismatched archive is never unpacked
    }
}

TEST(java17_provisioning, forced_provisioning_replaces_a_working_home_or_keeps_it_with_a_warning) {
    NEED_SERVER();
    {
        SCOPED_TRACE("replaced");
        scene s;
        make_double_home(s.target() + L"\\old-jdk");
        const std::wstring path = s.route(s.file_option(archive_with({"new-jdk/bin/java.exe"})));
        std::wstring error;
        const auto result = ensure_builtin_java17(s.launcher, s.url(path), L"", true, error, {}, archive_limits());
        EXPECT_EQ(result, std::optional<std::wstring>(s.target() + L"\\new-jdk"));
        EXPECT_EQ(error, L"");
        EXPECT_FALSE(exists(s.target() + L"\\old-jdk"));
    }
    {
        SCOPED_TRACE("kept");
        scene s;
        make_double_home(s.target() + L"\\old-jdk");
        const std::wstring path = s.route(L"status=500");
        std::wstring error;
        const auto result = ensure_builtin_java17(s.launcher, s.url(path), L"", true, error, {}, archive_limits());
        EXPECT_EQ(result, std::optional<std::wstring>(s.target() + L"\\old-jdk"));
        EXPECT_EQ(error.rfind(L"скачивание Java 17 не удалось: ", 0), 0u);
        EXPECT_TRUE(exists(s.target() + L"\\old-jdk\\bin\\java.exe"));
    }
}

// ---- A clean unpack folder, the archive held while it is unpacked, the unpackers' job --------------

TEST(java17_provisioning, a_leftover_staging_folder_that_cannot_be_removed_fails_the_attempt_before_any_download) {
    NEED_SERVER();
    struct row {
        const char* name;
        bool as_file;  // a file planted under the folder's name instead of a folder with a held file
    };
    for (const row& r : {row{"a file inside held open", false}, row{"a file in the folder's place", true}}) {
        SCOPED_TRACE(r.name);
        scene s;
        const std::wstring held = r.as_file ? s.staging() : s.staging() + L"\\jdk\\bin\\java.exe";
        write_file(held, "left over");
        // Another program reads it and lets others read it, nothing more: it cannot be deleted.
        kernel_handle holder{CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)};
        ASSERT_TRUE(holder);
        const std::wstring path = s.route(s.file_option(archive_with({"jdk/bin/java.exe"})));
        std::wstring error;
        const auto result = ensure_builtin_java17(s.launcher, s.url(path), L"", false, error, {}, archive_limits());
        holder.reset();
        EXPECT_FALSE(result.has_value());
        EXPECT_EQ(error, L"не удалось очистить папку распаковки: " + s.staging());
        EXPECT_EQ(test_server::hits(path), 0u);  // nothing downloaded, nothing merged
        EXPECT_EQ(s.log_of(L"tar"), "");
        EXPECT_EQ(read_file(held), "left over");
        EXPECT_FALSE(exists(s.target()));
    }
}

// Another program that writes into the archive in the one moment between the download and the unpack
// when no handle holds it.
bool g_archive_written = false;
void write_into_archive(const std::wstring& path) {
    kernel_handle file{CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, 0, nullptr)};
    DWORD written = 0;
    g_archive_written = file && WriteFile(file.get(), "PK", 2, &written, nullptr) && written == 2;
}

TEST(java17_provisioning, an_archive_changed_after_its_download_is_never_unpacked) {
    NEED_SERVER();
    scene s;
    const std::wstring path = s.route(s.file_option(archive_with({"jdk/bin/java.exe"})));
    g_archive_written = false;
    g_downloaded_file_hook = &write_into_archive;
    std::wstring error;
    const auto result = ensure_builtin_java17(s.launcher, s.url(path), L"", false, error, {}, archive_limits());
    g_downloaded_file_hook = nullptr;
    ASSERT_TRUE(g_archive_written);
    EXPECT_FALSE(result.has_value());
    EXPECT_EQ(error, L"скачивание Java 17 не удалось: Файл изменён после скачивания: " + s.archive());
    EXPECT_EQ(test_server::hits(path), 2u);
    EXPECT_EQ(s.log_of(L"tar"), "");
    EXPECT_EQ(s.log_of(L"powershell"), "");
    EXPECT_FALSE(exists(s.archive()));
    EXPECT_FALSE(exists(s.staging()));
}

TEST(java17_provisioning, an_archive_over_the_cap_is_refused_and_nothing_is_left) {
    NEED_SERVER();
    scene s;
    const std::string zip = archive_with({"jdk/bin/java.exe"});
    struct row {
        const char* name;
        std::wstring options;
        std::wstring want;
    };
    const std::wstring cap = std::to_wstring(zip.size() - 1);
    const row rows[] = {
        {"announced", s.file_option(zip),
         L"Файл на сервере слишком большой (" + std::to_wstring(zip.size()) + L" байт, допустимо не больше " + cap + L")"},
        {"not announced", s.file_option(zip) + L"&length=0",
         L"Сервер передаёт больше данных, чем допустимо (не больше " + cap + L" байт)"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        const std::wstring path = s.route(r.options);
        std::wstring error;
        const auto result = ensure_builtin_java17(s.launcher, s.url(path), L"", false, error, {},
                                                  download_limits{zip.size() - 1, std::nullopt});
        EXPECT_FALSE(result.has_value());
        EXPECT_EQ(error, L"скачивание Java 17 не удалось: " + r.want);
        EXPECT_FALSE(exists(s.archive()));
        EXPECT_FALSE(exists(s.staging()));
        EXPECT_EQ(s.log_of(L"tar"), "");
    }
}

TEST(java17_unpacker, a_hung_unpacker_ends_when_the_job_handle_closes) {
    scene s;
    write_file(s.tools + L"\\tar_double.ini", "hang=1\n");
    const kernel_handle release{CreateEventW(nullptr, TRUE, FALSE, L"Local\\quillmarsh-tar-double-release")};
    ASSERT_TRUE(release);
    // The result is not checked: the code of a process ended with its job says nothing about the job.
    std::wstring error = L"untouched";
    const std::wstring command = L"tar.exe -xf \"x.zip\" -C \"" + s.staging() + L"\"";
    std::thread runner([&] { run_system_program(kTarProgram, command, error); });
    // The double says when it hangs; only then is it surely in the job (it joins before it runs).
    bool hanging = false;
    for (int i = 0; i < 3000 && !hanging; ++i) {
        hanging = s.log_of(L"tar").find("hanging\n") != std::string::npos;
        if (!hanging) Sleep(20);
    }
    ASSERT_TRUE(hanging) << s.log_of(L"tar");
    // What the end of the shell's process does to the job, done alone.
    g_system_program_job.reset();
    runner.join();
    SetEvent(release.get());  // lets a double that was not ended go on its own
    EXPECT_NE(error, L"превышен таймаут (120 сек)");
    EXPECT_EQ(s.log_of(L"tar").find("released"), std::string::npos) << s.log_of(L"tar");
}

TEST(java17_stage, leftovers_of_a_killed_run_go_even_when_the_runtime_is_present) {
    NEED_SERVER();
    scene s;
    const std::wstring home = s.target() + L"\\jdk";
    make_double_home(home);
    write_file(s.archive(), "half an archive");
    write_file(s.staging() + L"\\jdk\\bin\\java.exe", "half unpacked");
    const std::wstring base_path = L"/java17-stage-leftovers-" + run_tag();
    env_guard base(L"QUILLMARSH_BASE_URL", s.url(base_path));
    launch_context launch;
    launch.launcher_dir = s.launcher;
    stage_failure failure;
    EXPECT_TRUE(run_java17_stage(launch, failure));
    EXPECT_EQ(launch.java_home, home);
    EXPECT_FALSE(exists(s.archive()));
    EXPECT_FALSE(exists(s.staging()));
    EXPECT_EQ(test_server::hits(base_path + builtin_java_archive_path()), 0u);
}

TEST(java17_stage, a_ready_runtime_is_logged_and_handed_on) {
    NEED_SERVER();
    scene s;
    const std::wstring home = s.target() + L"\\jdk";
    make_double_home(home);
    const std::wstring base_path = L"/java17-stage-unused-" + run_tag();
    env_guard base(L"QUILLMARSH_BASE_URL", s.url(base_path));
    launch_context launch;
    launch.launcher_dir = s.launcher;
    stage_failure failure;
    EXPECT_TRUE(run_java17_stage(launch, failure));
    EXPECT_EQ(launch.java_home, home);
    const std::string log = read_file(s.launcher + L"\\launcher.log");
    EXPECT_NE(log.find("Подготовка встроенной Java 17...\r\n"), std::string::npos);
    EXPECT_NE(log.find("Встроенная Java 17 готова.\r\n"), std::string::npos);
    EXPECT_EQ(test_server::hits(base_path + builtin_java_archive_path()), 0u);
}

TEST(java17_stage, provisioning_from_the_built_in_path_and_the_failure_texts) {
    NEED_SERVER();
    scene s;
    const std::wstring base_path = L"/java17-stage-" + run_tag();
    test_server::set_route(base_path + builtin_java_archive_path(), s.file_option(archive_with({"jdk/bin/java.exe"})));
    {
        env_guard base(L"QUILLMARSH_BASE_URL", s.url(base_path));
        const HWND panel = create_status_window(GetModuleHandleW(nullptr));
        ASSERT_NE(panel, nullptr);
        drain_panel(panel);
        launch_context launch;
        launch.launcher_dir = s.launcher;
        stage_failure failure;
        EXPECT_TRUE(run_java17_stage(launch, failure));
        EXPECT_EQ(launch.java_home, s.target() + L"\\jdk");
        // The bar shows while the archive downloads and is hidden when the stage ends.
        const panel_messages seen = drain_panel(panel);
        close_panel(panel);
        EXPECT_EQ(seen.texts, std::vector<std::wstring>{L"Подготовка Java 17..."});
        ASSERT_GE(seen.progress.size(), 2u);
        EXPECT_EQ(seen.progress[seen.progress.size() - 2], 1000);
        EXPECT_LT(seen.progress.back(), 0);
    }
    support::remove_tree(s.target());
    test_server::set_route(base_path + builtin_java_archive_path(), L"status=404");
    env_guard base(L"QUILLMARSH_BASE_URL", s.url(base_path));
    launch_context launch;
    launch.launcher_dir = s.launcher;
    stage_failure failure;
    EXPECT_FALSE(run_java17_stage(launch, failure));
    const std::wstring log_prefix = L"ОШИБКА: не удалось подготовить Java 17: скачивание Java 17 не удалось: ";
    ASSERT_EQ(failure.log.rfind(log_prefix, 0), 0u);
    const std::wstring error = failure.log.substr(log_prefix.size() - std::wstring(L"скачивание Java 17 не удалось: ").size());
    EXPECT_EQ(failure.box, L"Не удалось скачать и распаковать Java 17.\n\n" + error +
                               L"\n\nПроверьте интернет-соединение и перезапустите лаунчер.\n\nПодробности: " +
                               s.launcher + L"\\launcher.log");
}
