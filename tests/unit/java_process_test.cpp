// The Java probe, the hidden runner and tree removal, with the java.exe double as the program.
#include <gtest/gtest.h>

#include "java/java_internal.h"
#include "java_test_support.h"

using namespace java_test;

namespace {

std::wstring java_exe(const std::wstring& home) {
    return home + L"\\bin\\java.exe";
}

DWORD last_pid(const std::wstring& home) {
    const auto starts = java_starts(home);
    if (starts.empty()) return 0;
    const auto it = starts.back().fields.find("pid");
    return it == starts.back().fields.end() ? 0 : static_cast<DWORD>(std::stoul(it->second));
}

}  // namespace

TEST(java_probe, limits_are_fifteen_and_one_hundred_twenty_seconds) {
    EXPECT_EQ(kJavaProbeLimitMs, 15000u);
    EXPECT_EQ(kRunHiddenLimitMs, 120000u);
    EXPECT_EQ(time_out_text(kRunHiddenLimitMs), L"превышен таймаут (120 сек)");
}

TEST(java_probe, passes_only_a_runtime_that_ends_with_zero) {
    temp_dir temp;
    struct row {
        const char* name;
        std::string ini;  // empty: no home at all
        bool passes;
    };
    const row rows[] = {
        {"missing", "", false},
        {"java17", "version.exit=0\n", true},
        {"java8", "version.stderr=java version \"1.8.0_381\"\\n\nversion.exit=0\n", true},
        {"exit1", "version.exit=1\n", false},
        {"crash", "version.exit=3221225477\n", false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        const std::wstring home = temp.path + L"\\" + from_utf8(r.name);
        if (!r.ini.empty()) make_double_home(home, r.ini);
        EXPECT_EQ(probe_java(home), r.passes);
    }
}

TEST(java_probe, quotes_a_home_with_spaces_and_passes_only_dash_version) {
    temp_dir temp;
    const std::wstring home = temp.path + L"\\Program Files\\Java 17 (x64)";
    make_double_home(home, "version.exit=0\nother.exit=9\njar.exit=9\n");
    ASSERT_TRUE(probe_java(home));
    const auto starts = java_starts(home);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].fields.at("mode"), "version");
    EXPECT_EQ(starts[0].fields.at("cmdline"), "\"" + narrow(home) + "\\bin\\java.exe\" -version");
}

TEST(java_probe, a_hanging_runtime_is_terminated_and_fails) {
    temp_dir temp;
    const std::wstring home = temp.path + L"\\hangs";
    make_double_home(home, "version.alive_ms=-1\n");
    EXPECT_FALSE(probe_java_within(home, 1500));
    const DWORD pid = last_pid(home);
    ASSERT_NE(pid, 0u);
    DWORD code = 0;
    EXPECT_TRUE(process_ended(pid, java_exe(home), &code));
    if (code != 0) {
        EXPECT_EQ(code, 1u);  // still known: ended by the termination
    }
}

TEST(java_runner, failures_replace_the_error_with_the_exact_text) {
    temp_dir temp;
    const std::wstring home = temp.path + L"\\prog";
    make_double_home(home);
    const std::wstring jar_line = L"\"" + java_exe(home) + L"\" -jar \"C:\\some place\\x.jar\"";
    struct row {
        const char* name;
        std::string ini;
        std::wstring command_line;
        std::wstring want;
    };
    const std::wstring missing = L"\"" + temp.path + L"\\nowhere\\tool.exe\" -xf \"a b\" -C \"c\"";
    const row rows[] = {
        {"missing program", "", missing, L"не удалось запустить: " + missing},
        {"missing on PATH", "", L"quillmarsh-no-such-tool.exe -x", L"не удалось запустить: quillmarsh-no-such-tool.exe -x"},
        {"exit 2", "jar.exit=2\n", jar_line, L"завершился с кодом 2"},
        {"top bit", "jar.exit=3221225477\n", jar_line, L"завершился с кодом 3221225477"},
        {"all bits", "jar.exit=4294967295\n", jar_line, L"завершился с кодом 4294967295"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        write_file(home + L"\\bin\\java_double.ini", r.ini);
        std::wstring error = L"earlier text that must be replaced whole";
        EXPECT_FALSE(run_hidden(r.command_line, error));
        EXPECT_EQ(error, r.want);
    }
}

TEST(java_runner, success_leaves_a_previous_error_alone_and_passes_the_command_line_unchanged) {
    temp_dir temp;
    const std::wstring home = temp.path + L"\\prog";
    make_double_home(home, "jar.exit=0\njar.stdout=output nobody reads\\n\n");
    const std::wstring line = L"\"" + java_exe(home) + L"\" -jar \"C:\\a b\\O'Brien.jar\" --flag";
    std::wstring error = L"kept";
    EXPECT_TRUE(run_hidden(line, error));
    EXPECT_EQ(error, L"kept");
    const auto starts = java_starts(home);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].fields.at("cmdline"), narrow(line));
}

TEST(java_runner, a_program_past_the_limit_is_terminated) {
    temp_dir temp;
    const std::wstring home = temp.path + L"\\slow";
    make_double_home(home, "jar.alive_ms=-1\n");
    std::wstring error;
    EXPECT_FALSE(run_hidden_within(L"\"" + java_exe(home) + L"\" -jar x.jar", 2000, error));
    EXPECT_EQ(error, L"превышен таймаут (2 сек)");
    const DWORD pid = last_pid(home);
    ASSERT_NE(pid, 0u);
    DWORD code = 0;
    EXPECT_TRUE(process_ended(pid, java_exe(home), &code));
    if (code != 0) {
        EXPECT_EQ(code, 1u);  // still known: ended by the termination
    }
}

TEST(java_remove_tree, removes_nested_read_only_files_and_directories) {
    temp_dir temp;
    const std::wstring tree = temp.path + L"\\tree";
    write_file(tree + L"\\a.txt", "a");
    write_file(tree + L"\\sub\\deeper\\b.bin", std::string(100000, 'b'));
    write_file(tree + L"\\sub\\ro.txt", "read only");
    write_file(tree + L"\\sub\\hidden.txt", "hidden");
    make_dirs(tree + L"\\empty\\dirs\\only");
    SetFileAttributesW((tree + L"\\sub\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW((tree + L"\\sub\\hidden.txt").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    write_file(temp.path + L"\\tree_sibling.txt", "stays");

    remove_tree(tree);
    EXPECT_FALSE(exists(tree));
    EXPECT_TRUE(exists(temp.path + L"\\tree_sibling.txt"));
}

TEST(java_remove_tree, a_missing_directory_is_no_error) {
    temp_dir temp;
    write_file(temp.path + L"\\other.txt", "x");
    remove_tree(temp.path + L"\\missing");
    remove_tree(temp.path + L"\\missing\\deeper");
    EXPECT_TRUE(exists(temp.path + L"\\other.txt"));
}

TEST(java_remove_tree, a_file_held_open_stays_with_its_directories_and_the_rest_goes) {
    temp_dir temp;
    const std::wstring tree = temp.path + L"\\tree";
    write_file(tree + L"\\bin\\server\\jvm.dll", "in use");
    write_file(tree + L"\\bin\\java.exe", "x");
    write_file(tree + L"\\lib\\modules", "x");
    write_file(tree + L"\\release", "x");
    kernel_handle held{CreateFileW((tree + L"\\bin\\server\\jvm.dll").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
    ASSERT_TRUE(held);
    remove_tree(tree);
    EXPECT_TRUE(exists(tree + L"\\bin\\server\\jvm.dll"));
    EXPECT_FALSE(exists(tree + L"\\bin\\java.exe"));
    EXPECT_FALSE(exists(tree + L"\\lib"));
    EXPECT_FALSE(exists(tree + L"\\release"));
    held.reset();
    remove_tree(tree);
    EXPECT_FALSE(exists(tree));
}

namespace {

using unix_name_fn = char*(CDECL*)(const wchar_t*);

unix_name_fn wine_unix_name() {
    return reinterpret_cast<unix_name_fn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
}

std::wstring unix_path(const std::wstring& path) {
    const unix_name_fn unix_name = wine_unix_name();
    char* name = unix_name == nullptr ? nullptr : unix_name(path.c_str());
    if (name == nullptr) return {};
    const std::wstring out = from_utf8(name);
    HeapFree(GetProcessHeap(), 0, name);
    return out;
}

// Starts a host (Linux) program under Wine; its handle cannot be waited on, so the caller polls.
bool start_host_program(std::wstring command) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const kernel_handle nul{CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        &inherit, OPEN_EXISTING, 0, nullptr)};
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul.get();
    startup.hStdOutput = nul.get();
    startup.hStdError = nul.get();
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &info)) {
        return false;
    }
    const process_handles child(info);  // not waited on: closed at once
    return true;
}

// A link at `link` to the directory `target`: a symbolic link where the system makes one; under
// Wine, whose CreateSymbolicLinkW makes nothing, a Unix symbolic link made by the host's ln, which
// Wine shows as a directory with the reparse-point attribute. False when neither is possible.
bool make_directory_link(const std::wstring& link, const std::wstring& target) {
    if (CreateSymbolicLinkW(link.c_str(), target.c_str(),
                            SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) &&
        exists(link)) {
        return true;
    }
    const std::wstring unix_link = unix_path(link);
    const std::wstring unix_target = unix_path(target);
    if (unix_link.empty() || unix_target.empty()) return false;
    if (!start_host_program(L"Z:\\bin\\ln -s \"" + unix_target + L"\" \"" + unix_link + L"\"")) return false;
    for (int i = 0; i < 1200 && !exists(link); ++i) Sleep(50);  // a host program: up to a minute on a busy machine
    const DWORD attributes = GetFileAttributesW(link.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Removes a link the test made, even where the platform's own calls cannot (a Unix link under Wine).
struct link_cleanup {
    std::wstring link;
    ~link_cleanup() {
        if (!exists(link)) return;
        RemoveDirectoryW(link.c_str());
        if (!exists(link)) return;
        const std::wstring unix_link = unix_path(link);
        if (unix_link.empty() || !start_host_program(L"Z:\\bin\\rm -f \"" + unix_link + L"\"")) return;
        for (int i = 0; i < 1200 && exists(link); ++i) Sleep(50);
    }
};

}  // namespace

TEST(java_remove_tree, never_removes_what_a_directory_link_inside_points_to) {
    temp_dir temp;
    const std::wstring outside = temp.path + L"\\outside";
    write_file(outside + L"\\precious.txt", "keep me");
    write_file(outside + L"\\deeper\\also.txt", "keep me too");
    const std::wstring tree = temp.path + L"\\tree";
    write_file(tree + L"\\jdk\\bin\\java.exe", "x");
    link_cleanup cleanup{tree + L"\\jdk\\link"};
    if (!make_directory_link(cleanup.link, outside)) GTEST_SKIP() << "no directory links here";

    remove_tree(tree);
    EXPECT_EQ(read_file(outside + L"\\precious.txt"), "keep me");
    EXPECT_EQ(read_file(outside + L"\\deeper\\also.txt"), "keep me too");
    EXPECT_FALSE(exists(tree + L"\\jdk\\bin"));
    // Windows removes the link itself; Wine cannot remove a Unix link through RemoveDirectoryW, so
    // there the link (and the directories above it) stay.
    if (exists(tree + L"\\jdk\\link")) {
        RecordProperty("link_left", "the platform refused to remove the link");
    } else {
        EXPECT_FALSE(exists(tree));
    }
}

TEST(java_remove_tree, a_tree_that_is_itself_a_link_leaves_its_target_alone) {
    temp_dir temp;
    const std::wstring outside = temp.path + L"\\outside";
    write_file(outside + L"\\precious.txt", "keep me");
    link_cleanup cleanup{temp.path + L"\\Java17"};
    if (!make_directory_link(cleanup.link, outside)) GTEST_SKIP() << "no directory links here";
    remove_tree(temp.path + L"\\Java17");
    EXPECT_EQ(read_file(outside + L"\\precious.txt"), "keep me");
}

namespace {

// A link at `link` to the file `target`, made the way make_directory_link makes one; true when the
// name now leads to the target's content.
bool make_file_link(const std::wstring& link, const std::wstring& target) {
    if (!CreateSymbolicLinkW(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) ||
        !exists(link)) {
        const std::wstring unix_link = unix_path(link);
        const std::wstring unix_target = unix_path(target);
        if (unix_link.empty() || unix_target.empty()) return false;
        if (!start_host_program(L"Z:\\bin\\ln -s \"" + unix_target + L"\" \"" + unix_link + L"\"")) return false;
        for (int i = 0; i < 1200 && !exists(link); ++i) Sleep(50);  // a host program: up to a minute
    }
    return read_file(link) == read_file(target);
}

// What the swap hook does, and where; remove_tree's hook is a plain function, so its state is here.
struct swap_plan {
    std::wstring when_listed;  // the folder whose listing triggers the swap
    std::wstring victim;       // moved away to `moved_to`
    std::wstring moved_to;
    std::wstring target;       // what the link put in the victim's place points to
    bool directory = true;
    bool done = false;
    bool linked = false;
};
swap_plan g_swap;

void swap_after_listing(const std::wstring& folder) {
    if (g_swap.done || folder != g_swap.when_listed) return;
    g_swap.done = true;
    if (!MoveFileW(g_swap.victim.c_str(), g_swap.moved_to.c_str())) return;
    g_swap.linked = g_swap.directory ? make_directory_link(g_swap.victim, g_swap.target)
                                     : make_file_link(g_swap.victim, g_swap.target);
}

struct hook_scope {
    explicit hook_scope(void (*hook)(const std::wstring&)) { g_remove_tree_listed = hook; }
    ~hook_scope() { g_remove_tree_listed = nullptr; }
    hook_scope(const hook_scope&) = delete;
    hook_scope& operator=(const hook_scope&) = delete;
};

}  // namespace

TEST(java_remove_tree, a_folder_or_file_swapped_for_a_link_after_the_listing_leaves_the_target_alone) {
    struct row {
        const char* name;
        bool directory;
        const wchar_t* listed;  // below the tree
        const wchar_t* victim;
    };
    const row rows[] = {
        // The folder is swapped after its own listing: its entries, opened by path, would be the
        // target's namesakes.
        {"folder", true, L"\\jdk", L"\\jdk"},
        // A read-only file is swapped after its folder's listing: clearing read-only by path would
        // land on the target.
        {"read-only file", false, L"", L"\\release"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        temp_dir temp;
        const std::wstring outside = temp.path + L"\\outside";
        write_file(outside + L"\\release", "keep me");
        write_file(outside + L"\\bin\\java.exe", "keep me too");
        SetFileAttributesW((outside + L"\\release").c_str(), FILE_ATTRIBUTE_READONLY);
        const std::wstring tree = temp.path + L"\\tree";
        write_file(tree + L"\\jdk\\release", "tree");
        write_file(tree + L"\\jdk\\bin\\java.exe", "tree");
        write_file(tree + L"\\release", "tree");
        SetFileAttributesW((tree + L"\\release").c_str(), FILE_ATTRIBUTE_READONLY);

        g_swap = {tree + r.listed, tree + r.victim, temp.path + L"\\moved",
                  r.directory ? outside : outside + L"\\release", r.directory};
        link_cleanup cleanup{tree + r.victim};
        {
            const hook_scope hook(swap_after_listing);
            remove_tree(tree);
        }
        ASSERT_TRUE(g_swap.done) << "the hook ran";
        if (!g_swap.linked) GTEST_SKIP() << "no links here";
        EXPECT_EQ(read_file(outside + L"\\release"), "keep me");
        EXPECT_EQ(read_file(outside + L"\\bin\\java.exe"), "keep me too");
        EXPECT_NE(GetFileAttributesW((outside + L"\\release").c_str()) & FILE_ATTRIBUTE_READONLY, 0u)
            << "read-only was cleared on the link's target";
        SetFileAttributesW((outside + L"\\release").c_str(), FILE_ATTRIBUTE_NORMAL);
        SetFileAttributesW((temp.path + L"\\moved").c_str(), FILE_ATTRIBUTE_NORMAL);
    }
}

namespace {

struct deep_removal {
    std::wstring tree;
};

DWORD WINAPI remove_on_small_stack(void* param) {
    remove_tree(static_cast<deep_removal*>(param)->tree);
    return 0;
}

}  // namespace

// 256 KiB of stack: Wine's own file calls need more than 64 KiB with paths thousands of characters
// long, and a recursion of the old frame (816 bytes a level) would need more than 400 KB for this tree.
TEST(java_remove_tree, a_deep_tree_goes_on_a_small_stack) {
    temp_dir temp;
    // The long-path form: Wine has no long-path support for ordinary paths, and deep trees pass
    // MAX_PATH within about a hundred levels.
    const std::wstring tree = L"\\\\?\\" + temp.path + L"\\deep";
    std::wstring path = tree;
    ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
    constexpr int kWantedDepth = 500;
    int depth = 0;
    for (; depth < kWantedDepth; ++depth) {
        const std::wstring next = path + L"\\d";
        if (!CreateDirectoryW(next.c_str(), nullptr)) break;
        path = next;
    }
    // Every level holds a read-only file, so each one is really visited.
    ASSERT_TRUE(write_file(path + L"\\leaf.txt", "leaf"));
    SetFileAttributesW((path + L"\\leaf.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    RecordProperty("depth", depth);
    ASSERT_GE(depth, 400) << "the system refused deeper folders";

    deep_removal job{tree};
    const kernel_handle thread{CreateThread(nullptr, 256 * 1024, remove_on_small_stack, &job,
                                            STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr)};
    ASSERT_TRUE(thread);
    ASSERT_EQ(WaitForSingleObject(thread.get(), 300000), WAIT_OBJECT_0);
    DWORD code = 1;
    ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(GetFileAttributesW(tree.c_str()), INVALID_FILE_ATTRIBUTES) << "the whole tree is gone";
}
