#include "tests/support/support.h"

#include <algorithm>
#include <cstdint>

#include "base/handle.h"

namespace support {

// ---- Files and folders ---------------------------------------------------------------------------

temp_dir::temp_dir(const std::wstring& tag) {
    wchar_t base[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, base);
    std::wstring root(base);
    while (!root.empty() && (root.back() == L'\\' || root.back() == L'/')) root.pop_back();
    static LONG counter = 0;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const std::wstring candidate = root + L"\\" + tag + L"_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                                       std::to_wstring(GetTickCount64()) + L"_" +
                                       std::to_wstring(InterlockedIncrement(&counter));
        if (CreateDirectoryW(candidate.c_str(), nullptr)) {
            path = candidate;
            return;
        }
    }
}

temp_dir::~temp_dir() {
    if (!path.empty()) remove_tree(path);
}

std::wstring temp_dir::sub(const std::wstring& name, bool create) const {
    const std::wstring p = path + L"\\" + name;
    if (create) make_dirs(p);
    return p;
}

bool make_dirs(const std::wstring& path) {
    if (dir_exists(path)) return true;
    const std::size_t cut = path.find_last_of(L"\\/");
    if (cut != std::wstring::npos && cut > 2) make_dirs(path.substr(0, cut));
    CreateDirectoryW(path.c_str(), nullptr);
    return dir_exists(path);
}

bool remove_tree(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return DeleteFileW(path.c_str()) != 0;
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {  // a link goes by itself, its target stays
        WIN32_FIND_DATAW found{};
        find_handle listing{FindFirstFileW((path + L"\\*").c_str(), &found)};
        if (listing) {
            do {
                const std::wstring name = found.cFileName;
                if (name != L"." && name != L"..") remove_tree(path + L"\\" + name);
            } while (FindNextFileW(listing.get(), &found));
        }
    }
    return RemoveDirectoryW(path.c_str()) != 0;
}

bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool file_exists(const std::wstring& path) {
    const DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool dir_exists(const std::wstring& path) {
    const DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

std::optional<std::string> read_file(const std::wstring& path) {
    kernel_handle file{CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (!file) return std::nullopt;
    std::string out;
    std::string chunk(65536, '\0');
    DWORD got = 0;
    while (ReadFile(file.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr) && got > 0) {
        out.append(chunk.data(), got);
    }
    return out;
}

std::string read_bytes(const std::wstring& path) {
    return read_file(path).value_or(std::string());
}

bool write_file(const std::wstring& path, const std::string& bytes) {
    const std::size_t cut = path.find_last_of(L'\\');
    if (cut != std::wstring::npos && cut > 2) make_dirs(path.substr(0, cut));
    kernel_handle file{
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (!file) return false;
    DWORD written = 0;
    return WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

std::optional<std::wstring> read_utf16_file(const std::wstring& path) {
    const std::optional<std::string> bytes = read_file(path);
    if (!bytes) return std::nullopt;
    std::wstring out;
    for (std::size_t i = 0; i + 1 < bytes->size(); i += 2) {
        const auto lo = static_cast<unsigned char>((*bytes)[i]);
        const auto hi = static_cast<unsigned char>((*bytes)[i + 1]);
        out.push_back(static_cast<wchar_t>(lo | (hi << 8)));
    }
    return out;
}

// ---- Text ----------------------------------------------------------------------------------------

std::wstring widen(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

std::string narrow(const std::wstring& text) {
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                      nullptr);
    std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    }
    return out;
}

std::vector<std::wstring> split_lines(const std::wstring& text) {
    std::vector<std::wstring> out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(L"\r\n", start);
        if (end == std::wstring::npos) {
            if (start < text.size()) out.push_back(text.substr(start));
            return out;
        }
        out.push_back(text.substr(start, end - start));
        start = end + 2;
    }
}

// ---- Environment and build ----------------------------------------------------------------------

std::wstring own_env(const wchar_t* name) {
    std::wstring buffer(32768, L'\0');
    const DWORD n = GetEnvironmentVariableW(name, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0 || n >= buffer.size()) return {};
    buffer.resize(n);
    return buffer;
}

std::wstring windows_path(const std::wstring& path) {
    if (path.empty() || path[0] != L'/') return path;
    std::wstring out = L"Z:" + path;
    std::replace(out.begin(), out.end(), L'/', L'\\');
    return out;
}

std::wstring test_bin(const std::wstring& relative) {
    std::wstring base = windows_path(own_env(L"QUILLMARSH_TEST_BIN"));
    if (relative.empty()) return base;
    std::wstring rel = relative;
    std::replace(rel.begin(), rel.end(), L'/', L'\\');
    return base + L"\\" + rel;
}

env_var::env_var(const wchar_t* name, const wchar_t* value) : name_(name) {
    std::wstring buffer(32768, L'\0');
    SetLastError(ERROR_SUCCESS);
    const DWORD n = GetEnvironmentVariableW(name, buffer.data(), 32768);
    if (n > 0 && n < 32768) {
        buffer.resize(n);
        saved_ = buffer;
    } else if (n == 0 && GetLastError() != ERROR_ENVVAR_NOT_FOUND) {
        saved_ = std::wstring();  // set, but empty
    }
    SetEnvironmentVariableW(name, value);
}

env_var::~env_var() {
    SetEnvironmentVariableW(name_.c_str(), saved_ ? saved_->c_str() : nullptr);
}

namespace {
const wchar_t kShellFoldersKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
}

profile_redirect::profile_redirect(const std::wstring& roaming, const std::wstring& local) {
    reg_key key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kShellFoldersKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, key.put(),
                        nullptr) != ERROR_SUCCESS) {
        return;
    }
    const std::pair<const wchar_t*, const std::wstring*> values[] = {{L"AppData", &roaming},
                                                                      {L"Local AppData", &local}};
    for (const auto& [name, folder] : values) {
        saved_value saved;
        saved.name = name;
        DWORD size = 0;
        if (RegQueryValueExW(key.get(), name, nullptr, &saved.type, nullptr, &size) == ERROR_SUCCESS) {
            saved.data.resize(size);
            if (RegQueryValueExW(key.get(), name, nullptr, &saved.type, saved.data.data(), &size) == ERROR_SUCCESS) {
                saved.data.resize(size);
                saved.present = true;
            }
        }
        saved_.push_back(saved);
        RegSetValueExW(key.get(), name, 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(folder->c_str()),
                       static_cast<DWORD>((folder->size() + 1) * sizeof(wchar_t)));
    }
}

profile_redirect::~profile_redirect() {
    reg_key key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kShellFoldersKey, 0, KEY_WRITE, key.put()) != ERROR_SUCCESS) return;
    for (const saved_value& s : saved_) {
        if (s.present) {
            RegSetValueExW(key.get(), s.name.c_str(), 0, s.type, s.data.data(), static_cast<DWORD>(s.data.size()));
        } else {
            RegDeleteValueW(key.get(), s.name.c_str());
        }
    }
}

// ---- System programs -----------------------------------------------------------------------------

std::wstring system_folder() {
    wchar_t buffer[MAX_PATH + 1] = {};
    const UINT n = GetSystemDirectoryW(buffer, MAX_PATH + 1);
    return n > 0 && n <= MAX_PATH ? std::wstring(buffer, n) : std::wstring();
}

system_program::system_program(const std::wstring& relative, const std::wstring& source)
    : path(system_folder() + relative) {
    // A copy saved by a run that crashed is the original: keep it, drop what that run left in place.
    const std::wstring keep = path + L".qm-saved";
    if (file_exists(keep)) {
        DeleteFileW(path.c_str());
        saved_ = keep;
    } else if (file_exists(path) && MoveFileExW(path.c_str(), keep.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        saved_ = keep;
    }
    if (!source.empty()) {
        const std::size_t cut = path.rfind(L'\\');
        make_dirs(path.substr(0, cut));
        CopyFileW(source.c_str(), path.c_str(), FALSE);
    }
}

system_program::~system_program() {
    DeleteFileW(path.c_str());
    if (!saved_.empty()) MoveFileExW(saved_.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

unpack_doubles::unpack_doubles(bool with_tar, bool with_powershell)
    : tar(L"\\tar.exe", with_tar ? test_bin(L"doubles\\tar\\tar.exe") : L""),
      powershell(L"\\WindowsPowerShell\\v1.0\\powershell.exe",
                 with_powershell ? test_bin(L"doubles\\powershell\\powershell.exe") : L"") {}

// ---- Archives ------------------------------------------------------------------------------------

std::uint32_t crc32(const std::string& bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char b : bytes) {
        crc ^= b;
        for (int k = 0; k < 8; ++k) crc = (crc & 1u) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
    }
    return crc ^ 0xFFFFFFFFu;
}

namespace {

// Little-endian fields, each given as {value, bytes}.
void put(std::string& out, std::initializer_list<std::pair<std::uint32_t, int>> fields) {
    for (const auto& [value, bytes] : fields) {
        for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

}  // namespace

std::string make_zip(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string out;
    std::string central;
    for (const auto& [name, data] : entries) {
        const auto offset = static_cast<std::uint32_t>(out.size());
        const std::uint32_t crc = crc32(data);
        const auto size = static_cast<std::uint32_t>(data.size());
        const auto name_size = static_cast<std::uint32_t>(name.size());
        // Local header: version 2.0, UTF-8 names, stored, a fixed DOS date.
        put(out, {{0x04034b50u, 4}, {20, 2}, {0x0800, 2}, {0, 2}, {0, 2}, {0x21, 2}, {crc, 4}, {size, 4},
                  {size, 4}, {name_size, 2}, {0, 2}});
        out += name;
        out += data;
        const std::uint32_t attributes = name.back() == '/' ? 0x10u : 0x20u;
        put(central, {{0x02014b50u, 4}, {20, 2}, {20, 2}, {0x0800, 2}, {0, 2}, {0, 2}, {0x21, 2}, {crc, 4},
                      {size, 4}, {size, 4}, {name_size, 2}, {0, 2}, {0, 2}, {0, 2}, {0, 2}, {attributes, 4},
                      {offset, 4}});
        central += name;
    }
    const auto central_offset = static_cast<std::uint32_t>(out.size());
    const auto count = static_cast<std::uint32_t>(entries.size());
    out += central;
    put(out, {{0x06054b50u, 4}, {0, 2}, {0, 2}, {count, 2}, {count, 2},
              {static_cast<std::uint32_t>(central.size()), 4}, {central_offset, 4}, {0, 2}});
    return out;
}

}  // namespace support
