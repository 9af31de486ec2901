// Platform-free parts of the Java runtime module: path pieces, exclusion, the candidate list and the
// command lines of the probe and the two unpackers. Standard headers only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The path without any trailing '\' or '/' characters (all of them, so "C:\" becomes "C:").
std::wstring trim_trailing_separators(std::wstring_view path);

// The pieces of a PATH value split at every ';', empty pieces dropped, nothing else changed (blanks
// and quotation marks stay, so a quoted piece never names a directory).
std::vector<std::wstring> split_path_list(std::wstring_view value);

// The Java home a PATH piece points at: the piece without trailing separators and, when what remains
// ends in "\bin" (any letter case), without that and the separators before it. "C:\jdk\BIN\" gives
// "C:\jdk"; "C:\jdk" stays "C:\jdk".
std::wstring home_from_path_piece(std::wstring_view piece);

// True when the path, ASCII letters lower-cased, contains "\common files\", "javapath" or "java8path".
// Such directories are never Java homes and the directory search never enters them.
bool is_excluded_java_path(const std::wstring& path);

// Appends `home` to `list` unless it is empty, equals `exclusion_home` (when that is not empty) or
// equals an entry already there, all compared ignoring ASCII letter case. The first form found stays.
// True when appended.
bool add_unique_home(std::vector<std::wstring>& list, const std::wstring& home, const std::wstring& exclusion_home);

// The rest of `home` after the directory `root` (starting with '\'), or nothing when `home` does not
// lie strictly below `root`.
std::optional<std::wstring> relative_below(const std::wstring& root, const std::wstring& home);

// "<home>\bin\java.exe" -version, the home inserted as it is (quoted, so spaces are harmless).
std::wstring java_probe_command_line(const std::wstring& home);

// The unpack programs, below the system folder (GetSystemDirectoryW). They are started by this full
// path: found by search, a tar.exe beside the shell or in its working folder would run instead.
constexpr const wchar_t* kTarProgram = L"\\tar.exe";
constexpr const wchar_t* kPowerShellProgram = L"\\WindowsPowerShell\\v1.0\\powershell.exe";

// tar.exe -xf "<archive>" -C "<dir>"
std::wstring tar_command_line(const std::wstring& archive, const std::wstring& dir);

// The text as the content of a PowerShell single-quoted literal: every quote character (the ASCII
// apostrophe and the typographic U+2018..U+201B, which PowerShell treats alike) written twice.
std::wstring powershell_quote_content(std::wstring_view text);

// powershell.exe -NoProfile -Command "Expand-Archive -LiteralPath '<archive>' -DestinationPath '<dir>' -Force"
// with both literals escaped by powershell_quote_content, so a profile such as O'Brien still unpacks.
std::wstring expand_archive_command_line(const std::wstring& archive, const std::wstring& dir);

// The three failure texts of the hidden process runner.
std::wstring start_failed_text(const std::wstring& command_line);   // "не удалось запустить: " + line
std::wstring time_out_text(std::uint32_t limit_ms);                   // "превышен таймаут (120 сек)"
std::wstring exit_code_text(std::uint32_t exit_code);                 // "завершился с кодом N", unsigned

// True when a downloaded archive's digest matches the expected version key, ignoring ASCII letter
// case; a missing digest never matches.
bool version_key_matches(const std::optional<std::wstring>& digest, const std::wstring& version_key);

// True when a directory entry with this reparse tag stands for another place (a mount point, a
// symbolic link: the tag's name-surrogate bit), so tree removal deletes the entry and never enters it.
// Other reparse points (cloud-file placeholders, deduplicated files) are ordinary files and folders.
bool is_link_reparse_tag(std::uint32_t tag);

// Whether tree removal treats a listed entry as a link: a reparse point whose tag is a name surrogate,
// or whose tag the listing left at 0. No reparse point has tag 0, so 0 means the platform did not say
// (Wine's listings never do), and not entering is the safe side.
bool is_link_entry(bool reparse_point, std::uint32_t tag);
