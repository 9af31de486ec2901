// The server base address and the two built-in download paths.
#pragma once

#include <string>

// QUILLMARSH_BASE_URL (1..511 characters, unchanged) or "https://" + the built-in host.
std::wstring server_base_url();
std::wstring builtin_java_archive_path();
std::wstring builtin_launcher_jar_path();
