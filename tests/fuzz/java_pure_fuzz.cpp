// Properties of the Java module's path and quoting helpers on arbitrary UTF-16 input.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "java/java_pure.h"

namespace {

bool is_quote(wchar_t c) {
    return c == L'\'' || (c >= 0x2018 && c <= 0x201B);
}

bool is_separator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// Reads a PowerShell single-quoted literal's content up to its end; false when a lone quote would
// close the literal before the end of the text.
bool unquote(const std::wstring& quoted, std::wstring& out) {
    for (std::size_t i = 0; i < quoted.size(); ++i) {
        if (is_quote(quoted[i])) {
            if (i + 1 == quoted.size() || !is_quote(quoted[i + 1])) return false;
            ++i;
        }
        out.push_back(quoted[i]);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::wstring text;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        text.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
    }

    // Quoting for PowerShell never lets the literal end early and reads back as the original.
    std::wstring back;
    if (!unquote(powershell_quote_content(text), back) || back != text) std::abort();

    // Splitting loses exactly the semicolons and keeps no empty piece.
    std::size_t kept = 0;
    for (const std::wstring& piece : split_path_list(text)) {
        if (piece.empty() || piece.find(L';') != std::wstring::npos) std::abort();
        kept += piece.size();
    }
    std::size_t semicolons = 0;
    for (wchar_t c : text) semicolons += c == L';' ? 1u : 0u;
    if (kept + semicolons != text.size()) std::abort();

    // A PATH piece's home is a prefix of the piece without a trailing separator.
    const std::wstring home = home_from_path_piece(text);
    if (text.compare(0, home.size(), home) != 0) std::abort();
    if (!home.empty() && is_separator(home.back())) std::abort();

    // Exclusion does not depend on ASCII letter case.
    std::wstring upper = text;
    for (wchar_t& c : upper) {
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    }
    if (is_excluded_java_path(upper) != is_excluded_java_path(text)) std::abort();
    return 0;
}
