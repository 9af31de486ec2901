// Platform-free part of the client start: the command line, the console tail and the texts that the
// start attempts and the client start stage build from them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// How long a freshly started client must keep running to count as started.
constexpr std::uint32_t kClientGraceMs = 2500;
// Only this many bytes at the end of the console log are looked at after an early exit.
constexpr std::uint64_t kConsoleTailBytes = 6000;
// The read buffer holds one byte more than is read, so a zero always ends the text.
constexpr std::size_t kConsoleBufferBytes = 6144;
constexpr std::size_t kConsoleReadBytes = kConsoleBufferBytes - 1;
// What is kept of the trimmed tail, counted in string elements from the end.
constexpr std::size_t kConsoleKeptChars = 1500;

// home + "\bin\java.exe".
std::wstring client_executable_path(std::wstring_view java_home);

// "\"<home>\bin\java.exe\" -jar \"<jar>\"": both paths quoted as they are, nothing escaped or added.
std::wstring client_command_line(std::wstring_view java_home, std::wstring_view jar_path);

// Where the tail read starts: size - 6000 for a log of at least 6000 bytes, else the beginning.
std::uint64_t console_tail_offset(std::uint64_t size);

// The bytes that count as text: everything before the first zero byte.
std::string_view console_text_bytes(std::string_view read);

// Drops trailing line feeds, carriage returns and spaces (tabs and other white space stay), then
// keeps only the last 1500 elements.
std::wstring trim_console_tail(std::wstring text);

// The Java homes to try, in order: the built-in one first, then each discovered home that is not
// equal, ignoring ASCII letter case over the whole string, to one already listed. The first form
// seen is kept; empty homes are skipped.
std::vector<std::wstring> client_candidate_list(const std::wstring& builtin_home,
                                                const std::vector<std::wstring>& discovered);

// "Клиент завершился сразу после запуска (код N)".
std::wstring early_exit_error(std::uint32_t exit_code);

// "Ошибка запуска Java (код N): " + executable path.
std::wstring process_start_error(std::uint32_t code, std::wstring_view executable_path);

// The box shown when no candidate kept the client running: the last attempt's error, its console
// output under "Подробности:" when there was any, and where the launcher log lies.
std::wstring no_client_started_text(std::wstring_view error, std::wstring_view client_output,
                                    std::wstring_view launcher_log_path);
