// Client start: the launcher jar on one Java runtime, and the judgement whether it keeps running.
#pragma once

#include <windows.h>

#include <string>

#include "client/client_pure.h"

// One record for the whole client start stage; every failed try overwrites `error` and
// `client_output`, a successful try leaves them as they were.
struct client_start_attempt {
    std::wstring jar_path;
    std::wstring error;
    std::wstring client_output;
};

// Starts "<home>\bin\java.exe" -jar "<jar>" without a window, in the launcher directory, with the
// child's standard output and error in `console_log_path` (emptied first; the shell's own standard
// output when the log cannot be opened) and no standard input. `process_out` is set to nullptr first;
// on success it holds the child's process handle, which the caller must close. False with
// "Ошибка запуска Java (код N): <executable>" in `error` when the process cannot be created.
bool start_client_process(const std::wstring& java_home, const std::wstring& jar_path,
                          const std::wstring& console_log_path, std::wstring& error, HANDLE& process_out);

// Starts the client with java_console.log in the launcher directory and waits 2500 ms. True when it
// is still running then (it is left running on its own). Otherwise false: `error` says why and
// `output` holds the trimmed tail of the console log (empty when there was none). `output` is
// emptied on every call.
bool start_client_and_watch(const std::wstring& java_home, const std::wstring& jar_path, std::wstring& error,
                            std::wstring& output);

// One try of the client start stage: posts "Запуск клиента...", runs start_client_and_watch and logs
// the outcome. On failure the try's error and output replace the record's.
bool try_start_client(client_start_attempt& attempt, const std::wstring& java_home);
