// The trust judgement of a candidate launcher directory from its owner and access list.
#include <gtest/gtest.h>

#include "shell/launcher_dir_pure.h"

namespace {

constexpr const char* kUser = "S-1-5-21-1000-2000-3000-1001";
constexpr const char* kOtherUser = "S-1-5-21-1000-2000-3000-1002";
constexpr const char* kEveryone = "S-1-1-0";
constexpr const char* kAuthenticatedUsers = "S-1-5-11";
constexpr const char* kUsers = "S-1-5-32-545";
constexpr const char* kCreatorGroup = "S-1-3-1";

// Masks as the platform writes them: full control, modify, read and execute, and single rights.
constexpr std::uint32_t kFullControl = 0x001F01FF;
constexpr std::uint32_t kModify = 0x001301BF;
constexpr std::uint32_t kReadExecute = 0x001200A9;

access_entry allow(const char* sid, std::uint32_t mask, bool inherit_only = false) {
    return {access_kind::allow, mask, inherit_only, sid};
}

folder_security owned_by(const char* owner, std::vector<access_entry> entries) {
    return {owner, true, std::move(entries)};
}

// The entries a launcher directory gets when the shell creates it.
std::vector<access_entry> owner_only() {
    return {allow(kUser, kFullControl), allow("S-1-5-18", kFullControl), allow("S-1-5-32-544", kFullControl)};
}

}  // namespace

TEST(launcher_dir_trust, owner_and_entries_decide_with_the_account_named) {
    struct row {
        const char* name;
        folder_security security;
        folder_trust want;
        const char* want_sid;
    };
    std::vector<access_entry> with_everyone_write = owner_only();
    with_everyone_write.push_back(allow(kEveryone, 0x00000002));
    const row rows[] = {
        {"owner-only list", owned_by(kUser, owner_only()), folder_trust::trusted, ""},
        {"owned by SYSTEM", owned_by("S-1-5-18", owner_only()), folder_trust::trusted, ""},
        {"owned by Administrators (an elevated administrator's default)",
         owned_by("S-1-5-32-544", owner_only()), folder_trust::trusted, ""},
        {"owner string in lower case", owned_by("s-1-5-21-1000-2000-3000-1001", owner_only()),
         folder_trust::trusted, ""},
        {"owned by another account", owned_by(kOtherUser, owner_only()), folder_trust::foreign_owner, kOtherUser},
        {"owner unreadable", owned_by("", owner_only()), folder_trust::foreign_owner, ""},
        {"foreign owner wins over a bad list", owned_by(kOtherUser, {allow(kEveryone, kFullControl)}),
         folder_trust::foreign_owner, kOtherUser},
        {"no list at all", {kUser, false, {}}, folder_trust::writable_by_others, kEveryone},
        {"an empty list lets no one in", owned_by(kUser, {}), folder_trust::trusted, ""},
        {"Everyone may write data", owned_by(kUser, with_everyone_write), folder_trust::writable_by_others,
         kEveryone},
        {"Users may read and run only", owned_by(kUser, {allow(kUser, kFullControl), allow(kUsers, kReadExecute)}),
         folder_trust::trusted, ""},
        {"Authenticated Users modify (a folder under C:\\)",
         owned_by(kUser, {allow(kUser, kFullControl), allow(kAuthenticatedUsers, kModify)}),
         folder_trust::writable_by_others, kAuthenticatedUsers},
        {"another user's inherit-only modify reaches every new file",
         owned_by(kUser, {allow(kUser, kFullControl), allow(kOtherUser, kModify, true)}),
         folder_trust::writable_by_others, kOtherUser},
        {"CREATOR OWNER inherit-only full control",
         owned_by(kUser, {allow(kUser, kFullControl), allow("S-1-3-0", 0x10000000, true)}),
         folder_trust::trusted, ""},
        {"CREATOR OWNER on the folder itself is not a placeholder",
         owned_by(kUser, {allow("S-1-3-0", kModify)}), folder_trust::writable_by_others, "S-1-3-0"},
        {"CREATOR GROUP becomes the creator's group, shared with others",
         owned_by(kUser, {allow(kCreatorGroup, 0x10000000, true)}), folder_trust::writable_by_others,
         kCreatorGroup},
        {"OWNER RIGHTS is the owner, already checked", owned_by(kUser, {allow("S-1-3-4", kFullControl)}),
         folder_trust::trusted, ""},
        {"a deny entry does not excuse a grant",
         owned_by(kUser, {{access_kind::deny, kFullControl, false, kEveryone}, allow(kEveryone, kModify)}),
         folder_trust::writable_by_others, kEveryone},
        {"a deny entry alone is harmless", owned_by(kUser, {{access_kind::deny, kFullControl, false, kOtherUser}}),
         folder_trust::trusted, ""},
        {"an entry of another kind with write counts for someone unknown",
         owned_by(kUser, {{access_kind::other, 0x00000004, false, ""}}), folder_trust::writable_by_others, ""},
        {"an entry of another kind without write is harmless",
         owned_by(kUser, {{access_kind::other, kReadExecute, false, ""}}), folder_trust::trusted, ""},
        {"an allow entry whose account is unreadable", owned_by(kUser, {allow("", 0x00010000)}),
         folder_trust::writable_by_others, ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        const trust_verdict got = judge_folder(kUser, r.security);
        EXPECT_EQ(got.trust, r.want);
        EXPECT_EQ(got.sid, r.want_sid);
    }
}

TEST(launcher_dir_trust, each_changing_right_alone_is_enough_and_reading_is_not) {
    struct row {
        const char* name;
        std::uint32_t mask;
        bool changes;
    };
    const row rows[] = {
        {"write data / add file", 0x00000002, true},      {"append / add subfolder", 0x00000004, true},
        {"write extended attributes", 0x00000010, true},  {"delete child", 0x00000040, true},
        {"write attributes", 0x00000100, true},           {"delete", 0x00010000, true},
        {"write the access list", 0x00040000, true},      {"take ownership", 0x00080000, true},
        {"generic write", 0x40000000, true},              {"generic all", 0x10000000, true},
        {"read data / list", 0x00000001, false},          {"read extended attributes", 0x00000008, false},
        {"execute / traverse", 0x00000020, false},        {"read attributes", 0x00000080, false},
        {"read control", 0x00020000, false},              {"synchronize", 0x00100000, false},
        {"generic read and execute", 0xA0000000, false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        const trust_verdict got = judge_folder(kUser, owned_by(kUser, {allow(kUsers, r.mask)}));
        EXPECT_EQ(got.trust, r.changes ? folder_trust::writable_by_others : folder_trust::trusted);
    }
}

TEST(launcher_dir_trust, reasons_name_the_account) {
    EXPECT_EQ(trust_reason({folder_trust::foreign_owner, kOtherUser}),
              L"чужой владелец каталога: S-1-5-21-1000-2000-3000-1002");
    EXPECT_EQ(trust_reason({folder_trust::writable_by_others, kEveryone}),
              L"каталог доступен для записи другим: S-1-1-0");
    EXPECT_EQ(trust_reason({folder_trust::writable_by_others, ""}), L"каталог доступен для записи другим: ?");
    EXPECT_EQ(trust_reason({}), L"");
}
