// The entry's run_shell with fake thread starters: what it passes to the threads, the single-instance
// mutex, and the end it takes when the worker thread cannot be created.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "shell/shell.h"
#include "tests/e2e/driver.h"

namespace {

struct start_record {
    void (*body)(void*);
    void* argument;
    bool panel_shown;  // the panel existed and was visible when the thread was started
};
std::vector<start_record> g_starts;

void record(void (*body)(void*), void* argument) {
    const bool shown = IsWindow(g_status_window) && IsWindowVisible(g_status_window) &&
                       e2e::class_of(g_status_window) == L"QuillmarshStatusWnd";
    g_starts.push_back({body, argument, shown});
}

// Starts nothing; the "worker" closes the panel at once, as a finished launch sequence would.
bool closing_starter(void (*body)(void*), void* argument) {
    record(body, argument);
    if (g_starts.size() == 1) PostMessageW(g_status_window, WM_STATUS_CLOSE, 0, 0);
    return true;
}

bool failing_starter(void (*body)(void*), void* argument) {
    record(body, argument);
    return false;
}

const wchar_t kMutexName[] = L"QuillmarshLauncher.Shell.Instance";

// The launcher directory of these tests: a temp folder of their own.
class shell_entry : public testing::Test {
protected:
    void SetUp() override {
        g_starts.clear();
        reset_launcher_dir_for_tests();
        resolve_launcher_dir({dir.path}, dir.path + L"\\probe.log");
        g_status_window = nullptr;
    }
    void TearDown() override { reset_launcher_dir_for_tests(); }
    e2e::temp_dir dir;
};

TEST_F(shell_entry, starts_the_worker_then_the_watchdog_with_300000_ms) {
    EXPECT_EQ(run_shell(GetModuleHandleW(nullptr), closing_starter), 0);
    ASSERT_EQ(g_starts.size(), 2u);
    EXPECT_EQ(g_starts[0].argument, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(g_starts[1].argument), 300000u);
    EXPECT_NE(g_starts[0].body, g_starts[1].body);
    EXPECT_TRUE(g_starts[0].panel_shown) << "threads start only once the panel is up";
    EXPECT_FALSE(IsWindow(g_status_window));

    // The mutex was closed on the way out: the next shell gets a new one.
    HANDLE mutex = CreateMutexW(nullptr, TRUE, kMutexName);
    ASSERT_NE(mutex, nullptr);
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    CloseHandle(mutex);
}

TEST_F(shell_entry, second_shell_returns_0_without_a_window_or_threads) {
    HANDLE other = CreateMutexW(nullptr, TRUE, kMutexName);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(run_shell(GetModuleHandleW(nullptr), closing_starter), 0);
    EXPECT_TRUE(g_starts.empty());
    EXPECT_EQ(g_status_window, nullptr);
    ReleaseMutex(other);
    CloseHandle(other);
}

TEST_F(shell_entry, worker_that_cannot_start_ends_with_a_box_a_log_line_and_code_1) {
    // The box is modal on this thread: answer it from another one.
    std::atomic<bool> stop{false};
    std::vector<e2e::box_seen> boxes;
    std::thread answerer([&] {
        while (!stop.load()) {
            for (HWND w : e2e::process_windows(GetCurrentProcessId())) {
                e2e::box_seen b;
                if (IsWindowVisible(w) && e2e::read_box(w, b)) {
                    if (boxes.empty() || boxes.back().window != w) boxes.push_back(b);
                    e2e::dismiss_box(w);
                }
            }
            Sleep(20);
        }
    });
    const int code = run_shell(GetModuleHandleW(nullptr), failing_starter);
    stop.store(true);
    answerer.join();

    EXPECT_EQ(code, 1);
    EXPECT_EQ(g_starts.size(), 1u) << "no watchdog without a worker";
    EXPECT_FALSE(IsWindow(g_status_window)) << "the panel must not be left hanging";
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, L"Quillmarsh Launcher");
    EXPECT_EQ(boxes[0].text, L"Не удалось запустить лаунчер.\n\nПерезапустите компьютер и попробуйте снова.");
    const std::optional<std::string> log = e2e::read_file(dir.path + L"\\launcher.log");
    ASSERT_TRUE(log.has_value());
    EXPECT_NE(log->find(e2e::narrow(L"] ОШИБКА: не удалось создать рабочий поток лаунчера.\r\n")), std::string::npos);
}

}  // namespace
