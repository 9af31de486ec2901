// Java discovery against real folders, environment variables and registry keys made by each test.
#include <gtest/gtest.h>

#include <algorithm>

#include "base/system.h"
#include "java/java_internal.h"
#include "java_test_support.h"

using namespace java_test;

namespace {

// True when root\SOFTWARE\JavaSoft exists.
bool key_exists(HKEY root, REGSAM view = 0) {
    reg_key key;
    return RegOpenKeyExW(root, L"SOFTWARE\\JavaSoft", 0, KEY_READ | view, key.put()) == ERROR_SUCCESS;
}

// A private registry key below HKCU\Software, removed with its subtree at the end.
struct registry_root {
    std::wstring path;
    reg_key owned_key;
    HKEY key = nullptr;
    registry_root() {
        path = L"Software\\QuillmarshJavaTest_" + std::to_wstring(GetCurrentProcessId());
        RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
        RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, owned_key.put(),
                        nullptr);
        key = owned_key.get();
    }
    ~registry_root() {
        owned_key.reset();
        RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
    }
    // Stores `bytes` bytes of the text (so a value without its NUL can be made).
    void set(const std::wstring& subkey, const std::wstring& name, DWORD type, const std::wstring& text,
             std::size_t bytes) {
        reg_key sub;
        RegCreateKeyExW(key, subkey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, sub.put(), nullptr);
        RegSetValueExW(sub.get(), name.c_str(), 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>(bytes));
    }
    void set_sz(const std::wstring& subkey, const std::wstring& name, const std::wstring& text) {
        set(subkey, name, REG_SZ, text, (text.size() + 1) * sizeof(wchar_t));
    }
};

}  // namespace

TEST(java_discovery, java_home_needs_a_file_named_java_exe_outside_excluded_paths) {
    temp_dir temp;
    make_fake_home(temp.path + L"\\good");
    make_dirs(temp.path + L"\\dir_not_file\\bin\\java.exe");
    make_dirs(temp.path + L"\\no_bin");
    make_fake_home(temp.path + L"\\Oracle\\javapath");
    make_fake_home(temp.path + L"\\Common Files\\Oracle\\jre");
    make_fake_home(temp.path + L"\\java8path_target");
    struct row {
        std::wstring dir;
        bool home;
    };
    const row rows[] = {
        {temp.path + L"\\good", true},
        {temp.path + L"\\GOOD", true},  // the file system decides about case, not the test
        {temp.path + L"\\dir_not_file", false},
        {temp.path + L"\\no_bin", false},
        {temp.path + L"\\missing", false},
        {temp.path + L"\\Oracle\\javapath", false},
        {temp.path + L"\\Common Files\\Oracle\\jre", false},
        {temp.path + L"\\java8path_target", false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(narrow(r.dir));
        EXPECT_EQ(is_java_home(r.dir), r.home);
    }
}

TEST(java_discovery, search_finds_children_and_grandchildren_depth_first_but_not_deeper) {
    temp_dir temp;
    const std::wstring root = temp.path + L"\\Java";
    make_fake_home(root + L"\\child");
    make_fake_home(root + L"\\child\\nested");  // below a home: never searched
    make_fake_home(root + L"\\a\\grand");
    make_fake_home(root + L"\\b\\c\\great");
    make_fake_home(root + L"\\javapath\\inside");  // an excluded folder is not entered
    make_fake_home(root + L"\\x\\Common Files\\jdk");
    write_file(root + L"\\plain_file", "not a directory");

    std::vector<std::wstring> found;
    search_java_homes(root, 2, found);
    std::sort(found.begin(), found.end());  // the listing order is the file system's own
    EXPECT_EQ(found, (std::vector<std::wstring>{root + L"\\a\\grand", root + L"\\child"}));

    std::vector<std::wstring> shallow{L"kept"};
    search_java_homes(root, 1, shallow);
    EXPECT_EQ(shallow, (std::vector<std::wstring>{L"kept", root + L"\\child"}));  // appended, not replaced

    std::vector<std::wstring> none;
    search_java_homes(root + L"\\child", 2, none);  // the root itself is never tested
    EXPECT_EQ(none, std::vector<std::wstring>{root + L"\\child\\nested"});
    search_java_homes(temp.path + L"\\missing", 2, none);
    EXPECT_EQ(none.size(), 1u);
}

TEST(java_discovery, registry_string_is_reg_sz_only_and_need_not_end_in_nul) {
    registry_root reg;
    reg.set_sz(L"k", L"plain", L"C:\\jdk");
    reg.set(L"k", L"no_nul", REG_SZ, L"C:\\jdk17", 8 * sizeof(wchar_t));
    reg.set(L"k", L"inner_nul", REG_SZ, std::wstring(L"C:\\a\0junk", 9), 9 * sizeof(wchar_t));
    reg.set(L"k", L"expand", REG_EXPAND_SZ, L"%ProgramFiles%\\Java", 20 * sizeof(wchar_t));
    reg.set(L"k", L"empty", REG_SZ, L"", 0);
    reg.set(L"k", L"just_nul", REG_SZ, L"", sizeof(wchar_t));
    const DWORD number = 5;
    RegSetKeyValueW(reg.key, L"k", L"dword", REG_DWORD, &number, sizeof number);

    struct row {
        const wchar_t* subkey;
        const wchar_t* value;
        std::optional<std::wstring> want;
    };
    const row rows[] = {
        {L"k", L"plain", L"C:\\jdk"},
        {L"k", L"no_nul", L"C:\\jdk17"},
        {L"k", L"inner_nul", L"C:\\a"},
        {L"k", L"expand", std::nullopt},
        {L"k", L"empty", std::nullopt},
        {L"k", L"just_nul", L""},
        {L"k", L"dword", std::nullopt},
        {L"k", L"missing", std::nullopt},
        {L"missing", L"plain", std::nullopt},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(narrow(r.value));
        EXPECT_EQ(read_registry_string(reg.key, r.subkey, r.value), r.want);
    }
}

TEST(java_discovery, registry_walks_eight_javasoft_keys_and_their_current_versions_in_order) {
    temp_dir temp;
    registry_root reg;
    const std::wstring keys[] = {
        L"SOFTWARE\\JavaSoft\\Java Runtime Environment",
        L"SOFTWARE\\JavaSoft\\Java Development Kit",
        L"SOFTWARE\\JavaSoft\\JRE",
        L"SOFTWARE\\JavaSoft\\JDK",
        L"SOFTWARE\\Wow6432Node\\JavaSoft\\Java Runtime Environment",
        L"SOFTWARE\\Wow6432Node\\JavaSoft\\Java Development Kit",
        L"SOFTWARE\\Wow6432Node\\JavaSoft\\JRE",
        L"SOFTWARE\\Wow6432Node\\JavaSoft\\JDK",
    };
    // Stored backwards, so the result's order comes from the walk and not from the writing.
    std::vector<std::wstring> want;
    for (int i = 7; i >= 0; --i) {
        const std::wstring own = temp.path + L"\\own" + std::to_wstring(i);
        const std::wstring versioned = temp.path + L"\\ver" + std::to_wstring(i) + L"\\";  // trailing \ goes
        make_fake_home(own);
        make_fake_home(versioned);
        reg.set_sz(keys[i], L"JavaHome", own);
        reg.set_sz(keys[i], L"CurrentVersion", L"17." + std::to_wstring(i));
        reg.set_sz(keys[i] + L"\\17." + std::to_wstring(i), L"JavaHome", versioned);
    }
    for (int i = 0; i < 8; ++i) {
        want.push_back(temp.path + L"\\own" + std::to_wstring(i));
        want.push_back(temp.path + L"\\ver" + std::to_wstring(i));
    }
    // Not read: a version key other than CurrentVersion, an expandable value, a value that is no home.
    make_fake_home(temp.path + L"\\other_version");
    reg.set_sz(keys[3] + L"\\11", L"JavaHome", temp.path + L"\\other_version");
    make_fake_home(temp.path + L"\\expandable");
    const std::wstring expandable = temp.path + L"\\expandable";
    reg.set(L"SOFTWARE\\JavaSoft\\JDK\\17.3", L"JavaHome", REG_EXPAND_SZ, expandable,
            (expandable.size() + 1) * sizeof(wchar_t));  // replaces the REG_SZ of version 17.3
    want.erase(std::find(want.begin(), want.end(), temp.path + L"\\ver3"));

    std::vector<std::wstring> list;
    add_registry_java_homes(reg.key, list, L"");
    EXPECT_EQ(list, want);

    std::vector<std::wstring> excluded;
    add_registry_java_homes(reg.key, excluded, temp.path + L"\\OWN0");
    ASSERT_FALSE(excluded.empty());
    EXPECT_EQ(excluded.front(), temp.path + L"\\ver0");
}

TEST(java_discovery, candidates_come_from_all_sources_in_order_without_duplicates) {
    temp_dir temp;
    const std::wstring t = temp.path;
    const std::wstring javasoft = L"SOFTWARE\\JavaSoft\\JDK";
    if (key_exists(HKEY_CURRENT_USER)) {
        GTEST_SKIP() << "HKCU already holds a JavaSoft key; the test does not touch it";
    }

    make_fake_home(t + L"\\jh");
    make_fake_home(t + L"\\p1");
    make_fake_home(t + L"\\p2");
    make_fake_home(t + L"\\p3");
    make_fake_home(t + L"\\p4");
    make_fake_home(t + L"\\excluded");
    make_fake_home(t + L"\\Oracle\\javapath");
    make_dirs(t + L"\\dirjava\\bin\\java.exe");
    make_fake_home(t + L"\\reg");
    make_fake_home(t + L"\\pf\\Java\\child");
    make_fake_home(t + L"\\pf\\Eclipse Adoptium\\a\\grand");
    make_fake_home(t + L"\\pf\\Microsoft\\a\\b\\great");
    make_fake_home(t + L"\\pf86\\Java\\jdk8");
    make_fake_home(t + L"\\pf86Java\\direct");  // no separator is added between the value and "\Java"
    make_fake_home(t + L"\\launcher\\jre");

    env_guard java_home(L"JAVA_HOME", t + L"\\jh\\");
    env_guard path(L"PATH", L";" + t + L"\\p1\\BIN\\;;\"" + t + L"\\p2\\bin\";" + t + L"\\p3\\bin;" + t + L"\\p4;" +
                                t + L"\\JH\\Bin;" + t + L"\\EXCLUDED\\bin;" + t + L"\\Oracle\\javapath;" + t +
                                L"\\dirjava\\bin;");
    env_guard program_files(L"ProgramFiles", t + L"\\pf");
    env_guard program_files_x86(L"ProgramFiles(x86)", t + L"\\pf86");
    struct key_cleanup {
        ~key_cleanup() { RegDeleteTreeW(HKEY_CURRENT_USER, L"SOFTWARE\\JavaSoft"); }
    } cleanup;
    reg_key key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, javasoft.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                              nullptr),
              ERROR_SUCCESS);
    const std::wstring reg_home = t + L"\\reg";
    const std::wstring jh_upper = t + L"\\JH";
    RegSetValueExW(key.get(), L"JavaHome", 0, REG_SZ, reinterpret_cast<const BYTE*>(jh_upper.c_str()),
                   static_cast<DWORD>((jh_upper.size() + 1) * sizeof(wchar_t)));
    RegSetValueExW(key.get(), L"CurrentVersion", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"17"),
                   3 * sizeof(wchar_t));
    reg_key version;
    RegCreateKeyExW(key.get(), L"17", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, version.put(), nullptr);
    RegSetValueExW(version.get(), L"JavaHome", 0, REG_SZ, reinterpret_cast<const BYTE*>(reg_home.c_str()),
                   static_cast<DWORD>((reg_home.size() + 1) * sizeof(wchar_t)));
    version.reset();
    key.reset();

    std::vector<std::wstring> list;
    find_java_candidates(list, t + L"\\EXCLUDED", t + L"\\launcher");
    const std::vector<std::wstring> want = {
        t + L"\\jh",  // JAVA_HOME without its backslash; "\JH\Bin" and the registry's "\JH" are the same home
        t + L"\\p1",
        t + L"\\p3",
        t + L"\\p4",
        t + L"\\reg",
        t + L"\\pf\\Java\\child",
        t + L"\\pf\\Eclipse Adoptium\\a\\grand",
        t + L"\\pf86\\Java\\jdk8",
        t + L"\\launcher\\jre",
    };
    EXPECT_EQ(list, want);
}

TEST(java_discovery, nothing_installed_gives_an_empty_list) {
    temp_dir temp;
    env_guard java_home(L"JAVA_HOME", nullptr);
    env_guard path(L"PATH", temp.path + L"\\nothing");
    env_guard program_files(L"ProgramFiles", nullptr);
    env_guard program_files_x86(L"ProgramFiles(x86)", nullptr);
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        if (key_exists(root, KEY_WOW64_64KEY)) {
            GTEST_SKIP() << "this machine has JavaSoft registry keys";
        }
    }
    std::vector<std::wstring> list;
    find_java_candidates(list, L"", temp.path + L"\\launcher");
    EXPECT_TRUE(list.empty());
}
