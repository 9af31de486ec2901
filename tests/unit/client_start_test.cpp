#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "client/client.h"
#include "client_test_support.h"

using client_test::java_starts;
using client_test::launcher_folder;

namespace {

// The client's command line as the double recorded it, back in UTF-16.
std::wstring recorded_cmdline(const client_test::java_start& s) {
    return from_utf8(s.cmdline);
}

class client_start : public testing::Test {
protected:
    void SetUp() override {
        if (client_test::java_double_exe().empty()) GTEST_SKIP() << "QUILLMARSH_TEST_BIN is not set";
    }
};

}  // namespace

TEST_F(client_start, runs_the_exact_command_line_in_the_launcher_directory_with_output_in_the_log) {
    launcher_folder folder;
    const std::wstring home = folder.file(L"Java Home с пробелом");
    ASSERT_TRUE(
        client_test::make_java_home(home, "jar.stdout=out-line\\n\njar.stderr=err-line\\n\njar.exit=7\n"));
    const std::wstring jar = folder.file(L"O'Brien jar.jar");
    const std::wstring log = folder.file(L"console.log");
    support::write_file(log, std::string(100, 'z'));  // emptied by the start
    SetEnvironmentVariableW(L"QUILLMARSH_HWID", L"hwid-for-child");

    std::wstring error = L"untouched";
    const kernel_handle process = start_client_process(home, jar, log, folder.path, error);
    SetEnvironmentVariableW(L"QUILLMARSH_HWID", nullptr);
    ASSERT_TRUE(process) << error;
    EXPECT_EQ(error, L"untouched");

    ASSERT_EQ(WaitForSingleObject(process.get(), 15000), WAIT_OBJECT_0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(process.get(), &code));
    EXPECT_EQ(code, 7u);

    const auto starts = java_starts(home);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].mode, "jar");
    EXPECT_EQ(recorded_cmdline(starts[0]), L"\"" + home + L"\\bin\\java.exe\" -jar \"" + jar + L"\"");
    EXPECT_TRUE(equal_ascii_nocase(from_utf8(starts[0].cwd), folder.path)) << starts[0].cwd;
    bool saw_hwid = false;
    for (const std::string& e : starts[0].env) saw_hwid = saw_hwid || e == "QUILLMARSH_HWID=hwid-for-child";
    EXPECT_TRUE(saw_hwid);
    // Standard output and standard error both land in the log, which the start emptied first.
    EXPECT_EQ(support::read_bytes(log), "out-line\nerr-line\n");
}

TEST_F(client_start, a_home_without_java_fails_with_code_2_and_the_executable_path) {
    launcher_folder folder;
    const std::wstring home = folder.file(L"no java here");
    std::wstring error;
    EXPECT_FALSE(start_client_process(home, folder.file(L"x.jar"), folder.file(L"c.log"), folder.path, error));
    EXPECT_EQ(error, L"Ошибка запуска Java (код 2): " + home + L"\\bin\\java.exe");
}

TEST_F(client_start, a_console_log_held_by_another_program_does_not_stop_the_start) {
    launcher_folder folder;
    const std::wstring home = folder.file(L"jdk");
    ASSERT_TRUE(client_test::make_java_home(home, "jar.stdout=lost\n"));
    const std::wstring log = folder.file(L"console.log");
    support::write_file(log, "kept");
    kernel_handle holder{CreateFileW(log.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)};
    ASSERT_TRUE(holder);

    std::wstring error;
    const kernel_handle process = start_client_process(home, folder.file(L"x.jar"), log, folder.path, error);
    ASSERT_TRUE(process) << error;
    EXPECT_EQ(WaitForSingleObject(process.get(), 15000), WAIT_OBJECT_0);
    holder.reset();
    EXPECT_EQ(support::read_bytes(log), "kept");
    EXPECT_EQ(java_starts(home).size(), 1u);
}

// A client that must count as started lives 4000 ms from its own start, so it is certainly alive
// when the 2500 ms grace period (counted from after its creation) ends, and ends by itself soon after.
TEST_F(client_start, a_client_alive_after_the_grace_period_counts_as_started) {
    launcher_folder folder;
    const std::wstring home = folder.file(L"jdk");
    ASSERT_TRUE(client_test::make_java_home(home, "jar.stdout=running\\n\njar.alive_ms=4000\n"));
    std::wstring error = L"untouched";
    std::wstring output = L"stale";
    const bool started = start_client_and_watch(folder.path, home, folder.file(L"QuillmarshLauncher.jar"), error, output);
    client_test::end_recorded_processes(home);
    EXPECT_TRUE(started);
    EXPECT_EQ(error, L"untouched");
    EXPECT_EQ(output, L"");
    // The log is the launcher directory's java_console.log.
    EXPECT_EQ(support::read_bytes(folder.file(L"java_console.log")), "running\n");
}

TEST_F(client_start, an_early_exit_reports_the_code_and_the_trimmed_console_tail) {
    std::string long_line;
    for (int i = 0; i < 2000; ++i) long_line.push_back(static_cast<char>('a' + i % 26));
    // 10000 bytes: the last 6000 start on the second byte of "Ж", and a zero byte early on must not
    // end the text because it lies before the part that is read.
    const std::string ten_k = "0123456789" + std::string(1, '\0') + std::string(3988, 'a') + "\xD0\x96" +
                              std::string(100, 'b') + std::string(5899, ' ');

    struct row {
        const char* name;
        std::string ini;
        std::wstring error, output;
    };
    const row rows[] = {
        {"code 0 still fails", "jar.exit=0\n", L"Клиент завершился сразу после запуска (код 0)", L""},
        {"crlf pairs and spaces go", "jar.exit=1\njar.stderr=Error: boom\\r\\n\\r\\n  \\r\\n\n",
         L"Клиент завершился сразу после запуска (код 1)", L"Error: boom"},
        {"a trailing tab stays", "jar.exit=1\njar.stdout=x\\t\\r\\n\n",
         L"Клиент завершился сразу после запуска (код 1)", L"x\t"},
        {"utf-8 output", "jar.exit=2\njar.stdout=Ошибка: нет памяти\\n\n",
         L"Клиент завершился сразу после запуска (код 2)", L"Ошибка: нет памяти"},
        {"a zero byte ends the text", "jar.exit=3\njar.stdout=before" + std::string(1, '\0') + "after\n",
         L"Клиент завершился сразу после запуска (код 3)", L"before"},
        {"cut to the last 1500", "jar.exit=4\njar.stdout=" + long_line + "\\n\n",
         L"Клиент завершился сразу после запуска (код 4)", from_utf8(long_line.substr(500))},
        {"only the last 6000 bytes", "jar.exit=5\njar.stdout=" + ten_k + "\n",
         L"Клиент завершился сразу после запуска (код 5)", L"\xFFFD" + std::wstring(100, L'b')},
        {"unsigned code", "jar.exit=3221225477\n", L"Клиент завершился сразу после запуска (код 3221225477)",
         L""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        launcher_folder folder;
        const std::wstring home = folder.file(L"jdk");
        ASSERT_TRUE(client_test::make_java_home(home, r.ini));
        std::wstring error;
        std::wstring output = L"stale";
        EXPECT_FALSE(start_client_and_watch(folder.path, home, folder.file(L"QuillmarshLauncher.jar"), error, output));
        EXPECT_EQ(error, r.error);
        EXPECT_EQ(output, r.output);
    }
}

TEST_F(client_start, a_start_that_cannot_happen_leaves_the_output_empty) {
    launcher_folder folder;
    std::wstring error;
    std::wstring output = L"stale";
    EXPECT_FALSE(start_client_and_watch(folder.path, folder.file(L"none"), folder.file(L"j.jar"), error, output));
    EXPECT_EQ(error, L"Ошибка запуска Java (код 2): " + folder.file(L"none") + L"\\bin\\java.exe");
    EXPECT_EQ(output, L"");
}

TEST_F(client_start, tries_keep_the_last_failure_and_log_each_outcome) {
    launcher_folder folder;
    const std::wstring dying = folder.file(L"dying");
    const std::wstring silent = folder.file(L"silent");
    const std::wstring healthy = folder.file(L"healthy");
    ASSERT_TRUE(client_test::make_java_home(dying, "jar.exit=9\njar.stderr=Unsupported class file\\r\\n\n"));
    ASSERT_TRUE(client_test::make_java_home(silent, "jar.exit=8\n"));
    ASSERT_TRUE(client_test::make_java_home(healthy, "jar.alive_ms=4000\n"));

    client_start_attempt attempt{folder.path, folder.file(L"QuillmarshLauncher.jar"), nullptr, L"", L""};
    EXPECT_FALSE(try_start_client(attempt, dying));
    EXPECT_EQ(attempt.error, L"Клиент завершился сразу после запуска (код 9)");
    EXPECT_EQ(attempt.client_output, L"Unsupported class file");
    EXPECT_FALSE(try_start_client(attempt, silent));
    EXPECT_EQ(attempt.error, L"Клиент завершился сразу после запуска (код 8)");
    EXPECT_EQ(attempt.client_output, L"");  // replaced, even by nothing
    attempt.client_output = L"from before";
    const bool started = try_start_client(attempt, healthy);
    client_test::end_recorded_processes(healthy);
    EXPECT_TRUE(started);
    EXPECT_EQ(attempt.error, L"Клиент завершился сразу после запуска (код 8)");
    EXPECT_EQ(attempt.client_output, L"from before");

    const std::wstring log = client_test::launcher_log(folder);
    const std::wstring lines[] = {
        L"] Клиент не запустился (Java: " + dying + L"): Клиент завершился сразу после запуска (код 9)\r\n",
        L"]   Вывод клиента: Unsupported class file\r\n",
        L"] Клиент не запустился (Java: " + silent + L"): Клиент завершился сразу после запуска (код 8)\r\n",
        L"] Клиент запущен (Java: " + healthy + L")\r\n",
    };
    std::size_t at = 0;
    for (const std::wstring& line : lines) {
        SCOPED_TRACE(testing::Message() << line.size());
        const std::size_t found = log.find(line, at);
        ASSERT_NE(found, std::wstring::npos);
        at = found + line.size();
    }
    // The silent client's failure has no output line.
    EXPECT_EQ(log.find(L"Вывод клиента"), log.rfind(L"Вывод клиента"));
}

namespace {

// "<volume>:<index>" of an open file, written as the Java double writes it.
std::string file_id(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info)) return "unreadable";
    char text[64];
    std::snprintf(text, sizeof text, "%08lx:%08lx%08lx", static_cast<unsigned long>(info.dwVolumeSerialNumber),
                  static_cast<unsigned long>(info.nFileIndexHigh), static_cast<unsigned long>(info.nFileIndexLow));
    return text;
}

std::string file_id(const std::wstring& path) {
    const kernel_handle file{CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                         FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr)};
    return file ? file_id(file.get()) : "missing";
}

}  // namespace

TEST_F(client_start, the_client_inherits_its_console_log_and_no_other_handle) {
    launcher_folder folder;
    // An inheritable handle of the shell's process that the client has no business with.
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const std::wstring secret = folder.file(L"secret.bin");
    const kernel_handle held{CreateFileW(secret.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)};
    ASSERT_TRUE(held);
    const std::string value = std::to_string(reinterpret_cast<std::uintptr_t>(held.get()));
    const std::wstring home = folder.file(L"home");
    ASSERT_TRUE(client_test::make_java_home(home, "jar.handles=" + value + "\n"));
    const std::wstring log = folder.file(L"java_console.log");

    std::wstring error;
    const kernel_handle process = start_client_process(home, folder.file(L"x.jar"), log, folder.path, error);
    ASSERT_TRUE(process) << testing::PrintToString(error);
    ASSERT_EQ(WaitForSingleObject(process.get(), 15000), WAIT_OBJECT_0);

    const auto starts = java_starts(home);
    ASSERT_EQ(starts.size(), 1u);
    // Standard output is the console log itself, so the double's lookup works; the held file's value
    // names nothing in the child (or some other file of its own), never the held file.
    const std::vector<std::string> want_stdout = {"stdout=" + file_id(log)};
    ASSERT_EQ(starts[0].handles.size(), 2u);
    EXPECT_EQ(starts[0].handles[0], want_stdout[0]);
    EXPECT_EQ(starts[0].handles[1].rfind("handle=" + value + " ", 0), 0u);
    EXPECT_NE(starts[0].handles[1], "handle=" + value + " " + file_id(held.get()))
        << "an inheritable handle outside the list reached the client";
}

TEST_F(client_start, a_link_at_the_console_log_is_replaced_not_written_through) {
    launcher_folder folder;
    const std::wstring home = folder.file(L"home");
    ASSERT_TRUE(client_test::make_java_home(home, "jar.stdout=client output\\n\n"));
    const std::wstring outside = folder.file(L"precious.txt");
    ASSERT_TRUE(support::write_file(outside, "keep me"));
    const std::wstring log = folder.file(L"java_console.log");
    // A hard link stands for any second name of a file elsewhere; it needs no privilege anywhere.
    ASSERT_TRUE(CreateHardLinkW(log.c_str(), outside.c_str(), nullptr));

    std::wstring error;
    const kernel_handle process = start_client_process(home, folder.file(L"x.jar"), log, folder.path, error);
    ASSERT_TRUE(process) << testing::PrintToString(error);
    ASSERT_EQ(WaitForSingleObject(process.get(), 15000), WAIT_OBJECT_0);
    EXPECT_EQ(support::read_bytes(outside), "keep me");
    EXPECT_EQ(support::read_bytes(log), "client output\n");
}
