#include "java/java_pure.h"

#include "base/text_pure.h"

namespace {

bool is_separator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

bool is_powershell_quote(wchar_t c) {
    // PowerShell's tokenizer ends a single-quoted string at any of these, not only at the apostrophe.
    return c == L'\'' || c == static_cast<wchar_t>(0x2018) || c == static_cast<wchar_t>(0x2019) ||
           c == static_cast<wchar_t>(0x201A) || c == static_cast<wchar_t>(0x201B);
}

}  // namespace

std::wstring trim_trailing_separators(std::wstring_view path) {
    std::size_t n = path.size();
    while (n > 0 && is_separator(path[n - 1])) --n;
    return std::wstring(path.substr(0, n));
}

std::vector<std::wstring> split_path_list(std::wstring_view value) {
    std::vector<std::wstring> pieces;
    std::size_t start = 0;
    while (start <= value.size()) {
        std::size_t end = value.find(L';', start);
        if (end == std::wstring_view::npos) end = value.size();
        if (end > start) pieces.emplace_back(value.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

std::wstring home_from_path_piece(std::wstring_view piece) {
    std::wstring trimmed = trim_trailing_separators(piece);
    if (trimmed.size() >= 4 && equal_ascii_nocase(std::wstring_view(trimmed).substr(trimmed.size() - 4), L"\\bin")) {
        return trim_trailing_separators(std::wstring_view(trimmed).substr(0, trimmed.size() - 4));
    }
    return trimmed;
}

bool is_excluded_java_path(const std::wstring& path) {
    const std::wstring lower = ascii_lower(path);
    return lower.find(L"\\common files\\") != std::wstring::npos || lower.find(L"javapath") != std::wstring::npos ||
           lower.find(L"java8path") != std::wstring::npos;
}

bool add_unique_home(std::vector<std::wstring>& list, const std::wstring& home, const std::wstring& exclusion_home) {
    if (home.empty()) return false;
    if (!exclusion_home.empty() && equal_ascii_nocase(home, exclusion_home)) return false;
    for (const std::wstring& entry : list) {
        if (equal_ascii_nocase(entry, home)) return false;
    }
    list.push_back(home);
    return true;
}

std::optional<std::wstring> relative_below(const std::wstring& root, const std::wstring& home) {
    if (home.size() <= root.size() + 1 || home.compare(0, root.size(), root) != 0 || home[root.size()] != L'\\') {
        return std::nullopt;
    }
    return home.substr(root.size());
}

std::wstring java_probe_command_line(const std::wstring& home) {
    return L"\"" + home + L"\\bin\\java.exe\" -version";
}

std::wstring tar_command_line(const std::wstring& archive, const std::wstring& dir) {
    return L"tar.exe -xf \"" + archive + L"\" -C \"" + dir + L"\"";
}

std::wstring powershell_quote_content(std::wstring_view text) {
    std::wstring out;
    out.reserve(text.size() + 2);
    for (const wchar_t c : text) {
        if (is_powershell_quote(c)) out.push_back(c);
        out.push_back(c);
    }
    return out;
}

std::wstring expand_archive_command_line(const std::wstring& archive, const std::wstring& dir) {
    return L"powershell.exe -NoProfile -Command \"Expand-Archive -LiteralPath '" + powershell_quote_content(archive) +
           L"' -DestinationPath '" + powershell_quote_content(dir) + L"' -Force\"";
}

std::wstring start_failed_text(const std::wstring& command_line) {
    return L"не удалось запустить: " + command_line;
}

std::wstring time_out_text(std::uint32_t limit_ms) {
    return L"превышен таймаут (" + decimal(limit_ms / 1000u) + L" сек)";
}

std::wstring exit_code_text(std::uint32_t exit_code) {
    return L"завершился с кодом " + decimal(exit_code);
}

bool version_key_matches(const std::optional<std::wstring>& digest, const std::wstring& version_key) {
    return digest.has_value() && equal_ascii_nocase(*digest, version_key);
}

bool is_link_reparse_tag(std::uint32_t tag) {
    return (tag & 0x20000000u) != 0;  // IsReparseTagNameSurrogate
}

bool is_link_entry(bool reparse_point, std::uint32_t tag) {
    return reparse_point && (tag == 0 || is_link_reparse_tag(tag));
}
