// Client start: the launcher jar on one Java runtime, and the judgement whether it keeps running.
#pragma once

#include <windows.h>

#include <string>

struct client_start_attempt {
    std::wstring jar_path;
    std::wstring error;
    std::wstring client_output;
};

// Starts "<home>\bin\java.exe" -jar "<jar>" hidden in the launcher directory, output to the console log.
bool start_client_process(const std::wstring& java_home, const std::wstring& jar_path,
                          const std::wstring& console_log_path, std::wstring& error, HANDLE& process_out);
// True when the client still runs after the 2500 ms grace period.
bool start_client_and_watch(const std::wstring& java_home, const std::wstring& jar_path, std::wstring& error,
                            std::wstring& output);
bool try_start_client(client_start_attempt& attempt, const std::wstring& java_home);
