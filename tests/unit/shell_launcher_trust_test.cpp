// Who may change a launcher directory: the access list of one the shell creates, read back from the
// system, and candidates that another account owns or may change, refused in favour of the next.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <set>

#include "base/handle.h"
#include "shell/launcher_dir_internal.h"
#include "tests/support/support.h"

namespace {

std::wstring probe(const std::wstring& candidate, const std::wstring& outcome) {
    return L"[probe] " + candidate + L" -> " + outcome;
}

std::wstring sid_string(PSID sid) {
    wchar_t* raw = nullptr;
    if (sid == nullptr || !ConvertSidToStringSidW(sid, &raw)) return {};
    const std::wstring text = raw;
    LocalFree(raw);
    return text;
}

// This process's account, read straight from its token (not through the code under test).
std::wstring token_user() {
    kernel_handle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return {};
    DWORD buffer[128] = {};
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size)) return {};
    return sid_string(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
}

struct ace_view {
    BYTE type;
    BYTE flags;
    DWORD mask;
    std::wstring sid;
};

struct security_view {
    bool read = false;
    std::wstring owner;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    std::vector<ace_view> aces;
};

// The owner, control bits and access list of a path, as the system reports them.
security_view read_back(const std::wstring& path) {
    security_view view;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                              &owner, nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return view;
    }
    view.read = true;
    view.owner = sid_string(owner);
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &view.control, &revision);
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) continue;
        const auto* plain = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        view.aces.push_back({plain->Header.AceType, plain->Header.AceFlags, plain->Mask,
                             sid_string(const_cast<DWORD*>(&plain->SidStart))});
    }
    LocalFree(descriptor);
    return view;
}

// Replaces a folder's access list with the given string form (SDDL) of one; the error code, 0 when set.
DWORD set_access_list(const std::wstring& path, const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr)) {
        return GetLastError();
    }
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    const DWORD code = SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                                             DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                             nullptr, nullptr, dacl, nullptr);
    LocalFree(descriptor);
    return code;
}

bool grants(const security_view& view, const std::wstring& sid) {
    for (const ace_view& ace : view.aces) {
        if (ace.sid == sid && ace.type == ACCESS_ALLOWED_ACE_TYPE) return true;
    }
    return false;
}

// Wine keeps no access list of its own for files: it shows one made from the Unix mode bits (the
// owner, SYSTEM, and Everyone for the bits of others), and sets only what those bits can express.
bool under_wine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

class launcher_trust : public testing::Test {
protected:
    std::wstring probe_log() const { return dir.path + L"\\probe.log"; }
    std::vector<std::wstring> probe_lines() const {
        return support::split_lines(support::read_utf16_file(probe_log()).value_or(L""));
    }
    support::temp_dir dir;
};

TEST_F(launcher_trust, a_created_directory_lets_in_only_the_user_system_and_administrators) {
    const std::wstring user = token_user();
    ASSERT_FALSE(user.empty());
    const std::wstring fresh = dir.path + L"\\fresh";
    const launcher_location got = resolve_launcher_dir({fresh}, probe_log());
    ASSERT_EQ(got.dir, fresh);
    EXPECT_EQ(probe_lines(), std::vector<std::wstring>{probe(fresh, L"OK")});

    const security_view view = read_back(fresh);
    ASSERT_TRUE(view.read);
    if (under_wine()) {
        // What Wine can show: the owner, and no account besides the three that may change the folder.
        EXPECT_EQ(view.owner, user);
        for (const ace_view& ace : view.aces) {
            SCOPED_TRACE(testing::PrintToString(ace.sid));
            if (ace.sid == user || ace.sid == L"S-1-5-18" || ace.sid == L"S-1-5-32-544") continue;
            EXPECT_EQ(ace.mask & (FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC | WRITE_OWNER), 0u);
        }
        GTEST_SKIP() << "Wine stores no access list: the protected owner-only list shows only on Windows";
    }
    // The token's default owner: the user, or Administrators for an elevated administrator.
    EXPECT_TRUE(view.owner == user || view.owner == L"S-1-5-32-544") << "owner " << testing::PrintToString(view.owner);
    EXPECT_NE(view.control & SE_DACL_PROTECTED, 0) << "nothing inherited from the parent";
    std::set<std::wstring> accounts;
    for (const ace_view& ace : view.aces) {
        SCOPED_TRACE(testing::PrintToString(ace.sid));
        EXPECT_EQ(ace.type, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(ace.mask, static_cast<DWORD>(FILE_ALL_ACCESS));
        EXPECT_EQ(ace.flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE), OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        EXPECT_EQ(ace.flags & INHERITED_ACE, 0);
        accounts.insert(ace.sid);
    }
    EXPECT_EQ(view.aces.size(), 3u);
    EXPECT_EQ(accounts, (std::set<std::wstring>{user, L"S-1-5-18", L"S-1-5-32-544"}));

    // What is created inside later takes the same three accounts and no other.
    ASSERT_TRUE(support::write_file(fresh + L"\\QuillmarshLauncher.jar", "jar"));
    const security_view file = read_back(fresh + L"\\QuillmarshLauncher.jar");
    ASSERT_TRUE(file.read);
    std::set<std::wstring> file_accounts;
    for (const ace_view& ace : file.aces) file_accounts.insert(ace.sid);
    EXPECT_EQ(file_accounts, accounts);
}

TEST_F(launcher_trust, a_directory_others_may_change_is_refused_and_the_next_candidate_is_used) {
    const std::wstring user = token_user();
    ASSERT_FALSE(user.empty());
    const std::wstring next = dir.path + L"\\next";
    struct row {
        const char* name;
        const wchar_t* sddl;  // %s stands for the user
        const wchar_t* granted;
        std::wstring reason;
    };
    const row rows[] = {
        {"Everyone may modify", L"D:P(A;OICI;FA;;;%s)(A;OICI;0x1301bf;;;WD)", L"S-1-1-0",
         L"каталог доступен для записи другим: S-1-1-0"},
        {"Authenticated Users may add files", L"D:P(A;OICI;FA;;;%s)(A;;0x2;;;AU)", L"S-1-5-11",
         L"каталог доступен для записи другим: S-1-5-11"},
        {"another account may change what is created inside",
         L"D:P(A;OICI;FA;;;%s)(A;OICIIO;FA;;;S-1-5-21-7-8-9-1010)", L"S-1-5-21-7-8-9-1010",
         L"каталог доступен для записи другим: S-1-5-21-7-8-9-1010"},
        {"Everyone may only read", L"D:P(A;OICI;FA;;;%s)(A;OICI;0x1200a9;;;WD)", L"S-1-1-0", L"OK"},
    };
    int index = 0;
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        const std::wstring candidate = dir.sub(L"open" + std::to_wstring(index++));
        std::wstring sddl = r.sddl;
        sddl.replace(sddl.find(L"%s"), 2, user);
        ASSERT_EQ(set_access_list(candidate, sddl.c_str()), 0u);
        if (!grants(read_back(candidate), r.granted)) {
            // Wine sets only what Unix mode bits express: Everyone, not other accounts.
            ASSERT_TRUE(under_wine()) << "the system dropped the entry";
            RecordProperty(r.name, "not expressible here");
            continue;
        }
        DeleteFileW(probe_log().c_str());
        const launcher_location got = resolve_launcher_dir({candidate, next}, probe_log());
        std::vector<std::wstring> want = {probe(candidate, r.reason)};
        if (r.reason == L"OK") {
            EXPECT_EQ(got.dir, candidate);
        } else {
            EXPECT_EQ(got.dir, next);
            want.push_back(probe(next, L"OK"));
        }
        EXPECT_TRUE(got.writable);
        EXPECT_EQ(probe_lines(), want);
    }
}

TEST_F(launcher_trust, a_directory_that_inherits_a_write_grant_is_refused_but_a_new_one_below_is_not) {
    // A parent like a folder made directly under C:\, whose inheritable entries let every signed-in
    // user modify what is created below it.
    const std::wstring user = token_user();
    const std::wstring parent = dir.sub(L"games");
    std::wstring sddl = L"D:P(A;OICI;FA;;;%s)(A;OICIIO;0x1301bf;;;AU)";
    sddl.replace(sddl.find(L"%s"), 2, user);
    ASSERT_EQ(set_access_list(parent, sddl.c_str()), 0u);
    const std::wstring existing = parent + L"\\launcher_data";
    ASSERT_TRUE(CreateDirectoryW(existing.c_str(), nullptr));  // default security: inherits the grant
    if (!grants(read_back(existing), L"S-1-5-11")) {
        ASSERT_TRUE(under_wine()) << "the system did not pass the entry on";
        GTEST_SKIP() << "Wine passes no access list entries on to new folders";
    }
    const std::wstring created = parent + L"\\fresh";

    const launcher_location got = resolve_launcher_dir({existing, created}, probe_log());
    EXPECT_EQ(got.dir, created);
    const std::vector<std::wstring> want = {probe(existing, L"каталог доступен для записи другим: S-1-5-11"),
                                            probe(created, L"OK")};
    EXPECT_EQ(probe_lines(), want);
}

TEST_F(launcher_trust, a_directory_owned_by_another_account_is_refused) {
    const std::wstring foreign = dir.sub(L"foreign");
    const std::wstring next = dir.path + L"\\next";
    PSID other = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(L"S-1-5-21-7-8-9-1011", &other));
    // Giving a folder away takes the restore privilege on Windows; where the system refuses, ownership
    // by another account cannot be set up here.
    const DWORD code = SetNamedSecurityInfoW(const_cast<wchar_t*>(foreign.c_str()), SE_FILE_OBJECT,
                                             OWNER_SECURITY_INFORMATION, other, nullptr, nullptr, nullptr);
    LocalFree(other);
    if (code != ERROR_SUCCESS) GTEST_SKIP() << "the owner cannot be changed here, code " << code;
    // Wine reports success but keeps showing the Unix owner.
    if (read_back(foreign).owner != L"S-1-5-21-7-8-9-1011") GTEST_SKIP() << "the owner did not change here";

    const launcher_location got = resolve_launcher_dir({foreign, next}, probe_log());
    EXPECT_EQ(got.dir, next);
    const std::vector<std::wstring> want = {probe(foreign, L"чужой владелец каталога: S-1-5-21-7-8-9-1011"),
                                            probe(next, L"OK")};
    EXPECT_EQ(probe_lines(), want);
}

}  // namespace

// A fresh profile (no ".quillmarsh" yet) beside a program folder that others may change: the first
// pass refuses both, so the missing parent is made and the profile candidate is tried once more. A
// candidate two levels short stays refused, and then the run has no directory.
TEST_F(launcher_trust, with_nothing_usable_a_missing_parent_is_made_and_tried_again) {
    const std::wstring user = token_user();
    ASSERT_FALSE(user.empty());
    const std::wstring shared = dir.sub(L"Games");
    std::wstring sddl = L"D:P(A;OICI;FA;;;%s)(A;OICI;0x1301bf;;;WD)";
    sddl.replace(sddl.find(L"%s"), 2, user);
    ASSERT_EQ(set_access_list(shared, sddl.c_str()), 0u);
    ASSERT_TRUE(grants(read_back(shared), L"S-1-1-0"));
    const std::wstring profile = dir.sub(L"Roaming") + L"\\.quillmarsh\\launcher";
    const std::wstring too_deep = dir.path + L"\\Missing\\.quillmarsh\\launcher";
    const std::wstring refused = L"каталог доступен для записи другим: S-1-1-0";

    const launcher_location got = resolve_launcher_dir({too_deep, profile, shared}, probe_log());
    EXPECT_TRUE(got.writable);
    EXPECT_EQ(got.dir, profile);
    EXPECT_EQ(probe_lines(), (std::vector<std::wstring>{
                                 probe(too_deep, L"создание каталога: код 3"), probe(profile, L"создание каталога: код 3"),
                                 probe(shared, refused), probe(too_deep, L"создание каталога: код 3"),
                                 probe(profile, L"OK")}));
    EXPECT_EQ(GetFileAttributesW((dir.path + L"\\Missing").c_str()), INVALID_FILE_ATTRIBUTES) << "one level only";
    const security_view parent = read_back(dir.path + L"\\Roaming\\.quillmarsh");
    ASSERT_TRUE(parent.read);
    EXPECT_EQ(parent.owner, user);
    for (const ace_view& ace : parent.aces) {
        if (ace.sid == user || ace.sid == L"S-1-5-18" || ace.sid == L"S-1-5-32-544") continue;
        EXPECT_EQ(ace.mask & (FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC | WRITE_OWNER), 0u) << "parent";
    }

    // Nothing but the two-levels-short candidate and the shared folder: no directory for this run.
    DeleteFileW(probe_log().c_str());
    const launcher_location none = resolve_launcher_dir({too_deep, shared}, probe_log());
    EXPECT_FALSE(none.writable);
    EXPECT_EQ(none.dir, too_deep);
    EXPECT_EQ(probe_lines().size(), 3u);
}
