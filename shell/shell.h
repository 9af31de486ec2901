// The shell module's surface: status panel, launch sequence and its stages, watchdog, launcher log,
// launcher directory, server address and update record.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shell/shell_pure.h"

// ---- Status panel -------------------------------------------------------------------------------

// Private messages of the panel. WM_STATUS_TEXT carries a heap std::wstring* in lParam whose
// ownership moves with a successful post; WM_STATUS_PROGRESS carries per mille in the low 32 bits of
// wParam (negative hides the bar); WM_STATUS_CLOSE destroys the panel.
constexpr UINT WM_STATUS_TEXT = 0x8001;
constexpr UINT WM_STATUS_PROGRESS = 0x8002;
constexpr UINT WM_STATUS_CLOSE = 0x8003;

constexpr wchar_t kStatusClassName[] = L"QuillmarshStatusWnd";
constexpr wchar_t kAppTitle[] = L"Quillmarsh Launcher";

// Written once by the window procedure while the panel is created (main thread), only read later.
extern HWND g_status_window;
// Read and written only by status_wnd_proc on the main thread.
extern std::wstring g_status_text;
extern std::int32_t g_status_progress;

LRESULT CALLBACK status_wnd_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Copies the text and posts it to the panel; frees the copy itself when the post fails.
void post_status_text(const wchar_t* text, std::size_t count);
void post_status_text(std::wstring_view text);
// Posts a per-mille value; any negative value hides the bar.
void post_status_progress(std::int32_t per_mille);
void post_status_close();
// The download progress callback that drives the panel's bar.
download_progress make_status_progress();

// Registers the class and creates the hidden layered panel at its place in the primary work area;
// nullptr when creation fails. Shows it without activation.
HWND create_status_window(HINSTANCE instance);

// ---- Entry, launch sequence, watchdog -----------------------------------------------------------

// Set (sequentially consistent exchange) when the client start stage has ended; read by the watchdog.
extern std::atomic<bool> g_launch_finished;

// Starts a detached thread; false when the thread cannot be created. Replaceable in tests.
using thread_starter = bool (*)(void (*body)(void*), void* argument);
bool start_detached_thread(void (*body)(void*), void* argument);

// The whole process after the anti-debugging check: mutex, panel, threads, message loop.
// Returns the process exit code. The entry keeps the default limit; tests shorten it.
int run_shell(HINSTANCE instance, thread_starter starter, std::uint32_t watchdog_limit_ms = 300000);

void worker_thread();
void watchdog_thread(std::uint32_t limit_ms);
// The watchdog's end: log line, box, TerminateProcess(1). Never returns.
[[noreturn]] void watchdog_time_out(std::uint32_t limit_ms);

// Modal error box: no owner, title "Quillmarsh Launcher", error icon, OK.
void show_error_box(const std::wstring& text);

// How a stage ends the launch sequence: one log line (already written when empty) and one box text.
struct stage_failure {
    std::wstring log;
    std::wstring box;
};

// The five stages. Each returns false with `failure` filled when it ends the sequence.
bool run_start_stage(stage_failure& failure);
bool run_device_check_stage(stage_failure& failure);
bool run_java17_stage(std::wstring& java_home, stage_failure& failure);
bool run_launcher_update_stage(std::wstring& jar_path, stage_failure& failure);
// Never fails the sequence: shows its own box when no client started.
void run_client_start_stage(const std::wstring& java_home, const std::wstring& jar_path);

// ---- Launcher log and text ----------------------------------------------------------------------

// Appends one time-stamped UTF-8 line to launcher.log; never fails visibly.
void log_line(const std::wstring& message);
// Launcher directory + "\" + name (resolves the directory first if needed).
std::wstring launcher_file_path(const wchar_t* name);
std::string to_utf8(std::wstring_view text);
std::wstring from_utf8(std::string_view text);
// The current local time from the platform.
local_time current_local_time();

// ---- Launcher directory -------------------------------------------------------------------------

// Resolved once on the worker thread by the first log line; only read afterwards.
extern std::wstring g_launcher_dir;
extern bool g_launcher_dir_writable;

std::wstring launcher_dir();
bool launcher_dir_writable();

// Internal, for tests: the candidate list of this machine, and resolution over given candidates
// with the probe log at `probe_log_path`. Sets the two globals.
std::vector<std::wstring> launcher_dir_candidates();
std::wstring resolve_launcher_dir(const std::vector<std::wstring>& candidates, const std::wstring& probe_log_path);
// Internal, for tests: forgets the resolved directory.
void reset_launcher_dir_for_tests();

// ---- Server address and built-in paths ----------------------------------------------------------

// QUILLMARSH_BASE_URL (1..511 characters, unchanged) or "https://" + the built-in host.
std::wstring server_base_url();
std::wstring builtin_java_archive_path();
std::wstring builtin_launcher_jar_path();

// ---- Update record ------------------------------------------------------------------------------

// Writes digest + "\r\nlast_check=" + stamp + "\r\n"; a failure is only logged.
void save_last_sha256(const std::wstring& path, const std::wstring& digest);
