// The launcher log: one time-stamped UTF-8 line per event, appended to the file the launch names.
#pragma once

#include <string>

// Names the file log_line appends to from now on (the start stage names launcher.log in the launcher
// directory); an empty path drops lines until another is named. Callable from any thread.
void set_log_file(const std::wstring& path);
// The file named last; empty when none is.
std::wstring log_file();

// Appends "[YYYY-MM-DD hh:mm:ss] " + message + CR LF in UTF-8; a new file starts with a byte order
// mark. Callable from any thread; never fails visibly (a lost line is acceptable, nothing in the
// launch depends on the log being complete).
void log_line(const std::wstring& message);
