// The server base address, the two built-in download paths and their size caps.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// QUILLMARSH_BASE_URL (1..511 characters, unchanged) or "https://" + the built-in host.
std::wstring server_base_url();
std::wstring builtin_java_archive_path();
std::wstring builtin_launcher_jar_path();
// The release manifest's path (its signature: the same + ".sig"), appended to the base address too.
std::wstring builtin_release_path();
// The shell exe's path, which a trusted release manifest's "file shell" line describes.
std::wstring builtin_shell_path();
// The product name a release manifest must carry, as its bytes (ASCII: checked at configure time).
std::string builtin_product();
// The build's download caps (QUILLMARSH_MAX_JAR_BYTES, QUILLMARSH_MAX_ARCHIVE_BYTES), in bytes.
std::uint64_t max_jar_bytes();
std::uint64_t max_archive_bytes();
// The publisher's public key (PEM) that downloads are checked with; empty when the build has none.
// Defined apart (shell/publisher_key.cpp), so a second exe can be built with another key.
std::string_view publisher_key_pem();
