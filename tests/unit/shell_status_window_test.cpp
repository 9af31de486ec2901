// The status panel's window procedure on a real window of this process: the private messages, the
// download progress callback's arithmetic, and what the painting puts where.
#include <gtest/gtest.h>

#include <climits>

#include "shell/panel_internal.h"

namespace {

// Dispatches what is queued for this thread; true when the panel's WM_QUIT came.
bool pump() {
    bool quit = false;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            quit = true;
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return quit;
}

bool progress_pending(HWND window) {
    MSG msg;
    return PeekMessageW(&msg, window, WM_STATUS_PROGRESS, WM_STATUS_PROGRESS, PM_NOREMOVE) != 0;
}

class status_panel : public testing::Test {
protected:
    void SetUp() override {
        g_status_text.clear();
        g_status_progress = -1;
        window = create_status_window(GetModuleHandleW(nullptr));
        ASSERT_NE(window, nullptr);
        ASSERT_EQ(g_status_window, window);
        pump();
    }
    void TearDown() override {
        if (IsWindow(window)) {
            PostMessageW(window, WM_STATUS_CLOSE, 0, 0);
            for (int i = 0; i < 3000 && !pump(); ++i) Sleep(10);
        }
        EXPECT_FALSE(IsWindow(window));
        g_status_text.clear();
        g_status_progress = -1;
    }
    HWND window = nullptr;
};

TEST_F(status_panel, text_with_null_lparam_changes_nothing) {
    post_status_text(L"Проверка устройства...");
    pump();
    ASSERT_EQ(g_status_text, L"Проверка устройства...");
    ValidateRect(window, nullptr);

    EXPECT_EQ(SendMessageW(window, WM_STATUS_TEXT, 0, 0), 0);
    EXPECT_EQ(g_status_text, L"Проверка устройства...");
    EXPECT_FALSE(GetUpdateRect(window, nullptr, FALSE)) << "a null text must not even repaint";

    // A real text is taken over and repaints the panel.
    SendMessageW(window, WM_STATUS_TEXT, 0, reinterpret_cast<LPARAM>(new std::wstring(L"Запуск клиента...")));
    EXPECT_EQ(g_status_text, L"Запуск клиента...");
    EXPECT_TRUE(GetUpdateRect(window, nullptr, FALSE));
}

TEST_F(status_panel, progress_reads_the_low_32_bits_as_signed) {
    struct row {
        unsigned long long wparam;
        std::int32_t want;
    };
    const row rows[] = {
        {0x00000001000003E8ull, 1000},  // high bits ignored
        {0xFFFFFFFFull, -1},
        {0xFFFFFFFFFFFFFFFBull, -5},    // sign-extended -5 as posted by the shell
        {0x80000000ull, INT_MIN},
        {0x7FFFFFFFull, INT_MAX},
        {0, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << r.wparam);
        EXPECT_EQ(SendMessageW(window, WM_STATUS_PROGRESS, static_cast<WPARAM>(r.wparam), 0), 0);
        EXPECT_EQ(g_status_progress, r.want);
    }
}

TEST_F(status_panel, download_callback_posts_per_mille) {
    const download_progress progress = make_status_progress();
    struct row {
        std::uint64_t done, total;
        bool posted;
        std::int32_t want;
    };
    // Expected values computed independently with unbounded integers: ((done * 1000) mod 2^64) / total,
    // low 32 bits as signed.
    const row rows[] = {
        {5, 0, false, 0},
        {0, 0, false, 0},
        {0, 100, true, 0},
        {100, 100, true, 1000},
        {1, 3, true, 333},
        {3, 7, true, 428},
        {18446744073709552ull, 1, true, 384},                     // the product wraps
        {0x8000000000000000ull, 0x8000000000000000ull, true, 0},  // so done = total is not always 1000
        {5000000000ull, 1, true, 658067456},                      // truncated to 32 bits
        {2147484, 1, true, -2147483296},                          // and read back as signed
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.done << "/" << r.total);
        SendMessageW(window, WM_STATUS_PROGRESS, static_cast<WPARAM>(-7), 0);
        progress(r.done, r.total);
        EXPECT_EQ(progress_pending(window), r.posted);
        pump();
        EXPECT_EQ(g_status_progress, r.posted ? r.want : -7);
    }
}

// Colours as GetPixel reports them (0x00BBGGRR).
constexpr COLORREF colour(std::uint32_t rrggbb) {
    return RGB((rrggbb >> 16) & 0xFF, (rrggbb >> 8) & 0xFF, rrggbb & 0xFF);
}

TEST_F(status_panel, paints_background_border_track_and_fill) {
    const COLORREF background = colour(0x1A2220);
    const COLORREF border = colour(0x3A4C42);
    const COLORREF track = colour(0x2C342E);
    const COLORREF fill = colour(0x54BE6E);
    struct row {
        const char* name;
        std::int32_t progress;
        int x, y;
        COLORREF want;
    };
    // Track: x 16..343, y 60..65 (h - 16 .. h - 10); 328 px wide, so 500 fills 164 px (x 16..179).
    const row rows[] = {
        {"background", 500, 200, 40, background},
        {"border top", 500, 180, 0, border},
        {"border left", 500, 0, 38, border},
        {"half: last filled pixel", 500, 179, 62, fill},
        {"half: first track pixel", 500, 180, 62, track},
        {"zero: empty track", 0, 16, 62, track},
        {"hidden bar", -1, 100, 62, background},
        {"any negative hides", -300, 100, 62, background},
        {"full: last pixel", 1000, 343, 62, fill},
        {"full: right of the track", 1000, 344, 62, background},
        {"above the track", 1000, 100, 59, background},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        SendMessageW(window, WM_STATUS_PROGRESS, static_cast<WPARAM>(static_cast<INT_PTR>(r.progress)), 0);
        UpdateWindow(window);
        HDC dc = GetDC(window);
        const COLORREF got = GetPixel(dc, r.x, r.y);
        ReleaseDC(window, dc);
        if (got == CLR_INVALID) GTEST_SKIP() << "the window's pixels cannot be read back here";
        EXPECT_EQ(got, r.want) << std::hex << got;
    }
}

TEST_F(status_panel, showing_it_does_not_activate_it) {
    EXPECT_NE(GetActiveWindow(), window);
    EXPECT_NE(GetForegroundWindow(), window);
    // Control: an ordinary popup shown the ordinary way does become active here; otherwise the
    // checks above would tell nothing.
    HWND control = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 20, 20, nullptr, nullptr,
                                   GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(control, nullptr);
    ShowWindow(control, SW_SHOW);
    pump();
    const bool ordinary_activates = GetActiveWindow() == control;
    DestroyWindow(control);
    pump();
    if (!ordinary_activates) GTEST_SKIP() << "windows are not activated on this display";
}

TEST_F(status_panel, close_destroys_the_panel_and_ends_the_loop) {
    PostMessageW(window, WM_STATUS_CLOSE, 0, 0);
    bool quit = false;
    for (int i = 0; i < 3000 && !quit; ++i) {
        quit = pump();
        if (!quit) Sleep(10);
    }
    EXPECT_TRUE(quit);
    EXPECT_FALSE(IsWindow(window));
}

}  // namespace
