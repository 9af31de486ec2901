// The shell replacing its own exe with a newer one that a trusted release offers, and the self-test
// mode in which a new exe proves that it starts on this machine.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "net/net.h"  // download_progress
#include "shell/self_update_pure.h"

// The exe a trusted release offers: where to fetch it, its exact size and SHA-256 (64 hex digits), and
// the version its version record must name.
struct shell_offer {
    std::wstring url;
    std::string sha256_hex;
    std::uint64_t size = 0;
    shell_version version{};
};

// Fetches `url` into `path` (never more than `expected_size` bytes kept). Returns the SHA-256 of the
// bytes written, 64 lower-case hex digits, or nothing with the reason in `error`; a file it leaves
// behind on failure is deleted by the caller.
using shell_download = std::function<std::optional<std::string>(
    const std::wstring& url, const std::wstring& path, std::uint64_t expected_size, std::wstring& error)>;

constexpr std::uint32_t kSelfTestLimitMs = 10000;

// Everything self_update takes from the process and the launch around it.
struct self_update_env {
    std::wstring exe_path;      // the running exe, full path
    shell_identity running;     // its own version record
    std::wstring command_line;  // handed unchanged to the new exe
    std::wstring working_dir;   // the new exe's working folder; empty: this process's
    shell_download download;
    std::function<void(std::wstring_view)> status;  // panel texts; may be empty
    // Releases the single-instance mutex. Called once, after the new exe exists as a suspended process
    // and right before it runs, so that it can take the mutex; never called when nothing was installed.
    std::function<void()> release_instance;
    std::uint32_t self_test_limit_ms = kSelfTestLimitMs;
};

enum class self_update_result {
    not_newer,             // the offer is not above the running version: nothing done
    installed_restarting,  // swapped and the new exe started: end this process with code 0, showing nothing
    failed_continue,       // logged, `error` says why, everything undone: go on with the running exe
    folder_not_writable,   // the exe's folder cannot be written (Program Files): logged, go on
};

// The running exe's path, version record (read from the loaded image, not the file, which may have
// been replaced), command line and working folder; the caller adds the download, the status texts and
// the mutex's release. False with the reason in `error` when the path or the record cannot be read.
bool current_self_update_env(self_update_env& env, std::wstring& error);

// Installs the offered exe when its version is above the running one: download to <exe>.new with its
// size and SHA-256 checked, the version record checked (the offered version, the running product), a
// hidden run with --self-test that must end with 0 within the limit, <exe> renamed to <exe>.old
// (replacing an older one) and <exe>.new renamed to <exe>, and the new exe started with the same
// command line and folder. The bytes checked are the bytes installed: from the end of the download to
// the swap, the file is held open without write or delete sharing. Any failure deletes <exe>.new,
// undoes a rename, logs the reason and fills `error` (failed_continue). Writes log lines, never a box.
self_update_result self_update(const shell_offer& offer, const self_update_env& env, std::wstring& error);

// Deletes <exe>.old beside the running exe, left by the run that installed this one. A link of that
// name is deleted itself, never followed. Silent when there is none or it cannot go yet.
void remove_previous_shell();
void remove_previous_shell(const std::wstring& exe_path);

// The version record of a loaded module (nullptr: this exe's), or of an exe file loaded as data only;
// nothing when there is none or it cannot be read.
std::optional<shell_identity> module_identity(HMODULE module);
std::optional<shell_identity> file_identity(const std::wstring& path);

// The whole --self-test run: no mutex, no window, no file, no request. 0 when this exe's resources and
// built-in configuration can be read, 1 otherwise.
int run_self_test(HINSTANCE instance);

// A shell_download over download_to_file with the offered size as cap and exact size: the progress goes
// to `progress`, the digest is that of the bytes written.
shell_download file_download(download_progress progress);

// The self-update as the launch sequence runs it: this process's environment, the panel's texts and
// bar, and `download` (file_download over the panel's bar when empty). True when the new exe has been
// started and this process must end now with code 0, showing nothing more; false when the run goes on
// with this exe (why is in the log). `release_instance` is the entry's release of its mutex.
bool run_self_update_step(const shell_offer& offer, std::function<void()> release_instance,
                          shell_download download = {});
