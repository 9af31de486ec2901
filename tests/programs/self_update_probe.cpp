// Runs the shell's self-update once over a given exe, for scenarios the Windows side cannot set up
// itself (a folder that the file system refuses to write, made by tests/scripts/test_self_update_folder.sh).
//
//   self_update_probe <exe> <newer exe> <log>   offers <newer exe> (its size and digest, version 1.1.0.0)
//                                               to a shell 1.0.0.0 at <exe>, logging to <log>; prints the
//                                               result and exits with it: 0 not_newer, 1 installed,
//                                               2 failed (the reason printed too), 3 folder not writable
#include <cstdio>
#include <string>

#include "base/log.h"
#include "base/text.h"
#include "net/net.h"
#include "shell/self_update.h"

namespace {

std::string read_all(const std::wstring& path) {
    std::string bytes;
    const kernel_handle file{CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (!file) return bytes;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
    return bytes;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        std::fputs("usage: self_update_probe <exe> <newer exe> <log>\n", stderr);
        return 64;
    }
    const std::wstring source = argv[2];
    const std::string bytes = read_all(source);
    set_log_file(argv[3]);

    shell_offer offer;
    offer.url = L"http://127.0.0.1:9/launcher/QuillmarshLauncher.exe";
    offer.sha256_hex = to_utf8(hex_lower(sha256_bytes(bytes)));
    offer.size = bytes.size();
    offer.version = {1, 1, 0, 0};

    self_update_env env;
    env.exe_path = argv[1];
    env.running = {{1, 0, 0, 0}, L"Quillmarsh Launcher"};
    env.command_line = L"\"" + env.exe_path + L"\"";
    env.download = [source](const std::wstring&, const std::wstring& path, std::uint64_t,
                            std::wstring& error) -> std::optional<std::string> {
        if (!CopyFileW(source.c_str(), path.c_str(), FALSE)) {
            error = with_code(L"copy failed", GetLastError());
            return std::nullopt;
        }
        const std::optional<std::wstring> digest = sha256_file_hex(path);
        return digest ? std::optional<std::string>(to_utf8(*digest)) : std::nullopt;
    };
    std::wstring error;
    const self_update_result result = self_update(offer, env, error);
    const char* names[] = {"not_newer", "installed_restarting", "failed_continue", "folder_not_writable"};
    const int code = static_cast<int>(result);
    std::printf("%s %s\n", names[code], to_utf8(error).c_str());
    return code;
}
