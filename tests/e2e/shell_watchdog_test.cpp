// The watchdog with a short limit, in a process of its own (tests/programs/shell_probe.cpp), so that
// its forced end, its box and its log line can be seen; and the main-thread fallback that takes over
// when the watchdog thread cannot be created. Also the status texts' ownership when the panel is gone,
// counted by that program's allocator.
#include <gtest/gtest.h>

#include "tests/e2e/driver.h"

namespace {

using e2e::narrow;

const wchar_t kWatchdogBox[] =
    L"Лаунчер завис и был принудительно завершён.\n\nПроверьте интернет-соединение и перезапустите лаунчер.";

e2e::launch probe_program(const std::wstring& arguments, const e2e::temp_dir& dir) {
    e2e::launch l;
    l.exe = e2e::test_bin(L"programs/shell_probe.exe");
    l.arguments = arguments;
    l.working_dir = dir.path;
    l.env.set(L"TEMP", dir.path);
    return l;
}

std::vector<std::wstring> log_lines(const std::wstring& dir) {
    const std::optional<std::string> bytes = e2e::read_file(dir + L"\\launcher.log");
    if (!bytes || bytes->size() < 3) return {};
    return e2e::split_lines(e2e::widen(bytes->substr(3)));
}

TEST(shell_watchdog, time_out_logs_shows_its_box_and_ends_with_code_1) {
    struct row {
        const char* name;
        const wchar_t* mode;
        const wchar_t* limit;
        const wchar_t* seconds;
    };
    const row rows[] = {
        {"watchdog thread", L"watchdog", L"2000", L"2"},
        {"limit 0 times out at once", L"watchdog", L"0", L"0"},
        {"limit below one second", L"watchdog", L"999", L"0"},
        {"main-thread fallback", L"fallback", L"1500", L"1"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        e2e::temp_dir dir;
        const std::wstring launcher = dir.sub(L"launcher");
        const e2e::run_result result =
            e2e::run(probe_program(std::wstring(r.mode) + L" " + r.limit + L" \"" + launcher + L"\"", dir), e2e::time_limit(30000));
        ASSERT_TRUE(result.started) << narrow(result.start_error);
        ASSERT_TRUE(result.exited);
        EXPECT_EQ(result.exit_code, 1u);
        ASSERT_EQ(result.boxes.size(), 1u);
        EXPECT_EQ(result.boxes[0].title, L"Quillmarsh Launcher");
        EXPECT_EQ(result.boxes[0].text, kWatchdogBox);
        EXPECT_EQ(result.boxes[0].icon, e2e::box_icon::error);
        const std::vector<std::wstring> lines = log_lines(launcher);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].substr(22), std::wstring(L"WATCHDOG: превышен общий таймаут лаунчера (") + r.seconds +
                                          L" сек). Принудительное завершение.");
    }
}

TEST(shell_watchdog, finished_launch_stops_it_silently) {
    e2e::temp_dir dir;
    const std::wstring launcher = dir.sub(L"launcher");
    const e2e::run_result r = e2e::run(probe_program(L"watchdog-finished 2000 \"" + launcher + L"\"", dir), e2e::time_limit(30000));
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0u);
    EXPECT_TRUE(r.boxes.empty());
    EXPECT_TRUE(log_lines(launcher).empty());
}

TEST(shell_watchdog, box_left_open_keeps_the_process_until_answered) {
    e2e::temp_dir dir;
    const std::wstring launcher = dir.sub(L"launcher");
    e2e::process p;
    std::wstring error;
    ASSERT_TRUE(p.start(probe_program(L"watchdog 1000 \"" + launcher + L"\"", dir), error)) << narrow(error);
    const std::optional<e2e::box_seen> box = p.wait_for_box(30000);
    ASSERT_TRUE(box.has_value());
    // The log line is written before the box appears.
    EXPECT_EQ(log_lines(launcher).size(), 1u);
    // Still there, box and process, at the moment the box is answered: the end comes only after.
    DWORD code = 0;
    EXPECT_TRUE(IsWindow(box->window));
    EXPECT_FALSE(p.wait(0, code)) << "ended before its box was answered";
    e2e::dismiss_box(box->window);
    ASSERT_TRUE(p.wait(10000, code));
    EXPECT_EQ(code, 1u);
}

TEST(shell_watchdog, stage_box_left_open_does_not_stop_it) {
    // The whole shell with a 5 s limit: a stage fails (the server is a closed port) and its box is
    // left open; the watchdog still logs, shows its own box, and ends the process with code 1.
    e2e::sandbox s;
    ASSERT_TRUE(e2e::make_dirs(s.roaming + L"\\.quillmarsh"));
    e2e::launch l = s.shell();
    l.exe = e2e::test_bin(L"programs/shell_probe.exe");
    l.arguments = L"shell 5000";
    e2e::watch_options o = e2e::time_limit(60000);
    o.on_box = [](const e2e::box_seen& b) { return b.text == kWatchdogBox; };
    const e2e::run_result r = e2e::run(l, o);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 1u);
    ASSERT_EQ(r.boxes.size(), 2u);
    EXPECT_NE(r.boxes[0].text, kWatchdogBox);
    EXPECT_EQ(r.boxes[1].text, kWatchdogBox);
    const std::optional<std::string> log = e2e::read_file(s.roaming_launcher() + L"\\launcher.log");
    ASSERT_TRUE(log.has_value());
    EXPECT_NE(log->find(narrow(L"] WATCHDOG: превышен общий таймаут лаунчера (5 сек). Принудительное завершение.\r\n")),
              std::string::npos);
}

TEST(shell_status_text, posts_to_a_gone_panel_neither_leak_nor_double_free) {
    e2e::temp_dir dir;
    const e2e::run_result r = e2e::run(probe_program(L"post-after-destroy", dir), e2e::time_limit(30000));
    ASSERT_TRUE(r.exited);
    // 0: balanced. 10: leaked after destroy, 11: freed twice, 12: live panel kept the text,
    // 13: leaked with no panel at all.
    EXPECT_EQ(r.exit_code, 0u);
}

}  // namespace
