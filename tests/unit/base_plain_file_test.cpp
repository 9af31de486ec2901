// Opening a file the shell writes without going through whatever stands at its name.
#include <windows.h>

#include <gtest/gtest.h>

#include "base/system.h"
#include "tests/support/support.h"

TEST(open_plain_file, creates_appends_or_empties_a_plain_file_and_replaces_a_second_name) {
    struct row {
        const char* name;
        bool truncate;
        std::string before;       // the file's content first; "-" for none
        bool hard_link;           // the name is a second name of a file elsewhere
        bool want_created;
        std::string want_after;   // after writing "new"
    };
    const row rows[] = {
        {"missing, created", false, "-", false, true, "new"},
        {"existing, appended to", false, "old", false, false, "oldnew"},
        {"existing, emptied", true, "old", false, false, "new"},
        {"a second name, replaced by a new file", false, "old", true, true, "new"},
        {"a second name, replaced even when emptying", true, "old", true, true, "new"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        support::temp_dir dir;
        const std::wstring path = dir.file(L"launcher.log");
        const std::wstring elsewhere = dir.file(L"elsewhere.txt");
        if (r.hard_link) {
            ASSERT_TRUE(support::write_file(elsewhere, "keep me"));
            ASSERT_TRUE(CreateHardLinkW(path.c_str(), elsewhere.c_str(), nullptr));
        } else if (r.before != "-") {
            ASSERT_TRUE(support::write_file(path, r.before));
        }
        bool created = !r.want_created;
        DWORD code = 12345;
        kernel_handle file = open_plain_file(path, FILE_APPEND_DATA, FILE_SHARE_READ, r.truncate, nullptr, created,
                                             code);
        ASSERT_TRUE(file) << code;
        EXPECT_EQ(code, 12345u) << "left alone on success";
        EXPECT_EQ(created, r.want_created);
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(file.get(), "new", 3, &written, nullptr));
        file.reset();
        EXPECT_EQ(support::read_bytes(path), r.want_after);
        if (r.hard_link) {
            EXPECT_EQ(support::read_bytes(elsewhere), "keep me");
        }
    }
}

TEST(open_plain_file, a_folder_at_the_name_is_an_error_and_stays) {
    support::temp_dir dir;
    const std::wstring path = dir.sub(L"launcher.log");
    ASSERT_TRUE(support::write_file(path + L"\\inside.txt", "x"));
    bool created = false;
    DWORD code = 0;
    const kernel_handle file = open_plain_file(path, FILE_APPEND_DATA, FILE_SHARE_READ, true, nullptr, created, code);
    EXPECT_FALSE(file);
    // Opening a folder for data access is refused by the system already on some platforms.
    EXPECT_TRUE(code == ERROR_DIRECTORY || code == ERROR_ACCESS_DENIED) << code;
    EXPECT_EQ(support::read_bytes(path + L"\\inside.txt"), "x");
}
