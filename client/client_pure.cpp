#include "client/client_pure.h"

#include "base/text_pure.h"

std::wstring client_executable_path(std::wstring_view java_home) {
    std::wstring path(java_home);
    path += L"\\bin\\java.exe";
    return path;
}

std::wstring client_command_line(std::wstring_view java_home, std::wstring_view jar_path) {
    std::wstring line = L"\"";
    line += client_executable_path(java_home);
    line += L"\" -jar \"";
    line += jar_path;
    line += L"\"";
    return line;
}

std::uint64_t console_tail_offset(std::uint64_t size) {
    return size >= kConsoleTailBytes ? size - kConsoleTailBytes : 0;
}

std::string_view console_text_bytes(std::string_view read) {
    const std::size_t zero = read.find('\0');
    return zero == std::string_view::npos ? read : read.substr(0, zero);
}

std::wstring trim_console_tail(std::wstring text) {
    while (!text.empty()) {
        const wchar_t last = text.back();
        if (last != L'\n' && last != L'\r' && last != L' ') break;
        text.pop_back();
    }
    if (text.size() > kConsoleKeptChars) text.erase(0, text.size() - kConsoleKeptChars);
    return text;
}

std::vector<std::wstring> client_candidate_list(const std::wstring& builtin_home,
                                                const std::vector<std::wstring>& discovered) {
    std::vector<std::wstring> list;
    auto add = [&list](const std::wstring& home) {
        if (home.empty()) return;
        for (const std::wstring& known : list) {
            if (equal_ascii_nocase(known, home)) return;
        }
        list.push_back(home);
    };
    add(builtin_home);
    for (const std::wstring& home : discovered) add(home);
    return list;
}

std::wstring early_exit_error(std::uint32_t exit_code) {
    return with_code(L"Клиент завершился сразу после запуска", exit_code);
}

std::wstring process_start_error(std::uint32_t code, std::wstring_view executable_path) {
    std::wstring text = with_code(L"Ошибка запуска Java", code);
    text += L": ";
    text += executable_path;
    return text;
}

std::wstring no_client_started_text(std::wstring_view error, std::wstring_view client_output,
                                    std::wstring_view launcher_log_path) {
    std::wstring text = L"Не удалось запустить клиент ни на одной Java.\n\n";
    text += error;
    if (!client_output.empty()) {
        text += L"\n\nПодробности:\n";
        text += client_output;
    }
    text += L"\n\nПодробности в логе: ";
    text += launcher_log_path;
    return text;
}
