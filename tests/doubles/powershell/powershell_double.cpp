// Stand-in for powershell.exe (Win32 only). The shell starts it from the system folder only: tests copy
// it over C:\windows\system32\WindowsPowerShell\v1.0\powershell.exe of their prefix (Wine's stub) for
// the scene. It understands the one script the shell runs,
//     powershell.exe -NoProfile -Command "Expand-Archive -LiteralPath '<a.zip>' -DestinationPath '<dir>' -Force"
// parsing the script as PowerShell does for this form: single-quoted literals in which a quote is
// written twice ('O''Brien'), the typographic quotes U+2018..U+201B counting as quotes too; a string
// without its closing quote or text glued to one is a parse error. The archive must end in ".zip"
// (as Expand-Archive requires); the destination is created when missing; the zip (stored or deflate,
// see ../tar/zip_extract.h) is really unpacked.
//
// Exit codes: 0 unpacked; 1 parse error, unknown command or parameter, damaged archive; or a forced
// code, without doing anything: environment variable QUILLMARSH_POWERSHELL_EXIT=N, else "exit=N" in
// powershell_double.ini.
// Every start appends to powershell_double.log "cmdline=<command line>" and, when the script parsed,
// "archive=<path>" and "destination=<path>" as understood (UTF-8). Both files are in
// QUILLMARSH_DOUBLE_DIR when that is set, else beside the program.
#include <windows.h>
#include <shellapi.h>

#include <vector>

#include "../tar/zip_extract.h"

namespace {

bool is_quote(wchar_t c) {
    return c == L'\'' || (c >= 0x2018 && c <= 0x201B);
}

bool is_blank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
}

// The script's tokens (quotes resolved); false on a parse error.
bool tokenize(const std::wstring& script, std::vector<std::wstring>& tokens) {
    std::size_t i = 0;
    while (i < script.size()) {
        if (is_blank(script[i])) {
            ++i;
            continue;
        }
        std::wstring token;
        if (is_quote(script[i])) {
            ++i;
            bool closed = false;
            while (i < script.size()) {
                const wchar_t c = script[i++];
                if (is_quote(c)) {
                    if (i < script.size() && is_quote(script[i])) {
                        token.push_back(script[i++]);
                        continue;
                    }
                    closed = true;
                    break;
                }
                token.push_back(c);
            }
            if (!closed) return false;  // the string is missing its terminator
            if (i < script.size() && !is_blank(script[i])) return false;
        } else {
            while (i < script.size() && !is_blank(script[i])) {
                if (is_quote(script[i])) return false;
                token.push_back(script[i++]);
            }
        }
        tokens.push_back(token);
    }
    return true;
}

bool same_word(const std::wstring& a, const wchar_t* b) {
    return CompareStringOrdinal(a.c_str(), -1, b, -1, TRUE) == CSTR_EQUAL;
}

}  // namespace

int wmain() {
    using namespace zip_double;
    const std::wstring here = record_directory();
    const std::wstring log = here + L"\\powershell_double.log";
    record(log, "cmdline=" + to_utf8(GetCommandLineW()));

    const long long forced = forced_exit(L"QUILLMARSH_POWERSHELL_EXIT", here + L"\\powershell_double.ini");
    if (forced >= 0) return static_cast<int>(static_cast<std::uint32_t>(forced));

    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::wstring script;
    bool have_command = false;
    for (int i = 1; argv != nullptr && i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (have_command) {
            if (!script.empty()) script += L' ';
            script += arg;
        } else if (same_word(arg, L"-Command") || same_word(arg, L"-c")) {
            have_command = true;
        } else if (!same_word(arg, L"-NoProfile")) {
            say(STD_ERROR_HANDLE, "powershell: unknown option " + to_utf8(arg));
            if (argv != nullptr) LocalFree(argv);
            return 1;
        }
    }
    if (argv != nullptr) LocalFree(argv);

    std::vector<std::wstring> tokens;
    if (!have_command || !tokenize(script, tokens) || tokens.empty()) {
        say(STD_ERROR_HANDLE, "powershell: the string is missing the terminator or the script is empty");
        return 1;
    }
    if (!same_word(tokens[0], L"Expand-Archive")) {
        say(STD_ERROR_HANDLE, "powershell: unknown command " + to_utf8(tokens[0]));
        return 1;
    }
    std::wstring archive;
    std::wstring destination;
    for (std::size_t i = 1; i < tokens.size(); ++i) {
        if ((same_word(tokens[i], L"-LiteralPath") || same_word(tokens[i], L"-Path")) && i + 1 < tokens.size()) {
            archive = tokens[++i];
        } else if (same_word(tokens[i], L"-DestinationPath") && i + 1 < tokens.size()) {
            destination = tokens[++i];
        } else if (!same_word(tokens[i], L"-Force")) {
            say(STD_ERROR_HANDLE, "powershell: a parameter cannot be found that matches " + to_utf8(tokens[i]));
            return 1;
        }
    }
    record(log, "archive=" + to_utf8(archive));
    record(log, "destination=" + to_utf8(destination));
    if (archive.size() < 4 || CompareStringOrdinal(archive.c_str() + archive.size() - 4, -1, L".zip", -1, TRUE) !=
                                  CSTR_EQUAL) {
        say(STD_ERROR_HANDLE, "Expand-Archive: .zip is the only supported archive file format");
        return 1;
    }
    if (destination.empty()) destination = L".";
    CreateDirectoryW(destination.c_str(), nullptr);
    std::string reason;
    if (!extract(archive, destination, reason)) {
        say(STD_ERROR_HANDLE, "Expand-Archive: " + reason);
        return 1;
    }
    return 0;
}
