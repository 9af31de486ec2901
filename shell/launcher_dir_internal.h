// What only the launcher directory's tests see: the candidates and the resolution over given ones.
#pragma once

#include <string>
#include <vector>

#include "shell/launcher_dir.h"

// The candidate list of this machine.
std::vector<std::wstring> launcher_dir_candidates();
// Tries each candidate (creates its last element and a test file in it) and appends
// "[probe] <candidate> -> <OK or reason>" to `probe_log_path` (UTF-16LE, no byte order mark).
launcher_location resolve_launcher_dir(const std::vector<std::wstring>& candidates,
                                       const std::wstring& probe_log_path);
