// Client start: the launcher jar on one Java runtime, and the judgement whether it keeps running.
#pragma once

#include <string>
#include <string_view>

#include "base/handle.h"
#include "client/client_pure.h"

// Receives the status texts a start attempt wants the player to see; nullptr shows nothing.
using status_report = void (*)(std::wstring_view text);

// One record for the whole client start stage; every failed try overwrites `error` and
// `client_output`, a successful try leaves them as they were.
struct client_start_attempt {
    std::wstring launcher_dir;  // the client's working directory, where java_console.log goes
    std::wstring jar_path;
    status_report status = nullptr;
    std::wstring error;
    std::wstring client_output;
};

// Starts "<home>\bin\java.exe" -jar "<jar>" without a window, in `working_dir`, with the child's
// standard output and error in `console_log_path` (emptied first; the shell's own standard output
// when the log cannot be opened) and no standard input. Returns the child's process handle, owned by
// the caller; empty with "Ошибка запуска Java (код N): <executable>" in `error` when the process
// cannot be created.
kernel_handle start_client_process(const std::wstring& java_home, const std::wstring& jar_path,
                                   const std::wstring& console_log_path, const std::wstring& working_dir,
                                   std::wstring& error);

// Starts the client in `launcher_dir` with its java_console.log there and waits 2500 ms. True when it
// is still running then (it is left running on its own). Otherwise false: `error` says why and
// `output` holds the trimmed tail of the console log (empty when there was none). `output` is
// emptied on every call.
bool start_client_and_watch(const std::wstring& launcher_dir, const std::wstring& java_home,
                            const std::wstring& jar_path, std::wstring& error, std::wstring& output);

// One try of the client start stage: reports "Запуск клиента...", runs start_client_and_watch and logs
// the outcome. On failure the try's error and output replace the record's.
bool try_start_client(client_start_attempt& attempt, const std::wstring& java_home);
