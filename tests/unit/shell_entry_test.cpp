// The entry's run_shell with fake thread starters: what it passes to the threads, the single-instance
// mutex, and the end it takes when the worker thread cannot be created.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "base/handle.h"
#include "base/log.h"
#include "shell/entry_internal.h"
#include "shell/panel_internal.h"
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
        set_log_file(dir.path + L"\\launcher.log");
        g_status_window = nullptr;
    }
    void TearDown() override { set_log_file(L""); }
    e2e::temp_dir dir;
};

TEST_F(shell_entry, starts_the_worker_then_the_watchdog_with_300000_ms) {
    EXPECT_EQ(run_shell(GetModuleHandleW(nullptr), {.start_thread = closing_starter}), 0);
    ASSERT_EQ(g_starts.size(), 2u);
    EXPECT_EQ(g_starts[0].argument, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(g_starts[1].argument), 300000u);
    EXPECT_NE(g_starts[0].body, g_starts[1].body);
    EXPECT_TRUE(g_starts[0].panel_shown) << "threads start only once the panel is up";
    EXPECT_FALSE(IsWindow(g_status_window));

    // The mutex was closed on the way out: the next shell gets a new one.
    const kernel_handle mutex{CreateMutexW(nullptr, TRUE, kMutexName)};
    ASSERT_TRUE(mutex);
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
}

TEST_F(shell_entry, second_shell_returns_0_without_a_window_or_threads) {
    const kernel_handle other{CreateMutexW(nullptr, TRUE, kMutexName)};
    ASSERT_TRUE(other);
    EXPECT_EQ(run_shell(GetModuleHandleW(nullptr), {.start_thread = closing_starter}), 0);
    EXPECT_TRUE(g_starts.empty());
    EXPECT_EQ(g_status_window, nullptr);
    ReleaseMutex(other.get());
}

// Runs the shell and answers every box it shows (modal on one of this process's threads) from
// another thread; the boxes seen, in order.
int run_answering_boxes(const shell_setup& setup, std::vector<e2e::box_seen>& boxes) {
    std::atomic<bool> stop{false};
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
    const int code = run_shell(GetModuleHandleW(nullptr), setup);
    stop.store(true);
    answerer.join();
    return code;
}

TEST_F(shell_entry, worker_that_cannot_start_ends_with_a_box_a_log_line_and_code_1) {
    std::vector<e2e::box_seen> boxes;
    const int code = run_answering_boxes({.start_thread = failing_starter}, boxes);

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

// Starts the worker on a real thread; the watchdog "starts" but never runs.
bool worker_only_starter(void (*body)(void*), void* argument) {
    record(body, argument);
    return g_starts.size() == 1 ? start_detached_thread(body, argument) : true;
}

void throwing_worker(launch_context&) {
    throw std::bad_alloc();
}

TEST_F(shell_entry, an_exception_escaping_the_worker_ends_with_a_line_a_box_a_closed_panel_and_code_1) {
    std::vector<e2e::box_seen> boxes;
    const int code = run_answering_boxes(
        {.start_thread = worker_only_starter, .worker = throwing_worker}, boxes);

    EXPECT_EQ(code, 1);
    EXPECT_FALSE(IsWindow(g_status_window)) << "the panel must not be left hanging";
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, L"Quillmarsh Launcher");
    EXPECT_EQ(boxes[0].icon, e2e::box_icon::error);
    EXPECT_EQ(boxes[0].text, L"Произошла непредвиденная ошибка лаунчера.\n\nПерезапустите лаунчер.");
    const std::optional<std::string> log = e2e::read_file(dir.path + L"\\launcher.log");
    ASSERT_TRUE(log.has_value());
    EXPECT_NE(log->find(e2e::narrow(L"] ОШИБКА: непредвиденная ошибка лаунчера.\r\n")), std::string::npos);
}

}  // namespace
