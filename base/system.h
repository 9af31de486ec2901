// The two readers of the machine's settings every subsystem uses: environment variables and registry
// strings.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

// The variable's value through GetEnvironmentVariableW (never the C runtime's copy), or empty when it
// is unset, empty or longer than 32767 characters.
std::wstring read_env(const wchar_t* name);

// A REG_SZ value from the 64-bit registry view; nothing when the key or value is missing, the value
// has another type (REG_EXPAND_SZ included) or is shorter than one character's bytes. The stored text
// need not end in a NUL; it is cut at its first NUL, if any.
std::optional<std::wstring> read_registry_string(HKEY root, const std::wstring& subkey, const std::wstring& value);
