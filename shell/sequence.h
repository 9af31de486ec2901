// The worker thread's launch sequence: five stages in order, the first failure ends it.
#pragma once

#include <atomic>
#include <string>

// Set (sequentially consistent exchange) when the client start stage has ended; read by the watchdog.
extern std::atomic<bool> g_launch_finished;

// What the stages hand on to each other. The start stage fills in the launcher directory; every
// later stage and the subsystems they call get it from here.
struct launch_context {
    std::wstring launcher_dir;
    std::wstring java_home;  // the built-in Java 17, from the Java 17 stage
    std::wstring jar_path;   // the launcher jar, from the launcher update stage
};

// launcher_dir + "\" + name.
std::wstring launcher_file(const launch_context& launch, const wchar_t* name);

// How a stage ends the launch sequence: one log line (already written when empty) and one box text.
struct stage_failure {
    std::wstring log;
    std::wstring box;
};

// The launch sequence on the worker thread; posts WM_STATUS_CLOSE when it ends either way.
void worker_thread();

// Modal error box: no owner, title "Quillmarsh Launcher", error icon, OK.
void show_error_box(const std::wstring& text);
