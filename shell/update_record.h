// The update record: last.sha256 names the launcher jar the shell installed last, and when.
#pragma once

#include <string>

// Writes digest + "\r\nlast_check=" + stamp + "\r\n"; a failure is only logged.
void save_last_sha256(const std::wstring& path, const std::wstring& digest);
