// Owning wrappers for the Win32 handles the program opens. Every handle is owned from the line that
// creates it and closed on every path; closing never changes the last error the caller reads.
#pragma once

#include <windows.h>
#include <bcrypt.h>
#include <winhttp.h>

template <typename Traits>
class owned {
public:
    using value_type = typename Traits::value_type;
    owned() noexcept = default;
    explicit owned(value_type v) noexcept : v_(v) {}
    owned(owned&& o) noexcept : v_(o.release()) {}
    owned& operator=(owned&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    owned(const owned&) = delete;  // a copy would close twice
    owned& operator=(const owned&) = delete;
    ~owned() { reset(); }
    value_type get() const noexcept { return v_; }
    explicit operator bool() const noexcept { return Traits::valid(v_); }
    value_type release() noexcept {
        value_type v = v_;
        v_ = Traits::none();
        return v;
    }
    value_type* put() noexcept {  // for out-parameters
        reset();
        return &v_;
    }
    void reset(value_type v = Traits::none()) noexcept {
        if (Traits::valid(v_)) {
            const DWORD saved = GetLastError();  // closing must not change the code the caller reads
            Traits::close(v_);
            SetLastError(saved);
        }
        v_ = v;
    }

private:
    value_type v_ = Traits::none();
};

// CreateFileW fails with INVALID_HANDLE_VALUE, most others with nullptr; both mean "nothing owned",
// which also keeps the GetCurrentProcess() pseudo-handle out of CloseHandle.
struct kernel_traits {
    using value_type = HANDLE;
    static HANDLE none() noexcept { return nullptr; }
    static bool valid(HANDLE h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) noexcept { CloseHandle(h); }
};
struct find_traits : kernel_traits {
    static void close(HANDLE h) noexcept { FindClose(h); }
};
struct reg_traits {
    using value_type = HKEY;
    static HKEY none() noexcept { return nullptr; }
    static bool valid(HKEY h) noexcept { return h != nullptr; }
    static void close(HKEY h) noexcept { RegCloseKey(h); }
};
struct winhttp_traits {
    using value_type = HINTERNET;
    static HINTERNET none() noexcept { return nullptr; }
    static bool valid(HINTERNET h) noexcept { return h != nullptr; }
    static void close(HINTERNET h) noexcept { WinHttpCloseHandle(h); }
};
struct bcrypt_alg_traits {
    using value_type = BCRYPT_ALG_HANDLE;
    static BCRYPT_ALG_HANDLE none() noexcept { return nullptr; }
    static bool valid(BCRYPT_ALG_HANDLE h) noexcept { return h != nullptr; }
    static void close(BCRYPT_ALG_HANDLE h) noexcept { BCryptCloseAlgorithmProvider(h, 0); }
};
struct bcrypt_hash_traits {
    using value_type = BCRYPT_HASH_HANDLE;
    static BCRYPT_HASH_HANDLE none() noexcept { return nullptr; }
    static bool valid(BCRYPT_HASH_HANDLE h) noexcept { return h != nullptr; }
    static void close(BCRYPT_HASH_HANDLE h) noexcept { BCryptDestroyHash(h); }
};
struct bcrypt_key_traits {
    using value_type = BCRYPT_KEY_HANDLE;
    static BCRYPT_KEY_HANDLE none() noexcept { return nullptr; }
    static bool valid(BCRYPT_KEY_HANDLE h) noexcept { return h != nullptr; }
    static void close(BCRYPT_KEY_HANDLE h) noexcept { BCryptDestroyKey(h); }
};
struct gdi_traits {
    using value_type = HGDIOBJ;
    static HGDIOBJ none() noexcept { return nullptr; }
    static bool valid(HGDIOBJ h) noexcept { return h != nullptr; }
    static void close(HGDIOBJ h) noexcept { DeleteObject(h); }
};
// A memory device context (CreateCompatibleDC); window DCs are released by EndPaint/ReleaseDC instead.
struct dc_traits {
    using value_type = HDC;
    static HDC none() noexcept { return nullptr; }
    static bool valid(HDC h) noexcept { return h != nullptr; }
    static void close(HDC h) noexcept { DeleteDC(h); }
};

// Memory the system allocated for the caller with LocalAlloc: security descriptors from
// GetSecurityInfo and account strings from ConvertSidToStringSidW.
struct local_traits {
    using value_type = HLOCAL;
    static HLOCAL none() noexcept { return nullptr; }
    static bool valid(HLOCAL h) noexcept { return h != nullptr; }
    static void close(HLOCAL h) noexcept { LocalFree(h); }
};

using kernel_handle = owned<kernel_traits>;
using find_handle = owned<find_traits>;
using reg_key = owned<reg_traits>;
using http_handle = owned<winhttp_traits>;
using alg_handle = owned<bcrypt_alg_traits>;
using hash_handle = owned<bcrypt_hash_traits>;
using key_handle = owned<bcrypt_key_traits>;
using gdi_object = owned<gdi_traits>;
using memory_dc = owned<dc_traits>;
using local_memory = owned<local_traits>;

// Both handles of a started process, owned together from the CreateProcessW call on:
//     process_handles child;   if (CreateProcessW(...)) child = process_handles(info);
struct process_handles {
    process_handles() = default;
    explicit process_handles(const PROCESS_INFORMATION& info) : process(info.hProcess), thread(info.hThread) {}
    kernel_handle process;
    kernel_handle thread;
};
