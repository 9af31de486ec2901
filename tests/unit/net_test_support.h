// Scoped helpers of the network tests: a temporary folder, the system's default WinHTTP proxy, one
// environment variable. Each restores what it changed.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <optional>
#include <string>

namespace net_test {

class temp_dir {
public:
    temp_dir() {
        wchar_t base[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH, base);
        path_ = std::wstring(base) + L"quillmarsh_net_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                std::to_wstring(counter()++);
        CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~temp_dir() {
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW((path_ + L"\\*").c_str(), &found);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = found.cFileName;
                if (name != L"." && name != L"..") DeleteFileW((path_ + L"\\" + name).c_str());
            } while (FindNextFileW(find, &found));
            FindClose(find);
        }
        RemoveDirectoryW(path_.c_str());
    }
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const std::wstring& path() const { return path_; }
    std::wstring file(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    static int& counter() {
        static int n = 0;
        return n;
    }
    std::wstring path_;
};

inline bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline std::string read_file(const std::wstring& path) {
    std::string out;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return out;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) out.append(chunk, got);
    CloseHandle(file);
    return out;
}

inline bool write_file(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

// Sets the machine's default WinHTTP proxy (what WINHTTP_ACCESS_TYPE_DEFAULT_PROXY sessions use) for
// the scope; nullptr means "no proxy". Restores the previous setting.
class default_proxy {
public:
    explicit default_proxy(const wchar_t* proxy) {
        WINHTTP_PROXY_INFO old{};
        if (WinHttpGetDefaultProxyConfiguration(&old)) {
            saved_access_ = old.dwAccessType;
            if (old.lpszProxy) saved_proxy_ = old.lpszProxy;
            if (old.lpszProxyBypass) saved_bypass_ = old.lpszProxyBypass;
            if (old.lpszProxy) GlobalFree(old.lpszProxy);
            if (old.lpszProxyBypass) GlobalFree(old.lpszProxyBypass);
        }
        set(proxy ? WINHTTP_ACCESS_TYPE_NAMED_PROXY : WINHTTP_ACCESS_TYPE_NO_PROXY, proxy ? proxy : L"", L"");
    }
    ~default_proxy() { set(saved_access_, saved_proxy_, saved_bypass_); }
    default_proxy(const default_proxy&) = delete;
    default_proxy& operator=(const default_proxy&) = delete;
    bool ok() const { return ok_; }

private:
    void set(DWORD access, std::wstring proxy, std::wstring bypass) {
        WINHTTP_PROXY_INFO info{};
        info.dwAccessType = access;
        info.lpszProxy = access == WINHTTP_ACCESS_TYPE_NAMED_PROXY ? proxy.data() : nullptr;
        info.lpszProxyBypass = access == WINHTTP_ACCESS_TYPE_NAMED_PROXY && !bypass.empty() ? bypass.data() : nullptr;
        ok_ = WinHttpSetDefaultProxyConfiguration(&info) != FALSE;
    }
    DWORD saved_access_ = WINHTTP_ACCESS_TYPE_NO_PROXY;
    std::wstring saved_proxy_;
    std::wstring saved_bypass_;
    bool ok_ = false;
};

// Sets (or with nullptr removes) one environment variable for the scope and restores it afterwards.
class env_var {
public:
    env_var(const wchar_t* name, const wchar_t* value) : name_(name) {
        wchar_t probe[1];
        SetLastError(ERROR_SUCCESS);
        const DWORD need = GetEnvironmentVariableW(name, probe, 0);
        if (need > 0) {
            std::wstring old(need, L'\0');
            const DWORD got = GetEnvironmentVariableW(name, old.data(), need);
            old.resize(got);
            saved_ = old;
        }
        SetEnvironmentVariableW(name, value);
    }
    ~env_var() { SetEnvironmentVariableW(name_.c_str(), saved_ ? saved_->c_str() : nullptr); }
    env_var(const env_var&) = delete;
    env_var& operator=(const env_var&) = delete;

private:
    std::wstring name_;
    std::optional<std::wstring> saved_;
};

}  // namespace net_test
