// The launcher directory: the first writable candidate of a fixed list, chosen once per process.
#pragma once

#include <string>

struct launcher_location {
    std::wstring dir;       // the writable candidate, else the first one (empty without candidates)
    bool writable = false;  // false when no candidate could be written to
};

// The launcher directory of this process. The first call (any thread) tries the candidates in order
// (roaming profile, local profile, the program's folder, TEMP), writing each outcome to the probe log
// in TEMP; later calls wait for it and return the same record.
const launcher_location& process_launcher_dir();
