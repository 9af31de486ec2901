// Stand-in for the system's tar.exe (Win32 only). The shell starts tar.exe from the system folder only:
// tests copy the double to C:\windows\system32\tar.exe of their prefix. It understands the one form
// the shell uses,
//     tar.exe -xf "<archive.zip>" -C "<existing directory>"
// and really unpacks the zip (stored or deflate entries, see zip_extract.h) into the directory.
//
// Exit codes: 0 unpacked; 1 usage error, missing -C directory, unreadable or damaged archive, unsafe
// entry name (as bsdtar ends with 1 on a fatal error); or a forced code, without unpacking:
//     environment variable QUILLMARSH_TAR_EXIT=N, else "exit=N" in tar_double.ini.
// Every start appends "cmdline=<command line>" (UTF-8) to tar_double.log. Both files are in
// QUILLMARSH_DOUBLE_DIR when that is set, else beside the program.
//
// A hung unpacker: with "hang=1" in tar_double.ini the double appends "hanging" to its log and waits,
// unpacking nothing, until the test sets the event named kReleaseEvent (at most 300 s); only then does
// it append "released" and end with 0. A double that was ended from outside never writes "released".
#include <windows.h>
#include <shellapi.h>

#include "zip_extract.h"

constexpr wchar_t kReleaseEvent[] = L"Local\\quillmarsh-tar-double-release";

int wmain() {
    using namespace zip_double;
    const std::wstring here = record_directory();
    record(here + L"\\tar_double.log", "cmdline=" + to_utf8(GetCommandLineW()));

    std::string ini;
    if (read_all(here + L"\\tar_double.ini", ini) && ini.find("hang=1") != std::string::npos) {
        const HANDLE release = CreateEventW(nullptr, TRUE, FALSE, kReleaseEvent);
        record(here + L"\\tar_double.log", "hanging");
        WaitForSingleObject(release, 300000);
        record(here + L"\\tar_double.log", "released");
        return 0;
    }

    const long long forced = forced_exit(L"QUILLMARSH_TAR_EXIT", here + L"\\tar_double.ini");
    if (forced >= 0) return static_cast<int>(static_cast<std::uint32_t>(forced));

    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::wstring archive;
    std::wstring dir;
    bool extract_mode = false;
    bool usage_ok = argv != nullptr;
    for (int i = 1; usage_ok && i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"-xf" && i + 1 < argc) {
            extract_mode = true;
            archive = argv[++i];
        } else if (arg == L"-C" && i + 1 < argc) {
            dir = argv[++i];
        } else {
            usage_ok = false;
        }
    }
    if (argv != nullptr) LocalFree(argv);
    if (!usage_ok || !extract_mode || archive.empty()) {
        say(STD_ERROR_HANDLE, "tar: usage: tar.exe -xf ARCHIVE [-C DIR]");
        return 1;
    }
    if (dir.empty()) dir = L".";
    const DWORD attributes = GetFileAttributesW(dir.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        say(STD_ERROR_HANDLE, "tar: could not chdir to '" + to_utf8(dir) + "'");
        return 1;
    }
    std::string reason;
    if (!extract(archive, dir, reason)) {
        say(STD_ERROR_HANDLE, "tar: " + reason);
        return 1;
    }
    return 0;
}
