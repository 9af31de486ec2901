// What only the panel's tests see: its window procedure and the state it paints.
#pragma once

#include <string>

#include "shell/panel.h"

// Written once by the window procedure while the panel is created (main thread), only read later.
extern HWND g_status_window;
// Read and written only by status_wnd_proc on the main thread.
extern std::wstring g_status_text;
extern std::int32_t g_status_progress;

LRESULT CALLBACK status_wnd_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
