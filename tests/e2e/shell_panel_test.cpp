// The status panel as the player's desktop sees it: size, place in the work area, styles, opacity.
#include <gtest/gtest.h>

#include <cwchar>

#include "tests/e2e/driver.h"

namespace {

using e2e::narrow;

// Starts a shell that stops at F1 (every candidate blocked) and reads its panel while the box is open.
std::optional<e2e::panel_seen> panel_of_held_shell(const e2e::sandbox& s) {
    EXPECT_TRUE(e2e::write_file(s.roaming + L"\\.quillmarsh", "x"));
    EXPECT_TRUE(e2e::write_file(s.local + L"\\.quillmarsh", "x"));
    EXPECT_TRUE(e2e::write_file(s.temp + L"\\.quillmarsh", "x"));
    const std::wstring app = s.dir.sub(L"app");
    EXPECT_TRUE(e2e::write_file(app + L"\\launcher_data", "x"));
    e2e::launch l = s.shell();
    l.exe = app + L"\\QuillmarshLauncher.exe";
    EXPECT_TRUE(CopyFileW(e2e::shell_exe().c_str(), l.exe.c_str(), FALSE));

    e2e::process shell;
    std::wstring error;
    if (!shell.start(l, error)) {
        ADD_FAILURE() << narrow(error);
        return std::nullopt;
    }
    if (!shell.wait_for_box(30000)) {
        ADD_FAILURE() << "no F1 box";
        return std::nullopt;
    }
    std::optional<e2e::panel_seen> panel = shell.panel();
    const e2e::run_result end = shell.finish();
    EXPECT_TRUE(end.exited);
    EXPECT_EQ(end.exit_code, 0u);
    // Closing the panel ended the process: no window of it is left.
    EXPECT_TRUE(e2e::process_windows(shell.pid()).empty());
    return panel;
}

void expect_panel_in_corner(const e2e::panel_seen& p, const RECT& work) {
    EXPECT_EQ(p.rect.right - p.rect.left, 360);
    EXPECT_EQ(p.rect.bottom - p.rect.top, 76);
    EXPECT_EQ(p.rect.right, work.right - 16);
    EXPECT_EQ(p.rect.bottom, work.bottom - 16);
}

TEST(shell_panel, sits_in_the_work_area_corner_topmost_translucent_and_inactive) {
    e2e::sandbox s;
    const std::optional<e2e::panel_seen> p = panel_of_held_shell(s);
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(p->class_name, L"QuillmarshStatusWnd");
    EXPECT_EQ(p->title, L"Quillmarsh Launcher");
    EXPECT_TRUE(p->visible);
    expect_panel_in_corner(*p, p->work_area);
    // tests/scripts/test_panel_work_area.sh narrows the display's work area (as a taskbar does) and
    // says which one the panel must follow.
    const std::wstring expected = e2e::own_env(L"QUILLMARSH_EXPECT_WORK_AREA");
    if (!expected.empty()) {
        RECT want{};
        ASSERT_EQ(swscanf(expected.c_str(), L"%ld,%ld,%ld,%ld", &want.left, &want.top, &want.right, &want.bottom), 4);
        EXPECT_TRUE(EqualRect(&want, &p->work_area))
            << p->work_area.left << "," << p->work_area.top << "," << p->work_area.right << "," << p->work_area.bottom;
        expect_panel_in_corner(*p, want);
    }

    // A popup only: no caption, border, frame or system menu.
    EXPECT_EQ(p->style & ~(WS_VISIBLE | WS_CLIPSIBLINGS), static_cast<LONG>(WS_POPUP)) << std::hex << p->style;
    const LONG ex = WS_EX_TOPMOST | WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE | WS_EX_LAYERED;
    EXPECT_EQ(p->ex_style, ex) << std::hex << p->ex_style;

    ASSERT_TRUE(p->alpha_read);
    EXPECT_EQ(p->alpha, 225);
    EXPECT_EQ(p->layered_flags, static_cast<DWORD>(LWA_ALPHA));

    // The rounded region covers the window (its box is the window, the round corners cut inside).
    ASSERT_TRUE(p->has_region);
    EXPECT_EQ(p->region_box.left, 0);
    EXPECT_EQ(p->region_box.top, 0);
    EXPECT_EQ(p->region_box.right, 360);
    EXPECT_EQ(p->region_box.bottom, 76);
}

}  // namespace
