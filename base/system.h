// The two readers of the machine's settings every subsystem uses: environment variables and registry
// strings.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "base/handle.h"

// The variable's value through GetEnvironmentVariableW (never the C runtime's copy), or empty when it
// is unset, empty or longer than 32767 characters.
std::wstring read_env(const wchar_t* name);

// A REG_SZ value from the 64-bit registry view; nothing when the key or value is missing, the value
// has another type (REG_EXPAND_SZ included) or is shorter than one character's bytes. The stored text
// need not end in a NUL; it is cut at its first NUL, if any.
std::optional<std::wstring> read_registry_string(HKEY root, const std::wstring& subkey, const std::wstring& value);

// Opens `path` for `access` as a plain file of its own, creating it when missing, and never through a
// link: a link standing there (symbolic link, junction, any reparse point) or a file that also has
// another name (a hard link to a file elsewhere) is deleted by name, never followed, and a new file
// is created in its place. With `truncate`, an existing file is emptied through the handle. `created`
// tells whether the file is new. `security` may make the handle inheritable. An empty handle on
// failure with the platform's code in `code` (ERROR_DIRECTORY for a folder standing there); on
// success `code` is left alone.
kernel_handle open_plain_file(const std::wstring& path, DWORD access, DWORD share, bool truncate,
                              SECURITY_ATTRIBUTES* security, bool& created, DWORD& code);
