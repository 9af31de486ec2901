// Java runtimes: discovery, probe, hidden process runner, tree removal, the built-in Java 17.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "shell/shell_pure.h"

// Installed Java homes in discovery order, without duplicates (first form found kept).
void find_java_candidates(std::vector<std::wstring>& list, const std::wstring& exclusion_home);
bool is_java_home(const std::wstring& dir);
bool is_excluded_java_path(const std::wstring& path);
void search_java_homes(const std::wstring& root, int depth, std::vector<std::wstring>& out);
std::optional<std::wstring> read_registry_string(HKEY root, const std::wstring& subkey, const std::wstring& value);

// Runs "<home>\bin\java.exe" -version hidden; true when it ends by itself with 0 within 15 s.
bool probe_java(const std::wstring& home);
// Runs a command line hidden for at most 120 s; true on exit code 0.
bool run_hidden(const std::wstring& command_line, std::wstring& error);
// Removes a directory tree, best effort; links inside are removed, never followed.
void remove_tree(const std::wstring& dir);

// The built-in Java 17 home in the launcher directory, provisioned from `archive_url` when missing.
std::optional<std::wstring> ensure_builtin_java17(const std::wstring& archive_url, const std::wstring& version_key,
                                                  bool force, std::wstring& error,
                                                  const download_progress& progress);
