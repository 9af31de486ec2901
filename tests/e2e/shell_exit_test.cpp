// The shell's early ends with a fingerprint source that is still running: the panel that cannot be
// made and F1. The source is held by the test (tests/programs/shell_probe.cpp, "exit-..." modes) until
// the process has ended; a static object's destructor in that program reports whether it ran while
// the source's thread still ran. The process must end by itself, with its own exit code, without
// waiting for the source and without running any destructor beside it.
#include <gtest/gtest.h>

#include "tests/e2e/driver.h"

namespace {

using e2e::narrow;

// An event of this test's own that the held source waits for; set when the test is done, so a source
// of a process that is still alive (a failed check) is let go.
struct release_event {
    release_event() : name(L"QuillmarshTest.ReleaseSource." + std::to_wstring(GetCurrentProcessId()) + L"." +
                           std::to_wstring(GetTickCount64())),
                      handle(CreateEventW(nullptr, TRUE, FALSE, name.c_str())) {}
    ~release_event() { SetEvent(handle.get()); }
    release_event(const release_event&) = delete;
    release_event& operator=(const release_event&) = delete;
    std::wstring name;
    kernel_handle handle;
};

// Copies shell_probe.exe into `folder`, so that the program folder's launcher candidate is the test's.
std::wstring copy_probe_into(const std::wstring& folder) {
    e2e::make_dirs(folder);
    const std::wstring target = folder + L"\\shell_probe.exe";
    EXPECT_TRUE(CopyFileW(e2e::test_bin(L"programs/shell_probe.exe").c_str(), target.c_str(), FALSE))
        << GetLastError();
    return target;
}

TEST(shell_exit, early_ends_stop_a_held_fingerprint_before_any_static_destructor) {
    struct row {
        const char* name;
        const wchar_t* mode;
        DWORD exit_code;
        const wchar_t* box;  // the start of its one box; nullptr for none
    };
    const row rows[] = {
        {"the panel cannot be made", L"exit-panel-failure", 1, nullptr},
        {"F1: no launcher directory is writable", L"exit-f1", 0, L"Лаунчеру не удалось создать свои файлы."},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        const release_event release;
        ASSERT_TRUE(release.handle);
        e2e::sandbox s;
        // Every launcher candidate's own folder is blocked by a file of the same name.
        for (const std::wstring& base : {s.roaming, s.local, s.temp}) {
            ASSERT_TRUE(e2e::write_file(base + L"\\.quillmarsh", "x"));
        }
        const std::wstring app = s.dir.sub(L"app");
        ASSERT_TRUE(e2e::write_file(app + L"\\launcher_data", "x"));
        const std::wstring report = s.dir.file(L"destructors.txt");

        e2e::launch l = s.shell();
        l.exe = copy_probe_into(app);
        l.arguments = std::wstring(r.mode) + L" " + release.name + L" \"" + s.dir.path + L"\"";
        // The source is held for the whole run: the process has to end without it.
        const e2e::run_result result = e2e::run(l, e2e::time_limit(60000));
        ASSERT_TRUE(result.started) << narrow(result.start_error);
        ASSERT_TRUE(result.exited) << "waited for the held source until killed";
        EXPECT_EQ(result.exit_code, r.exit_code);
        if (r.box == nullptr) {
            EXPECT_TRUE(result.boxes.empty());
        } else {
            ASSERT_EQ(result.boxes.size(), 1u);
            EXPECT_EQ(result.boxes[0].text.rfind(r.box, 0), 0u) << narrow(result.boxes[0].text);
        }

        // No report: no destructor ran at all. A report: the source's thread had ended before.
        const std::optional<std::string> seen = e2e::read_file(report);
        if (seen) {
            EXPECT_EQ(*seen, "source ended");
        }
    }
}

}  // namespace
