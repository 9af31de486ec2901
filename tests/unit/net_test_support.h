// The system's default WinHTTP proxy for the scope of a network test; restored afterwards.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <string>

namespace net_test {

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

}  // namespace net_test
