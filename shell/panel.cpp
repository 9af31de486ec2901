// The status panel: a small layered rounded window near the bottom-right corner of the work area.
// Only the main thread touches it; other threads post the three private messages.
#include "base/handle.h"
#include "shell/panel_internal.h"
#include "shell/panel_pure.h"
#include "shell/resources/resource_ids.h"

HWND g_status_window = nullptr;
std::wstring g_status_text;
std::int32_t g_status_progress = -1;

namespace {

constexpr COLORREF rgb(std::uint32_t rrggbb) {
    return RGB((rrggbb >> 16) & 0xFF, (rrggbb >> 8) & 0xFF, rrggbb & 0xFF);
}
constexpr COLORREF kBackground = rgb(0x1A2220);
constexpr COLORREF kBorder = rgb(0x3A4C42);
constexpr COLORREF kText = rgb(0xE9ECE9);
constexpr COLORREF kTrack = rgb(0x2C342E);
constexpr COLORREF kFill = rgb(0x54BE6E);

constexpr int kWidth = 360;
constexpr int kHeight = 76;

void fill(HDC dc, const RECT& rect, COLORREF colour) {
    gdi_object brush{CreateSolidBrush(colour)};
    FillRect(dc, &rect, static_cast<HBRUSH>(brush.get()));
}

// The panel's one font, made with the window and gone with the process. Main thread only.
gdi_object g_status_font;

// BeginPaint/EndPaint as one owned pair.
struct paint_scope {
    explicit paint_scope(HWND w) : window(w), dc(BeginPaint(w, &ps)) {}
    ~paint_scope() { EndPaint(window, &ps); }
    paint_scope(const paint_scope&) = delete;
    paint_scope& operator=(const paint_scope&) = delete;
    HWND window;
    PAINTSTRUCT ps{};
    HDC dc;
};

void paint(HWND window) {
    RECT client{};
    GetClientRect(window, &client);
    const int w = client.right - client.left;
    const int h = client.bottom - client.top;

    const paint_scope screen(window);
    // Drawn off-screen and copied in one piece, so the panel never flickers. The bitmap is declared
    // first: the memory DC goes first and lets go of it, then the bitmap can be deleted.
    const gdi_object bitmap{CreateCompatibleBitmap(screen.dc, w, h)};
    const memory_dc mem{CreateCompatibleDC(screen.dc)};
    SelectObject(mem.get(), bitmap.get());

    fill(mem.get(), client, kBackground);
    {
        const gdi_object pen{CreatePen(PS_SOLID, 1, kBorder)};
        const HGDIOBJ old_pen = SelectObject(mem.get(), pen.get());
        SelectObject(mem.get(), GetStockObject(HOLLOW_BRUSH));
        RoundRect(mem.get(), 0, 0, w - 1, h - 1, 14, 14);
        SelectObject(mem.get(), old_pen);  // the pen is deleted at the end of this block
    }

    SelectObject(mem.get(), g_status_font.get());
    SetBkMode(mem.get(), TRANSPARENT);
    SetTextColor(mem.get(), kText);
    RECT text_rect{14, 10, w - 14, h - 30};
    DrawTextW(mem.get(), g_status_text.c_str(), static_cast<int>(g_status_text.size()), &text_rect,
              DT_SINGLELINE | DT_CENTER | DT_VCENTER | DT_END_ELLIPSIS);

    if (g_status_progress >= 0) {
        const RECT track{16, h - 16, w - 16, h - 10};
        fill(mem.get(), track, kTrack);
        const long long track_width = track.right - track.left;
        const long long filled = static_cast<long long>(g_status_progress) * track_width / 1000;
        if (filled > 0) {
            const RECT bar{16, h - 16, 16 + static_cast<int>(filled), h - 10};
            fill(mem.get(), bar, kFill);
        }
    }

    BitBlt(screen.dc, 0, 0, w, h, mem.get(), 0, 0, SRCCOPY);
}

}  // namespace

LRESULT CALLBACK status_wnd_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_CREATE:
        g_status_window = window;
        if (!g_status_font) {
            g_status_font.reset(CreateFontW(-20, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                            OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                                            DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI"));
        }
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_ERASEBKGND:
        return 1;  // painting covers every pixel
    case WM_PAINT:
        paint(window);
        return 0;
    case WM_STATUS_TEXT:
        if (lparam != 0) {
            std::wstring* text = reinterpret_cast<std::wstring*>(lparam);
            g_status_text = *text;
            delete text;  // ownership came with the message
            InvalidateRect(window, nullptr, FALSE);
        }
        return 0;
    case WM_STATUS_PROGRESS:
        g_status_progress = static_cast<std::int32_t>(static_cast<std::uint32_t>(wparam & 0xFFFFFFFFu));
        InvalidateRect(window, nullptr, FALSE);
        return 0;
    case WM_STATUS_CLOSE:
        DestroyWindow(window);
        return 0;
    default:
        return DefWindowProcW(window, message, wparam, lparam);
    }
}

void post_status_text(std::wstring_view text) {
    // Without a panel, PostMessageW(nullptr, ...) would "succeed" into the poster's own thread queue,
    // where nobody frees the string: treat it as a failed post.
    if (g_status_window == nullptr) return;
    auto* copy = new std::wstring(text);
    if (!PostMessageW(g_status_window, WM_STATUS_TEXT, 0, reinterpret_cast<LPARAM>(copy))) {
        delete copy;  // the window is gone: the text never changed hands
    }
}

void post_status_progress(std::int32_t per_mille) {
    // Sign-extended, so -1 arrives as all bits set; the window reads the low 32 bits back as signed.
    PostMessageW(g_status_window, WM_STATUS_PROGRESS, static_cast<WPARAM>(static_cast<INT_PTR>(per_mille)), 0);
}

void post_status_close() {
    PostMessageW(g_status_window, WM_STATUS_CLOSE, 0, 0);
}

download_progress make_status_progress() {
    return [](std::uint64_t done, std::uint64_t total) {
        std::int32_t value = 0;
        if (progress_per_mille(done, total, value)) post_status_progress(value);
    };
}

HWND create_status_window(HINSTANCE instance) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = 0;
    wc.lpfnWndProc = status_wnd_proc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP_ICON));
    wc.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP_ICON));
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = nullptr;
    wc.lpszClassName = kStatusClassName;
    RegisterClassExW(&wc);  // a second registration in the same process fails harmlessly

    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const int x = work.right - (kWidth + 16);
    const int y = work.bottom - (kHeight + 16);

    HWND window = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE | WS_EX_LAYERED,
                                  kStatusClassName, kAppTitle, WS_POPUP, x, y, kWidth, kHeight, nullptr, nullptr,
                                  instance, nullptr);
    if (window == nullptr) return nullptr;

    // The window owns the region after SetWindowRgn; it must not be deleted here.
    HRGN region = CreateRoundRectRgn(0, 0, kWidth + 1, kHeight + 1, 14, 14);
    SetWindowRgn(window, region, TRUE);
    SetLayeredWindowAttributes(window, 0, 225, LWA_ALPHA);
    ShowWindow(window, SW_SHOWNOACTIVATE);
    UpdateWindow(window);
    return window;
}
