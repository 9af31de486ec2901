#include "shell/self_update_pure.h"

#include "base/text_pure.h"

namespace {

bool is_blank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

int compare_versions(const shell_version& a, const shell_version& b) {
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    }
    return 0;
}

shell_version version_from_halves(std::uint32_t most, std::uint32_t least) {
    return {static_cast<std::uint16_t>(most >> 16), static_cast<std::uint16_t>(most & 0xFFFFu),
            static_cast<std::uint16_t>(least >> 16), static_cast<std::uint16_t>(least & 0xFFFFu)};
}

std::wstring version_text(const shell_version& v) {
    std::wstring text;
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (i != 0) text += L'.';
        text += decimal(v[i]);
    }
    return text;
}

std::wstring new_shell_path(std::wstring_view exe) {
    return std::wstring(exe) + L".new";
}

std::wstring old_shell_path(std::wstring_view exe) {
    return std::wstring(exe) + L".old";
}

bool offer_is_newer(const shell_version& offered, const shell_version& running) {
    return compare_versions(offered, running) > 0;
}

bool same_sha256_hex(std::string_view a, std::string_view b) {
    if (a.size() != 64 || b.size() != 64) return false;
    for (std::size_t i = 0; i < 64; ++i) {
        const int x = hex_value(a[i]);
        if (x < 0 || x != hex_value(b[i])) return false;
    }
    return true;
}

candidate_verdict check_candidate(const shell_version& offered, const shell_identity& candidate,
                                  const shell_identity& running) {
    if (compare_versions(candidate.version, offered) != 0) return candidate_verdict::other_version;
    if (candidate.product.empty() || candidate.product != running.product) return candidate_verdict::other_product;
    return candidate_verdict::fits;
}

std::wstring self_test_command_line(std::wstring_view exe) {
    return L"\"" + std::wstring(exe) + L"\" " + std::wstring(kSelfTestArgument);
}

bool is_self_test_command_line(std::wstring_view command_line) {
    std::size_t at = 0;
    // The program token as the platform splits it: a quoted one runs to the next quote, an unquoted
    // one to the first blank.
    if (!command_line.empty() && command_line[0] == L'"') {
        const std::size_t close = command_line.find(L'"', 1);
        if (close == std::wstring_view::npos) return false;
        at = close + 1;
    } else {
        while (at < command_line.size() && !is_blank(command_line[at])) ++at;
    }
    if (at >= command_line.size() || !is_blank(command_line[at])) return false;  // no argument apart
    while (at < command_line.size() && is_blank(command_line[at])) ++at;
    std::size_t end = command_line.size();
    while (end > at && is_blank(command_line[end - 1])) --end;
    return command_line.substr(at, end - at) == kSelfTestArgument;
}

std::wstring nt_path(std::wstring_view path) {
    if (path.substr(0, 4) == L"\\\\?\\") return L"\\??\\" + std::wstring(path.substr(4));
    if (path.substr(0, 2) == L"\\\\") return L"\\??\\UNC\\" + std::wstring(path.substr(2));
    return L"\\??\\" + std::wstring(path);
}
