// Download throughput of download_to_file: download.exe URL TARGET [RUNS]
// Prints one line per run (bytes, seconds, MiB/s) and the best run; the target is left for checking.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "net/net.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fwprintf(stderr, L"usage: download.exe URL TARGET [RUNS]\n");
        return 2;
    }
    const std::wstring url = argv[1];
    const std::wstring target = argv[2];
    const int runs = argc > 3 ? std::max(1, _wtoi(argv[3])) : 3;
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    double best = 0;
    for (int i = 0; i < runs; ++i) {
        std::uint64_t bytes = 0;
        const download_progress progress = [&bytes](std::uint64_t done, std::uint64_t) { bytes = done; };
        std::wstring error;
        LARGE_INTEGER start;
        LARGE_INTEGER end;
        QueryPerformanceCounter(&start);
        // No cap worth the name: the figure is the transfer's, not the limit's.
        const download_limits limits{~std::uint64_t{0}, std::nullopt};
        const bool ok = download_to_file(url, target, limits, progress, error).has_value();
        QueryPerformanceCounter(&end);
        if (!ok) {
            std::fwprintf(stderr, L"download failed: %ls\n", error.c_str());
            return 1;
        }
        const double seconds = static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
        const double mib_s = static_cast<double>(bytes) / (1024.0 * 1024.0) / seconds;
        std::printf("download_to_file run %d: %llu bytes in %.3f s = %.1f MiB/s\n", i + 1,
                    static_cast<unsigned long long>(bytes), seconds, mib_s);
        if (mib_s > best) best = mib_s;
    }
    std::printf("download_to_file best: %.1f MiB/s\n", best);
    return 0;
}
