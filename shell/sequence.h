// The worker thread's launch sequence: five stages in order, the first failure ends it.
#pragma once

#include <atomic>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "device/device.h"
#include "shell/release_flow_pure.h"
#include "net/net_pure.h"

// Set (sequentially consistent exchange) when the client start stage has ended; read by the watchdog.
extern std::atomic<bool> g_launch_finished;

// What the stages hand on to each other. The start stage fills in the launcher directory; every
// later stage and the subsystems they call get it from here.
struct launch_context {
    std::wstring launcher_dir;
    std::wstring java_home;  // the built-in Java 17, from the Java 17 stage
    std::wstring jar_path;   // the launcher jar, from the launcher update stage

    // Builds with a publisher key only (`release_build` true): the release manifest's verdict and the
    // verified record, from the manifest step right after the start stage, and the key's fingerprint.
    bool release_build = false;
    release_view release;
    std::string key_fingerprint;

    // Results started ahead, so that they overlap slower steps (the panel's set-up, the Java probe);
    // a stage without one computes its own. Nothing started ahead writes a file, sends a request or
    // shows anything: the log lines, texts and their order stay the stages' own.
    std::future<DeviceIdentity> identity;
    std::future<std::optional<std::wstring>> local_jar_digest;
    std::future<std::vector<std::wstring>> installed_javas;
};

// Runs `work` on a detached thread of its own; an empty future when no thread can be created. The
// future's end never waits for the thread, so a stuck source cannot hold the process open.
template <typename T>
std::future<T> start_ahead(std::function<T()> work) {
    try {
        std::promise<T> promise;
        std::future<T> result = promise.get_future();
        std::thread([work = std::move(work), promise = std::move(promise)]() mutable {
            try {
                promise.set_value(work());
            } catch (...) {
                promise.set_exception(std::current_exception());
            }
        }).detach();
        return result;
    } catch (...) {  // std::system_error: no thread; the stage computes the result itself
        return {};
    }
}

// The result started ahead, or `compute()` here when none was.
template <typename T, typename F>
T take_or_compute(std::future<T>& ahead, F compute) {
    return ahead.valid() ? ahead.get() : compute();
}

// launcher_dir + "\" + name.
std::wstring launcher_file(const launch_context& launch, const wchar_t* name);

// How a stage ends the launch sequence: one log line (already written when empty) and one box text.
struct stage_failure {
    std::wstring log;
    std::wstring box;
    final_box kind = final_box::unexpected_error;  // every stage names its box
};

// The launch sequence on the worker thread over `launch` (empty, or with results started ahead);
// posts WM_STATUS_CLOSE when it ends either way.
void worker_thread(launch_context& launch);

// Modal error box: no owner, title "Quillmarsh Launcher", error icon, OK.
void show_error_box(const std::wstring& text);
