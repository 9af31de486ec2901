// End-to-end driver: starts a Windows program (normally the real shell, QUILLMARSH_EXE) with an exact
// environment block and working directory, watches its top-level windows, answers its message boxes
// with OK and reports how it ended. Every scenario test is built on this file.
//
// Typical use:
//
//     support::temp_dir dir;                               // removed with everything in it
//     support::profile_redirect profile(dir.sub(L"roaming"), dir.sub(L"local"));   // the player's profile
//     e2e::launch l = e2e::shell_launch();                 // QUILLMARSH_EXE, minimal environment
//     l.env.set(L"TEMP", dir.sub(L"temp"));
//     l.env.set(L"QUILLMARSH_BASE_URL", L"http://127.0.0.1:9");
//     e2e::run_result r = e2e::run(l);                     // every box recorded and dismissed with OK
//     EXPECT_EQ(r.exit_code, 0u);
//     ASSERT_EQ(r.boxes.size(), 1u);
//     EXPECT_EQ(r.boxes[0].text, L"...");
//
// For scenarios that need to act while the program runs (hold a box open, start a second copy), use
// `process` directly: start, wait_for_box, panel, dismiss, finish.
//
// Paths given by the Linux side (QUILLMARSH_EXE, QUILLMARSH_TEST_BIN) are Unix paths; `windows_path`
// turns them into Z: paths. Everything here is for tests only: failures are reported through gtest.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/handle.h"
#include "tests/support/support.h"

namespace e2e {

// ---- Environment block ---------------------------------------------------------------------------

// Windows compares variable names without regard to case; so does this map.
struct name_less {
    bool operator()(const std::wstring& a, const std::wstring& b) const;
};

struct environment {
    std::map<std::wstring, std::wstring, name_less> vars;

    void set(const std::wstring& name, const std::wstring& value) { vars[name] = value; }
    void unset(const std::wstring& name) { vars.erase(name); }
    std::optional<std::wstring> get(const std::wstring& name) const;
    // The double-NUL terminated UTF-16 block for CreateProcessW (CREATE_UNICODE_ENVIRONMENT), sorted.
    std::wstring block() const;
};

// What any Windows program needs to start (SystemRoot, windir, ComSpec, USERPROFILE, COMPUTERNAME,
// the Wine variables, ...) copied from this process, plus PATH = "<system32>;<windows>". Nothing the
// shell reads for its own decisions is included: no TEMP/TMP, JAVA_HOME, QUILLMARSH_*, ProgramFiles*.
environment minimal_environment();

// QUILLMARSH_EXE as a Windows path; empty when the variable is missing.
std::wstring shell_exe();

// The shared test helpers (tests/support) are the driver's too.
using namespace support;

struct launch;

// One player's world inside a fresh temp folder: the profile folders "roaming" and "local" (HKCU
// redirected to them while the object lives) and "temp". `shell()` is a launch of the shell with
// TEMP/TMP there, QUILLMARSH_BASE_URL on a closed local port (every request fails at once) and the
// folder as working directory; tests change what they need.
struct sandbox {
    sandbox();
    temp_dir dir;
    std::wstring roaming;
    std::wstring local;
    std::wstring temp;
    profile_redirect profile;

    launch shell() const;
    std::wstring probe_log() const { return temp + L"\\quillmarsh_probe.log"; }
    // The first launcher candidate: roaming + "\.quillmarsh\launcher".
    std::wstring roaming_launcher() const { return roaming + L"\\.quillmarsh\\launcher"; }
};

// Holds the shell's single-instance mutex, as another running shell would.
class instance_mutex_holder {
public:
    instance_mutex_holder();
    ~instance_mutex_holder();
    instance_mutex_holder(const instance_mutex_holder&) = delete;
    instance_mutex_holder& operator=(const instance_mutex_holder&) = delete;
    bool held_new() const { return created_new_; }

private:
    kernel_handle mutex_;
    bool created_new_ = false;
};

// ---- Windows of the program ------------------------------------------------------------------------

// Icon of a message box, told from the screen: the box's icon control against each stock icon.
enum class box_icon { unknown, none, error, warning, information, question };

struct box_seen {
    HWND window = nullptr;
    std::wstring title;  // window text of the box
    std::wstring text;   // static text 0xFFFF of the box
    box_icon icon = box_icon::unknown;
};

// The status panel as another process sees it.
struct panel_seen {
    HWND window = nullptr;
    std::wstring class_name;
    std::wstring title;
    RECT rect{};       // window rectangle, screen coordinates
    RECT work_area{};  // primary monitor's work area, read at the same moment
    LONG style = 0;
    LONG ex_style = 0;
    bool visible = false;
    bool alpha_read = false;  // GetLayeredWindowAttributes succeeded
    BYTE alpha = 0;
    COLORREF colour_key = 0;
    DWORD layered_flags = 0;
    bool has_region = false;  // GetWindowRgn gave a region
    RECT region_box{};        // its bounding box, window coordinates
};

// Top-level windows owned by a process (visible or not).
std::vector<HWND> process_windows(DWORD pid);
std::wstring class_of(HWND window);
std::wstring text_of(HWND window);
// Reads a box's title, text and icon; false when the window is not a dialog box (class "#32770").
bool read_box(HWND window, box_seen& out);
// Reads the panel's geometry and attributes.
panel_seen read_panel(HWND window);
// Answers a box with OK.
void dismiss_box(HWND window);

// ---- Running a program -----------------------------------------------------------------------------

struct launch {
    std::wstring exe;          // full Windows path of the program
    std::wstring arguments;    // appended after the quoted program path; empty for the shell
    std::wstring working_dir;  // empty: the driver's own current directory
    environment env = minimal_environment();
};

// The shell from QUILLMARSH_EXE with the minimal environment.
launch shell_launch();

struct run_result {
    bool started = false;
    std::wstring start_error;
    bool exited = false;      // ended by itself within the time limit
    bool killed = false;      // the time limit passed and the driver terminated it
    DWORD exit_code = 0;      // valid when exited
    std::vector<box_seen> boxes;          // every message box, in the order they appeared
    std::optional<panel_seen> panel;      // first sighting of the status panel, if any
    std::vector<std::wstring> other_windows;  // class names of other visible top-level windows seen
};

struct watch_options {
    DWORD time_limit_ms = 60000;
    // Called for each new box; return true to answer it with OK now, false to leave it open (it is
    // offered again on every poll until it goes away). Default: answer every box.
    std::function<bool(const box_seen&)> on_box;
    // Called on every poll while the panel exists (for example to stop holding a stage).
    std::function<void(const panel_seen&)> on_panel;
    DWORD poll_ms = 15;
};

// Default options with another time limit.
watch_options time_limit(DWORD ms);

// A started program. The destructor terminates it if it is still running, so a failed assertion never
// leaves a shell behind holding the single-instance mutex.
class process {
public:
    process() = default;
    ~process();
    process(const process&) = delete;
    process& operator=(const process&) = delete;

    bool start(const launch& l, std::wstring& error);
    DWORD pid() const { return pid_; }
    HANDLE handle() const { return process_.get(); }
    bool running() const;
    // Waits for the end; true with the code when it ended within `ms`.
    bool wait(DWORD ms, DWORD& exit_code);
    void kill();

    // Polls until a message box of this program appears; nullopt when none came within `ms` or the
    // program ended first. The box stays open.
    std::optional<box_seen> wait_for_box(DWORD ms);
    // Polls until the status panel of this program appears.
    std::optional<panel_seen> wait_for_panel(DWORD ms);
    std::optional<panel_seen> panel() const;

    // Watches until the program ends or the time limit passes (then kills it).
    run_result finish(const watch_options& options = {});

private:
    kernel_handle process_;
    DWORD pid_ = 0;
};

// Starts, watches and reports in one call.
run_result run(const launch& l, const watch_options& options = {});

}  // namespace e2e
