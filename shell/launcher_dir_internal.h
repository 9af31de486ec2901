// What only the launcher directory's tests see: the candidates and the resolution over given ones.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "shell/launcher_dir.h"

// The candidate list of this machine.
std::vector<std::wstring> launcher_dir_candidates();
// Tries each candidate (creates its last element, owner-only, when missing; refuses one that another
// account owns or may change; creates a test file in it) and appends
// "[probe] <candidate> -> <OK or reason>" to `probe_log_path` (UTF-16LE, no byte order mark). When none
// passes, those that failed for a missing parent are tried once more after making that parent
// (owner-only), each with a second probe line.
launcher_location resolve_launcher_dir(const std::vector<std::wstring>& candidates,
                                       const std::wstring& probe_log_path);

// The account this process runs as: its token's user, kept with the buffer that holds it.
struct current_user {
    std::vector<DWORD> token_user;  // a TOKEN_USER record, DWORD-aligned; empty when unreadable
    std::string sid_text;           // "S-1-5-21-…", empty when unreadable
    DWORD code = 0;                 // why it could not be read
    PSID sid() const {
        return token_user.empty() ? nullptr : reinterpret_cast<const TOKEN_USER*>(token_user.data())->User.Sid;
    }
};
current_user read_current_user();
