// The shell's self-update on real files under Wine: a newer exe (the new_shell double, built with the
// shell's resources at 1.1.0.0) replaces a running one, and every refusal leaves the old exe in place.
// The self-test bound is the test's own, so a hanging exe costs a fraction of a second, never a sleep.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/handle.h"
#include "base/log.h"
#include "base/text.h"
#include "net/net.h"
#include "shell/self_update.h"
#include "tests/e2e/driver.h"

namespace {

const wchar_t kMutexName[] = L"QuillmarshLauncher.Shell.Instance";

// The double's record: one UTF-8 line per start, each ended by LF.
std::vector<std::wstring> record_lines(const std::wstring& path) {
    std::vector<std::wstring> lines;
    const std::wstring text = e2e::widen(e2e::read_bytes(path));
    std::size_t from = 0;
    for (std::size_t end = text.find(L'\n'); end != std::wstring::npos; end = text.find(L'\n', from)) {
        lines.push_back(text.substr(from, end - from));
        from = end + 1;
    }
    return lines;
}

std::string digest_hex(const std::string& bytes) {
    return to_utf8(hex_lower(sha256_bytes(bytes)));
}

class self_update_files : public testing::Test {
protected:
    void SetUp() override {
        new_bytes = e2e::read_bytes(e2e::test_bin(L"doubles\\new_shell\\new_shell.exe"));
        ASSERT_FALSE(new_bytes.empty()) << "the new_shell double is not built";
        // The running shell: the same program with bytes appended after its image (they are never
        // loaded), so it runs like the double and is told apart from it by its content.
        old_bytes = new_bytes + "appended to tell the old exe apart";
        app = dir.sub(L"app folder");
        exe = app + L"\\QuillmarshLauncher.exe";
        ASSERT_TRUE(e2e::write_file(exe, old_bytes));
        set_log_file(dir.file(L"launcher.log"));

        offer.url = L"http://127.0.0.1:9/launcher/QuillmarshLauncher.exe";
        offer.sha256_hex = digest_hex(new_bytes);
        offer.size = new_bytes.size();
        offer.version = {1, 1, 0, 0};

        env.exe_path = exe;
        env.running = {{1, 0, 0, 0}, L"Quillmarsh Launcher"};
        env.command_line = L"\"" + exe + L"\" --from-test \"a b\"";
        env.working_dir = dir.sub(L"work");
        env.download = [this](const std::wstring& url, const std::wstring& path, std::uint64_t expected,
                              std::wstring& error) -> std::optional<std::string> {
            downloads.push_back(url + L" -> " + path + L" (" + std::to_wstring(expected) + L")");
            if (!download_error.empty()) {
                error = download_error;
                return std::nullopt;
            }
            const std::string& bytes = served.empty() ? new_bytes : served;
            if (!e2e::write_file(path, bytes)) {
                error = L"write failed";
                return std::nullopt;
            }
            if (!second_name.empty() && !CreateHardLinkW(second_name.c_str(), path.c_str(), nullptr)) {
                error = L"no hard link";
                return std::nullopt;
            }
            return reported_digest.empty() ? digest_hex(bytes) : reported_digest;
        };
        env.status = [this](std::wstring_view text) { statuses.emplace_back(text); };
        env.release_instance = [this] {
            ++releases;
            mutex.reset();
        };
        // Generous: a loaded machine may take seconds to start a Wine process, and a self-test that
        // passes ends as soon as it has started.
        env.self_test_limit_ms = 60000;
    }
    void TearDown() override { set_log_file(L""); }

    std::wstring log() const { return e2e::widen(e2e::read_bytes(dir.file(L"launcher.log"))); }
    std::vector<std::wstring> records() const { return record_lines(record_path()); }
    std::wstring record_path() const { return dir.file(L"record.txt"); }

    // Nothing installed: the old exe as it was, no .new, no .old, no mutex released, the reason logged.
    void expect_untouched(const std::wstring& error, const std::wstring& reason) {
        EXPECT_EQ(error, reason) << "replaced whole by the reason";
        EXPECT_TRUE(e2e::read_bytes(exe) == old_bytes) << "content of " << e2e::narrow(exe);
        EXPECT_FALSE(e2e::exists(exe + L".new"));
        EXPECT_FALSE(e2e::exists(exe + L".old"));
        EXPECT_EQ(releases, 0);
        const std::wstring line =
            L"] ОШИБКА обновления лаунчера: " + reason + L". Продолжаю с текущей версией.\r\n";
        EXPECT_NE(log().find(line), std::wstring::npos)
            << e2e::narrow(log());
    }

    e2e::temp_dir dir{L"self update"};
    std::string new_bytes, old_bytes;
    std::wstring app, exe;
    shell_offer offer;
    self_update_env env;
    std::vector<std::wstring> downloads, statuses;
    std::wstring download_error;
    std::string served, reported_digest;
    std::wstring second_name;  // a hard link the download makes to its file
    int releases = 0;
    kernel_handle mutex;
    e2e::env_var record{L"QUILLMARSH_DOUBLE_RECORD", dir.file(L"record.txt")};
};

TEST_F(self_update_files, swaps_a_running_exe_and_starts_the_new_one_with_the_same_line_and_folder) {
    // The old exe is running from its file, as the shell is when it updates itself (it records nothing:
    // its environment is the minimal one).
    e2e::launch running;
    running.exe = exe;
    running.arguments = L"--self-test";
    running.env.set(L"QUILLMARSH_DOUBLE_SELF_TEST", L"hang");
    e2e::process old_process;
    std::wstring start_error;
    ASSERT_TRUE(old_process.start(running, start_error)) << e2e::narrow(start_error);

    mutex.reset(CreateMutexW(nullptr, TRUE, kMutexName));
    ASSERT_TRUE(mutex);
    const kernel_handle started{CreateEventW(nullptr, TRUE, FALSE, L"QuillmarshTest.SelfUpdate.Started")};
    const e2e::env_var done(L"QUILLMARSH_DOUBLE_DONE", L"QuillmarshTest.SelfUpdate.Started");

    std::wstring error = L"untouched";
    ASSERT_EQ(self_update(offer, env, error), self_update_result::installed_restarting);
    EXPECT_EQ(error, L"untouched");
    ASSERT_EQ(WaitForSingleObject(started.get(), 60000), WAIT_OBJECT_0) << "the new exe recorded no start";

    EXPECT_TRUE(e2e::read_bytes(exe) == new_bytes) << "content of " << e2e::narrow(exe);
    EXPECT_TRUE(e2e::read_bytes(exe + L".old") == old_bytes) << "content of " << e2e::narrow(exe + L".old");
    EXPECT_FALSE(e2e::exists(exe + L".new"));
    EXPECT_EQ(releases, 1);
    ASSERT_EQ(downloads.size(), 1u);
    EXPECT_EQ(downloads[0], offer.url + L" -> " + exe + L".new (" + std::to_wstring(new_bytes.size()) + L")");

    // The self-test ran the downloaded file by its full path; the restart ran the installed one with this
    // run's command line and folder, after the mutex was gone.
    const std::vector<std::wstring> lines = records();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], L"self-test|\"" + exe + L".new\" --self-test");
    EXPECT_EQ(lines[1], L"start|" + env.command_line + L"|" + env.working_dir + L"|mutex free");

    const std::vector<std::wstring> want_statuses = {
        L"Скачивание новой версии лаунчера...", L"Проверка новой версии лаунчера...",
        L"Установка новой версии лаунчера...", L"Перезапуск лаунчера..."};
    EXPECT_EQ(statuses, want_statuses);
    const std::wstring text = log();
    EXPECT_NE(text.find(L"] Доступна новая версия лаунчера: 1.1.0.0 (текущая 1.0.0.0).\r\n"),
              std::wstring::npos);
    EXPECT_NE(text.find(L"] Лаунчер обновлён до версии 1.1.0.0 — перезапуск.\r\n"), std::wstring::npos);
    EXPECT_EQ(text.find(L"ОШИБКА"), std::wstring::npos);

    // The next run removes the old exe once its process has ended.
    old_process.kill();
    remove_previous_shell(exe);
    EXPECT_FALSE(e2e::exists(exe + L".old"));
    EXPECT_NE(log().find(L"] Удалена прежняя версия лаунчера: " + exe + L".old\r\n"), std::wstring::npos);
}

TEST_F(self_update_files, an_older_old_exe_is_replaced_and_a_leftover_new_one_is_not_used) {
    ASSERT_TRUE(e2e::write_file(exe + L".old", "an older shell"));
    ASSERT_TRUE(e2e::write_file(exe + L".new", "left by a killed run"));
    std::wstring error;
    ASSERT_EQ(self_update(offer, env, error), self_update_result::installed_restarting) << e2e::narrow(error);
    EXPECT_TRUE(e2e::read_bytes(exe) == new_bytes) << "content of " << e2e::narrow(exe);
    EXPECT_TRUE(e2e::read_bytes(exe + L".old") == old_bytes) << "content of " << e2e::narrow(exe + L".old");
}

TEST_F(self_update_files, an_equal_or_lower_offer_does_nothing_at_all) {
    for (const shell_version v : {shell_version{1, 0, 0, 0}, shell_version{0, 9, 0, 0}}) {
        SCOPED_TRACE(e2e::narrow(version_text(v)));
        offer.version = v;
        std::wstring error = L"untouched";
        EXPECT_EQ(self_update(offer, env, error), self_update_result::not_newer);
        EXPECT_EQ(error, L"untouched");
    }
    EXPECT_TRUE(downloads.empty());
    EXPECT_TRUE(statuses.empty());
    EXPECT_TRUE(e2e::read_bytes(exe) == old_bytes) << "content of " << e2e::narrow(exe);
    EXPECT_FALSE(e2e::exists(exe + L".new"));
    EXPECT_FALSE(e2e::exists(dir.file(L"launcher.log"))) << "not even a line";
}

TEST_F(self_update_files, a_new_exe_that_fails_its_self_test_is_not_installed) {
    struct row {
        const wchar_t* mode;
        std::uint32_t limit_ms;
        std::wstring reason;
    };
    const row rows[] = {
        {L"fail", 60000, L"самопроверка новой версии завершилась с кодом 1"},
        // Never ends: terminated at the bound (the test's own, far below the 10 s of a real run).
        {L"hang", 300, L"самопроверка новой версии: превышен таймаут (1 сек)"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(e2e::narrow(r.mode));
        const e2e::env_var mode(L"QUILLMARSH_DOUBLE_SELF_TEST", r.mode);
        env.self_test_limit_ms = r.limit_ms;
        std::wstring error;
        EXPECT_EQ(self_update(offer, env, error), self_update_result::failed_continue);
        expect_untouched(error, r.reason);
    }
    // The failing one was really started (the hanging one may be ended before it gets to write).
    const std::vector<std::wstring> lines = records();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], L"self-test|\"" + exe + L".new\" --self-test");
}

// The swap is made and then the new exe cannot be started (here: this run's working folder is gone).
// The new file leaves the exe's name, the running exe gets it back, and this run keeps its mutex.
TEST_F(self_update_files, a_new_exe_that_cannot_be_started_after_the_swap_is_undone) {
    env.working_dir = dir.file(L"a folder that is gone");
    std::wstring error;
    EXPECT_EQ(self_update(offer, env, error), self_update_result::failed_continue);
    const std::wstring reason = L"не удалось запустить новую версию";
    ASSERT_EQ(error.rfind(reason, 0), 0u) << e2e::narrow(error);
    EXPECT_EQ(error.find(L"вернуть"), std::wstring::npos) << "the old exe went back under its name";
    expect_untouched(error, error);
    // Only the self-test ran.
    const std::vector<std::wstring> lines = records();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], L"self-test|\"" + exe + L".new\" --self-test");
    EXPECT_EQ(statuses.back(), L"Перезапуск лаунчера...");
}

TEST_F(self_update_files, a_version_record_other_than_the_offer_is_not_installed) {
    struct row {
        shell_version offered;
        std::wstring running_product;
        std::wstring reason;
    };
    const row rows[] = {
        // The manifest promises more than the file is: installing it would offer it again on every run.
        {{1, 2, 0, 0}, L"Quillmarsh Launcher", L"версия скачанного файла 1.1.0.0 вместо 1.2.0.0"},
        {{1, 1, 0, 0}, L"Other Launcher", L"скачанный файл от другого продукта: \"Quillmarsh Launcher\""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(e2e::narrow(r.reason));
        offer.version = r.offered;
        env.running.product = r.running_product;
        std::wstring error;
        EXPECT_EQ(self_update(offer, env, error), self_update_result::failed_continue);
        expect_untouched(error, r.reason);
    }
    EXPECT_FALSE(e2e::exists(record_path())) << "no self-test for a refused file";
}

TEST_F(self_update_files, a_size_or_digest_other_than_the_offer_is_not_installed) {
    const std::wstring size_reason =
        L"размер скачанного файла не совпадает с ожидаемым (" + std::to_wstring(new_bytes.size()) + L" байт)";
    const std::wstring digest_reason = L"хеш скачанного файла не совпадает с ожидаемым";
    std::string other_digest = digest_hex(new_bytes);
    other_digest[10] = other_digest[10] == '0' ? '1' : '0';
    struct row {
        const char* name;
        std::string served;           // empty: the new exe
        std::string reported_digest;  // empty: the digest of what was served
        std::wstring download_error;
        std::wstring reason;
    };
    const row rows[] = {
        {"one byte more", new_bytes + "x", "", L"", size_reason},
        {"one byte less", new_bytes.substr(0, new_bytes.size() - 1), "", L"", size_reason},
        {"same size, one byte changed", new_bytes.substr(0, 100) + "#" + new_bytes.substr(101), "", L"",
         digest_reason},
        // The download saw other bytes than the release's: refused on its word alone.
        {"download saw other bytes", "", other_digest, L"", digest_reason},
        // The download saw the release's bytes, but the file holds others (changed after it was
        // written): the bytes read back are what counts.
        {"file changed after the download", new_bytes.substr(0, 100) + "#" + new_bytes.substr(101),
         digest_hex(new_bytes), L"", digest_reason},
        {"download failed", "", "", L"Сервер вернул код 404",
         L"не удалось скачать новую версию: Сервер вернул код 404"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        served = r.served;
        reported_digest = r.reported_digest;
        download_error = r.download_error;
        std::wstring error;
        EXPECT_EQ(self_update(offer, env, error), self_update_result::failed_continue);
        expect_untouched(error, r.reason);
    }
    EXPECT_FALSE(e2e::exists(record_path())) << "no self-test for a refused file";
}

TEST_F(self_update_files, a_file_with_a_second_name_is_not_installed) {
    // Whoever made the other name could write into the installed exe through it later.
    second_name = dir.file(L"other name.exe");
    std::wstring error;
    EXPECT_EQ(self_update(offer, env, error), self_update_result::failed_continue);
    expect_untouched(error, L"скачанный файл не является обычным файлом: " + exe + L".new");
    EXPECT_TRUE(e2e::read_bytes(second_name) == new_bytes) << "the link was made";
}

TEST_F(self_update_files, the_next_run_removes_only_a_file_named_old) {
    remove_previous_shell(exe);
    EXPECT_FALSE(e2e::exists(dir.file(L"launcher.log"))) << "nothing to remove, nothing said";

    // A folder of that name is no exe left behind: it and its contents stay.
    ASSERT_TRUE(e2e::write_file(exe + L".old\\keep.txt", "keep"));
    remove_previous_shell(exe);
    EXPECT_EQ(e2e::read_bytes(exe + L".old\\keep.txt"), "keep");
    ASSERT_TRUE(e2e::remove_tree(exe + L".old"));

    ASSERT_TRUE(e2e::write_file(exe + L".old", old_bytes));
    remove_previous_shell(exe);
    EXPECT_FALSE(e2e::exists(exe + L".old"));
    EXPECT_TRUE(e2e::read_bytes(exe) == old_bytes) << "content of " << e2e::narrow(exe);
}

// The version records read through the loader, against the system's own reader of the same file.
TEST(self_update_records, identity_of_a_file_matches_the_system_version_reader) {
    const std::wstring files[] = {e2e::shell_exe(), e2e::test_bin(L"doubles\\new_shell\\new_shell.exe")};
    for (const std::wstring& file : files) {
        SCOPED_TRACE(e2e::narrow(file));
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
        ASSERT_GT(size, 0u);
        std::vector<BYTE> block(size);
        ASSERT_TRUE(GetFileVersionInfoW(file.c_str(), 0, size, block.data()));
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
        wchar_t* product = nullptr;
        ASSERT_TRUE(VerQueryValueW(block.data(), L"\\StringFileInfo\\040904b0\\ProductName",
                                   reinterpret_cast<void**>(&product), &length));

        const std::optional<shell_identity> got = file_identity(file);
        ASSERT_TRUE(got.has_value());
        const shell_version want{HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                                 HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS)};
        EXPECT_EQ(got->version, want);
        EXPECT_EQ(got->product, std::wstring(product));
        EXPECT_EQ(got->product, L"Quillmarsh Launcher");
        // The record's text form follows its numbers.
        wchar_t* text = nullptr;
        ASSERT_TRUE(VerQueryValueW(block.data(), L"\\StringFileInfo\\040904b0\\FileVersion",
                                   reinterpret_cast<void**>(&text), &length));
        EXPECT_EQ(std::wstring(text), version_text(got->version));
    }
    // The double really is the higher build the swap tests need, the shell the default one.
    EXPECT_EQ(file_identity(files[0])->version, (shell_version{1, 0, 0, 0}));
    EXPECT_EQ(file_identity(files[1])->version, (shell_version{1, 1, 0, 0}));
    EXPECT_FALSE(file_identity(e2e::test_bin(L"doubles\\java\\java.exe")).has_value()) << "no record at all";
}

TEST(self_update_records, a_process_without_a_record_has_no_environment_for_an_update) {
    self_update_env env;
    std::wstring error = L"previous";
    EXPECT_FALSE(current_self_update_env(env, error)) << "unit_tests.exe carries no version record";
    EXPECT_EQ(error, L"не удалось прочитать версию программы");
}

// The real shell in its self-test mode: exit 0, no window, nothing written anywhere (a normal start
// shows the panel and writes the probe log at once).
TEST(self_update_self_test, the_shell_starts_and_ends_with_0_without_a_trace) {
    e2e::sandbox s;
    e2e::launch l = s.shell();
    l.arguments = L"--self-test";
    const e2e::run_result r = e2e::run(l, e2e::time_limit(30000));
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0u);
    EXPECT_TRUE(r.boxes.empty());
    EXPECT_FALSE(r.panel.has_value());
    EXPECT_FALSE(e2e::exists(s.probe_log())) << "the launcher directory was never looked for";
    EXPECT_FALSE(e2e::exists(s.roaming + L"\\.quillmarsh"));
    EXPECT_FALSE(e2e::exists(s.local + L"\\.quillmarsh"));
}

}  // namespace
