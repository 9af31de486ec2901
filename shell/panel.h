// The status panel: a small layered window near the bottom-right corner of the work area. Only the
// main thread touches it; the worker changes it through the three private messages below.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string_view>

#include "net/net.h"  // download_progress

// WM_STATUS_TEXT carries a heap std::wstring* in lParam whose ownership moves with a successful post;
// WM_STATUS_PROGRESS carries per mille in the low 32 bits of wParam (negative hides the bar);
// WM_STATUS_CLOSE destroys the panel.
constexpr UINT WM_STATUS_TEXT = 0x8001;
constexpr UINT WM_STATUS_PROGRESS = 0x8002;
constexpr UINT WM_STATUS_CLOSE = 0x8003;

constexpr wchar_t kStatusClassName[] = L"QuillmarshStatusWnd";
constexpr wchar_t kAppTitle[] = L"Quillmarsh Launcher";

// Registers the class and creates the layered panel at its place in the primary work area and shows
// it without activation; nullptr when creation fails. Main thread.
HWND create_status_window(HINSTANCE instance);

// Any thread. Copies the text and posts it; the copy is freed here when the post fails (no panel).
void post_status_text(std::wstring_view text);
// Any thread. Posts a per-mille value; any negative value hides the bar.
void post_status_progress(std::int32_t per_mille);
// Any thread. Asks the panel to destroy itself, which ends the message loop.
void post_status_close();
// The download progress callback that drives the panel's bar.
download_progress make_status_progress();
