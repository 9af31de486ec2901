// One shell per session: a second start while one runs ends at once and silently; once the first has
// ended, the next start proceeds.
#include <gtest/gtest.h>

#include "tests/e2e/driver.h"

namespace {

using e2e::narrow;

// A shell held open by its F1 box: the roaming candidate is blocked and so is every other one.
void block_every_candidate(const e2e::sandbox& s, e2e::launch& l) {
    ASSERT_TRUE(e2e::write_file(s.roaming + L"\\.quillmarsh", "x"));
    ASSERT_TRUE(e2e::write_file(s.local + L"\\.quillmarsh", "x"));
    ASSERT_TRUE(e2e::write_file(s.temp + L"\\.quillmarsh", "x"));
    const std::wstring app = s.dir.sub(L"app");
    ASSERT_TRUE(e2e::write_file(app + L"\\launcher_data", "x"));
    l.exe = app + L"\\QuillmarshLauncher.exe";
    ASSERT_TRUE(CopyFileW(e2e::shell_exe().c_str(), l.exe.c_str(), FALSE));
}

TEST(shell_instance, second_start_ends_at_once_while_the_first_runs) {
    e2e::sandbox s;
    e2e::launch first_launch = s.shell();
    block_every_candidate(s, first_launch);

    e2e::process first;
    std::wstring error;
    ASSERT_TRUE(first.start(first_launch, error)) << narrow(error);
    const std::optional<e2e::box_seen> held = first.wait_for_box(30000);
    ASSERT_TRUE(held.has_value()) << "the first shell never showed its box";
    ASSERT_TRUE(first.panel().has_value());
    const std::optional<std::wstring> probe_before = e2e::read_utf16_file(s.probe_log());

    // The second one is the real shell from the build folder, with the same profile.
    const e2e::run_result second = e2e::run(s.shell(), e2e::time_limit(20000));
    ASSERT_TRUE(second.started) << narrow(second.start_error);
    EXPECT_TRUE(second.exited);
    EXPECT_EQ(second.exit_code, 0u);
    EXPECT_TRUE(second.boxes.empty());
    EXPECT_FALSE(second.panel.has_value());
    EXPECT_TRUE(second.other_windows.empty());
    // It never reached the launcher directory: the probe log did not grow.
    EXPECT_EQ(e2e::read_utf16_file(s.probe_log()), probe_before);

    // The first one is undisturbed: still there with its box and panel, and ends normally when answered.
    EXPECT_TRUE(first.running());
    EXPECT_TRUE(IsWindow(held->window));
    EXPECT_TRUE(first.panel().has_value());
    const e2e::run_result end = first.finish();
    EXPECT_TRUE(end.exited);
    EXPECT_EQ(end.exit_code, 0u);

    // With the first one gone, the next start proceeds: the roaming folder is usable again.
    ASSERT_TRUE(DeleteFileW((s.roaming + L"\\.quillmarsh").c_str()));
    ASSERT_TRUE(e2e::make_dirs(s.roaming + L"\\.quillmarsh"));
    const e2e::run_result third = e2e::run(s.shell());
    EXPECT_TRUE(third.exited);
    EXPECT_EQ(third.exit_code, 0u);
    EXPECT_TRUE(third.panel.has_value());
    const std::optional<std::string> log = e2e::read_file(s.roaming_launcher() + L"\\launcher.log");
    ASSERT_TRUE(log.has_value());
    EXPECT_NE(log->find(narrow(L"=== Запуск лаунчера ===")), std::string::npos);
}

TEST(shell_instance, held_mutex_means_another_shell_runs) {
    e2e::sandbox s;
    ASSERT_TRUE(e2e::make_dirs(s.roaming + L"\\.quillmarsh"));
    {
        e2e::instance_mutex_holder other;
        ASSERT_TRUE(other.held_new());
        const e2e::run_result r = e2e::run(s.shell(), e2e::time_limit(20000));
        ASSERT_TRUE(r.started) << narrow(r.start_error);
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.exit_code, 0u);
        EXPECT_TRUE(r.boxes.empty());
        EXPECT_FALSE(r.panel.has_value());
        EXPECT_FALSE(e2e::file_exists(s.probe_log()));
        EXPECT_FALSE(e2e::file_exists(s.roaming_launcher() + L"\\launcher.log"));
    }
    // Released (as when the other shell ended): the next start runs.
    const e2e::run_result r = e2e::run(s.shell());
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0u);
    EXPECT_TRUE(e2e::file_exists(s.roaming_launcher() + L"\\launcher.log"));
}

}  // namespace
