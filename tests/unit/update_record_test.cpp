#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "client_test_support.h"
#include "shell/update_record.h"

namespace {

const std::wstring kDigest = L"9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";

std::string stamp_of(const SYSTEMTIME& t) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "[%04u-%02u-%02u %02u:%02u:%02u]", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                  t.wSecond);
    return buf;
}

}  // namespace

TEST(update_record, holds_the_digest_and_the_local_time_in_two_crlf_lines) {
    client_test::launcher_folder folder;
    const std::wstring path = folder.file(L"last.sha256");

    SYSTEMTIME before{};
    GetLocalTime(&before);
    save_last_sha256(path, kDigest);
    SYSTEMTIME after{};
    GetLocalTime(&after);

    const std::string content = support::read_bytes(path);
    const std::string head = std::string(kDigest.begin(), kDigest.end()) + "\r\nlast_check=";
    ASSERT_EQ(content.size(), head.size() + 21 + 2) << content;  // no byte order mark, nothing else
    EXPECT_EQ(content.substr(0, head.size()), head);
    EXPECT_EQ(content.substr(content.size() - 2), "\r\n");
    // The stamp is the local time of writing: between the clock read before and after, in the
    // same fixed-width form, so a string comparison orders them.
    const std::string stamp = content.substr(head.size(), 21);
    EXPECT_GE(stamp, stamp_of(before));
    EXPECT_LE(stamp, stamp_of(after));
    EXPECT_EQ(client_test::launcher_log(folder).find(L"ОШИБКА"), std::wstring::npos);
}

TEST(update_record, replaces_a_longer_record_whole) {
    client_test::launcher_folder folder;
    const std::wstring path = folder.file(L"last.sha256");
    support::write_file(path, std::string(500, 'x'));

    save_last_sha256(path, L"ab");

    const std::string content = support::read_bytes(path);
    EXPECT_EQ(content.rfind("ab\r\nlast_check=[", 0), 0u) << content;
    EXPECT_EQ(content.size(), 2 + 13 + 21 + 2u);
}

TEST(update_record, a_record_that_cannot_be_replaced_is_kept_and_logged_with_the_code) {
    struct row {
        const char* name;
        bool folder;  // a folder of that name; otherwise another handle holds the file without sharing
        DWORD code;
    };
    // (A read-only attribute would be the natural case, but the tests may run with rights that ignore it.)
    const row rows[] = {
        {"a folder in the way", true, ERROR_ACCESS_DENIED},
        {"held open", false, ERROR_SHARING_VIOLATION},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        client_test::launcher_folder folder;
        const std::wstring path = folder.file(L"last.sha256");
        kernel_handle holder;
        if (r.folder) {
            ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
        } else {
            support::write_file(path, "old\r\n");
            holder.reset(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(holder);
        }

        save_last_sha256(path, kDigest);

        holder.reset();
        if (r.folder) {
            EXPECT_EQ(GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY, DWORD{FILE_ATTRIBUTE_DIRECTORY});
        } else {
            EXPECT_EQ(support::read_bytes(path), "old\r\n");
        }
        const std::wstring want =
            L"] ОШИБКА: не удалось сохранить ключ: " + path + L" (код " + std::to_wstring(r.code) + L")\r\n";
        const std::wstring log = client_test::launcher_log(folder);
        EXPECT_NE(log.find(want), std::wstring::npos) << log.size();
        EXPECT_EQ(log.find(L"ОШИБКА"), log.rfind(L"ОШИБКА"));  // one line only
    }
}
