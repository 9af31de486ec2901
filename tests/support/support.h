// Shared test code, written once: temporary folders, whole-file I/O, UTF-8 for expectations, scopes
// for the environment and the player's profile folders in the registry, Wine paths, and a writer of
// stored zip archives. Everything restores what it changed; failures show up in the tests' checks.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace support {

// ---- Files and folders ---------------------------------------------------------------------------

// A fresh folder below the temporary directory (its name holds `tag`, which may contain blanks and
// other letters), removed with its whole tree on destruction.
struct temp_dir {
    explicit temp_dir(const std::wstring& tag = L"qm");
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;

    std::wstring path;
    // path + "\" + name, creating that folder (and its parents) when `create` is true.
    std::wstring sub(const std::wstring& name, bool create = true) const;
    // path + "\" + name, nothing created.
    std::wstring file(const std::wstring& name) const { return path + L"\\" + name; }
};

// Creates a folder and its missing parents; true when it exists afterwards.
bool make_dirs(const std::wstring& path);
// Removes a file or a whole folder tree (read-only attributes cleared first); links are removed, never
// entered. True when it is gone.
bool remove_tree(const std::wstring& path);
bool exists(const std::wstring& path);
bool file_exists(const std::wstring& path);
bool dir_exists(const std::wstring& path);
// Whole file as bytes; nothing when it cannot be opened.
std::optional<std::string> read_file(const std::wstring& path);
// Whole file as bytes; empty when it cannot be opened.
std::string read_bytes(const std::wstring& path);
// Replaces the file (its folder is made first); true when every byte was written.
bool write_file(const std::wstring& path, const std::string& bytes);
// A UTF-16LE file without byte order mark (the probe log) as wide text.
std::optional<std::wstring> read_utf16_file(const std::wstring& path);

// ---- Text ----------------------------------------------------------------------------------------

// UTF-8 <-> UTF-16 for expectations, independent of the product's own conversions.
std::wstring widen(const std::string& utf8);
std::string narrow(const std::wstring& text);
// Splits on "\r\n"; a trailing empty piece after the last "\r\n" is dropped.
std::vector<std::wstring> split_lines(const std::wstring& text);

// ---- Environment and build ----------------------------------------------------------------------

// The value of a variable of this process ("" when unset).
std::wstring own_env(const wchar_t* name);
// A Unix path ("/work/x/a.exe") as the Z: path Wine maps it to; other paths are returned unchanged.
std::wstring windows_path(const std::wstring& path);
// QUILLMARSH_TEST_BIN (the build folder) as a Windows path, + "\" + relative when given.
std::wstring test_bin(const std::wstring& relative = L"");

// Sets (or, with nullptr, removes) one variable of this process for the scope; restores it after.
class env_var {
public:
    env_var(const wchar_t* name, const wchar_t* value);
    env_var(const wchar_t* name, const std::wstring& value) : env_var(name, value.c_str()) {}
    ~env_var();
    env_var(const env_var&) = delete;
    env_var& operator=(const env_var&) = delete;

private:
    std::wstring name_;
    std::optional<std::wstring> saved_;
};

// Points HKCU\...\Explorer\User Shell Folders "AppData" and "Local AppData" at the given folders for
// the scope, and restores the previous values (or their absence) afterwards. Under Wine,
// SHGetFolderPathW(CSIDL_APPDATA / CSIDL_LOCAL_APPDATA) reads these values; it fails when the folder
// does not exist, which makes that launcher candidate absent.
class profile_redirect {
public:
    profile_redirect(const std::wstring& roaming, const std::wstring& local);
    ~profile_redirect();
    profile_redirect(const profile_redirect&) = delete;
    profile_redirect& operator=(const profile_redirect&) = delete;

private:
    struct saved_value {
        std::wstring name;
        bool present = false;
        DWORD type = 0;
        std::vector<BYTE> data;
    };
    std::vector<saved_value> saved_;
};

// ---- System programs -----------------------------------------------------------------------------

// GetSystemDirectoryW of this process (under Wine the prefix's C:\windows\system32).
std::wstring system_folder();

// Puts a program at system_folder() + `relative` ("\tar.exe") for the scope: a copy of `source`, or,
// with an empty source, no program there at all. What was there (Wine's own stub, or nothing) is put
// back afterwards. The shell starts its unpack programs from there only, so this is how a scene gives
// it the doubles; scenes run one at a time (the folder is the whole prefix's).
class system_program {
public:
    system_program(const std::wstring& relative, const std::wstring& source);
    ~system_program();
    system_program(const system_program&) = delete;
    system_program& operator=(const system_program&) = delete;

    std::wstring path;

private:
    std::wstring saved_;  // where the previous file waits; empty when there was none
};

// The build's tar.exe and powershell.exe doubles in the system folder, each only when asked (otherwise
// that program is absent), for the scope. The doubles keep their ini and log files in the folder that
// QUILLMARSH_DOUBLE_DIR names: set it for this process and its children (env_var) or in a launch's
// environment.
struct unpack_doubles {
    unpack_doubles(bool with_tar, bool with_powershell);
    system_program tar;
    system_program powershell;
};

// ---- Archives ------------------------------------------------------------------------------------

// The zip checksum (CRC-32, reflected, polynomial 0xEDB88320).
std::uint32_t crc32(const std::string& bytes);
// A zip of stored (uncompressed) entries with UTF-8 names; a name ending in '/' is a directory entry.
std::string make_zip(const std::vector<std::pair<std::string, std::string>>& entries);

}  // namespace support
