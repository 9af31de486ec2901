// Java runtimes: discovery, probe, hidden process runner, tree removal, the built-in Java 17.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "java/java_pure.h"  // is_excluded_java_path and the other platform-free helpers
#include "net/net_pure.h"    // download_progress

// ---- Discovery ----------------------------------------------------------------------------------

// Appends the installed Java homes to `list` in discovery order: JAVA_HOME, the PATH pieces, the
// JavaSoft registry keys (HKLM, then HKCU), the Java, Eclipse Adoptium and Microsoft folders below
// ProgramFiles and ProgramFiles(x86), and `launcher_dir` + "\jre". Homes are compared ignoring case;
// the first form found stays, and one equal to `exclusion_home` never enters. Never fails: an
// unreadable source contributes nothing.
void find_java_candidates(std::vector<std::wstring>& list, const std::wstring& exclusion_home,
                          const std::wstring& launcher_dir);
// True when dir + "\bin\java.exe" is an existing file (not a directory) and dir is not excluded.
bool is_java_home(const std::wstring& dir);
// Appends the Java homes among the children (and, with depth 2, the grandchildren) of `root` to
// `out`, depth-first in the order the file system lists them; a home is not searched further and
// excluded directories are not entered. The root itself is never tested. No de-duplication.
void search_java_homes(const std::wstring& root, int depth, std::vector<std::wstring>& out);

// ---- Probe, runner, removal ---------------------------------------------------------------------

constexpr std::uint32_t kJavaProbeLimitMs = 15000;
constexpr std::uint32_t kRunHiddenLimitMs = 120000;

// Runs "<home>\bin\java.exe" -version hidden; true when it ends by itself with 0 within 15 s. A
// runtime still running then is terminated. Produces no error text.
bool probe_java(const std::wstring& home);
// Runs a command line hidden (output not read) for at most 120 s; true on exit code 0. On failure
// `error` becomes "не удалось запустить: " + the command line, "превышен таймаут (120 сек)" (the
// process is terminated) or "завершился с кодом N"; on success it is left alone.
bool run_hidden(const std::wstring& command_line, std::wstring& error);
// run_hidden for a program of the system folder: `system_program` (kTarProgram, kPowerShellProgram)
// appended to GetSystemDirectoryW is the application name, the command line goes on unchanged. A
// system folder that cannot be read counts as a program that cannot be started. The program runs in
// a job that ends with this process: whatever it still runs then (it, and anything it started) is
// ended by the system, so a shell ended by its watchdog leaves no unpacker writing on. Where no job
// can be made or joined, the program runs without one.
bool run_system_program(const std::wstring& system_program, const std::wstring& command_line,
                        std::wstring& error);
// Removes a directory tree, best effort and silently; whatever cannot be removed stays, with the
// directories above it. Links inside the tree (entries whose reparse tag names another place:
// junctions, symbolic links) are removed themselves, never followed; other reparse points (cloud
// placeholders, deduplicated files) are ordinary files and folders.
void remove_tree(const std::wstring& dir);

// ---- Built-in Java 17 ---------------------------------------------------------------------------

// The built-in Java 17 home below `launcher_dir` + "\Java17". An existing home is returned at once
// (the first that passes the probe, else the first found) unless `force` is set. Otherwise the
// archive at `archive_url` is downloaded to "Java17.zip" (progress reported through `progress`),
// checked against `version_key` when that is not empty (hex, any case), unpacked into "Java17.new"
// with tar.exe or else PowerShell's Expand-Archive, probed and renamed to "Java17"; two attempts.
// Returns the home with `error` cleared; an existing home with a warning in `error` when forced
// provisioning failed; nothing with the reason in `error`. With a `publisher_key_pem`, every archive
// must match its signature (`archive_url` + ".sig") before it is unpacked; one that does not is
// deleted and the attempt fails as a failed download does. The download keeps within `limits`; the
// digests compared are those of the bytes written, and the archive stays held (no writing, renaming
// or deleting by others) until the unpacker has finished. Each attempt unpacks into a "Java17.new"
// that it made itself: when what was there cannot be removed, the attempt fails with "не удалось
// очистить папку распаковки: " + its path, before anything is downloaded.
std::optional<std::wstring> ensure_builtin_java17(const std::wstring& launcher_dir, const std::wstring& archive_url,
                                                  const std::wstring& version_key, bool force, std::wstring& error,
                                                  const download_progress& progress, const download_limits& limits,
                                                  std::string_view publisher_key_pem = {});
// Removes what a run killed while provisioning may have left below `launcher_dir`: the archive
// "Java17.zip" (a link there is removed, never followed) and the staging folder "Java17.new". Silent
// and best effort.
void remove_java17_leftovers(const std::wstring& launcher_dir);
