// The download's limits (announced length, cap, exact size, 64-bit lengths), the digest taken while
// writing, and what may happen to the file while it is held: against the fault-injecting test server.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/net_internal.h"
#include "tests/support/support.h"
#include "tests/unit/net_test_server.h"

namespace {

using support::exists;
using support::narrow;
using support::read_bytes;
using support::temp_dir;
using support::write_file;

std::string hex(const std::optional<sha256_digest>& digest) {
    return digest ? narrow(hex_lower(*digest)) : "(none)";
}

// What a test's hook saw when it acted as another program on the downloaded file.
struct hook_record {
    bool called = false;
    DWORD open_for_writing = ERROR_SUCCESS;  // the code of the failed open, or 0 when it opened
    bool wrote = false;
    DWORD replace = ERROR_SUCCESS;           // the code of the failed replace, or 0 when it replaced
    std::wstring stranger;                   // a file of the stranger's, to put in the download's place
};
hook_record g_hook;

// Another program tries to write into the file, then to put its own file in the file's place.
void write_and_replace(const std::wstring& path) {
    g_hook.called = true;
    kernel_handle file{CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
    g_hook.open_for_writing = file ? ERROR_SUCCESS : GetLastError();
    if (file) {
        DWORD written = 0;
        g_hook.wrote = WriteFile(file.get(), "EVIL", 4, &written, nullptr) && written == 4;
    }
    file.reset();
    if (!g_hook.stranger.empty()) {
        g_hook.replace = MoveFileExW(g_hook.stranger.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)
                             ? ERROR_SUCCESS
                             : GetLastError();
    }
}

class net_download : public testing::Test {
protected:
    void SetUp() override {
        const auto found = test_server::find();
        ASSERT_TRUE(found) << "the fault server is not running (ctest fixture fault_server, QUILLMARSH_TEST_SERVER)";
        server = *found;
        reset_http_cache_for_tests();
        g_hook = hook_record{};
        static int counter = 0;
        prefix = L"/net/limits/" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount64()) +
                 L"-" + std::to_wstring(++counter);
    }
    void TearDown() override {
        g_downloaded_file_hook = nullptr;
        reset_http_cache_for_tests();
    }

    // A route of this test's own with the server's options; its URL.
    std::wstring route(const std::wstring& name, const std::wstring& options) {
        const std::wstring path = prefix + L"/" + name;
        EXPECT_TRUE(test_server::set_route(path, options));
        return test_server::url(server.http, path);
    }

    test_server::ports server;
    std::wstring prefix;
    temp_dir dir{L"dl limits"};
};

TEST_F(net_download, an_announced_length_over_the_cap_is_refused_before_the_file_is_made) {
    struct row {
        const char* name;
        std::wstring options;
        std::uint64_t cap;
        std::wstring want;
    };
    const row rows[] = {
        {"one byte over", L"size=1001", 1000,
         L"Файл на сервере слишком большой (1001 байт, допустимо не больше 1000)"},
        // Read as a 32-bit number this would be 1 GiB, under the cap.
        {"5 GiB announced, 2 GiB cap", L"size=1000&declare=5368709120", 2147483648u,
         L"Файл на сервере слишком большой (5368709120 байт, допустимо не больше 2147483648)"},
        {"2^64 - 1 announced", L"size=10&declare=18446744073709551615", 2147483648u,
         L"Файл на сервере слишком большой (18446744073709551615 байт, допустимо не больше 2147483648)"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        const std::wstring absent = dir.file(L"absent.bin");
        const std::wstring kept = dir.file(L"kept.bin");
        write_file(kept, "the old file");
        static int n = 0;
        const std::wstring url = route(L"big-" + std::to_wstring(++n), r.options);
        for (const std::wstring& target : {absent, kept}) {
            std::wstring error = L"untouched";
            EXPECT_FALSE(download_to_file(url, target, download_limits{r.cap, std::nullopt}, {}, error));
            EXPECT_EQ(error, r.want);
        }
        EXPECT_FALSE(exists(absent));
        EXPECT_EQ(read_bytes(kept), "the old file");
    }
}

TEST_F(net_download, a_body_that_passes_the_cap_is_stopped_there_and_deleted) {
    struct row {
        const char* name;
        std::wstring options;
    };
    const row rows[] = {
        {"endless, no length", L"endless=1"},
        {"endless, chunked", L"endless=1&chunked=1"},
    };
    const std::uint64_t cap = 1 << 20;
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        const std::wstring target = dir.file(L"endless.bin");
        std::uint64_t most = 0;
        std::wstring error;
        const auto download = download_to_file(route(L"endless", r.options), target, download_limits{cap, std::nullopt},
                                               [&most](std::uint64_t done, std::uint64_t) { most = done; }, error);
        EXPECT_FALSE(download);
        EXPECT_EQ(error, L"Сервер передаёт больше данных, чем допустимо (не больше 1048576 байт)");
        EXPECT_FALSE(exists(target));
        EXPECT_LE(most, cap);  // no byte past the cap was written
        EXPECT_GT(most, cap - 65536);
    }
}

TEST_F(net_download, nothing_past_an_announced_length_is_kept) {
    // An endless body announced as 1000 bytes. Wine's WinHTTP reads such a body on to the end of the
    // connection, where Windows stops at the announced length: either way no file holds more.
    const std::wstring target = dir.file(L"short.bin");
    std::wstring error;
    auto download = download_to_file(route(L"false-length", L"endless=1&declare=1000"), target,
                                     download_limits{1 << 20, std::nullopt}, {}, error);
    if (download) {
        EXPECT_EQ(download->size, 1000u);
        download.reset();
        EXPECT_EQ(read_bytes(target), test_server::pattern(1000));
    } else {
        EXPECT_EQ(error, L"Сервер передаёт больше данных, чем ожидалось (1000 байт)");
        EXPECT_FALSE(exists(target));
    }
}

TEST_F(net_download, an_exact_size_refuses_one_byte_more_or_less) {
    const std::uint64_t exact = 200000;
    struct row {
        const char* name;
        std::wstring options;
        std::wstring want;  // empty: accepted
    };
    const row rows[] = {
        {"exact, announced", L"size=200000", L""},
        {"exact, not announced", L"size=200000&length=0", L""},
        {"one over, announced", L"size=200001",
         L"Размер файла на сервере не совпадает с ожидаемым (200001 байт вместо 200000)"},
        {"one over, not announced", L"size=200001&length=0",
         L"Сервер передаёт больше данных, чем ожидалось (200000 байт)"},
        {"one over, chunked", L"size=200001&chunked=1", L"Сервер передаёт больше данных, чем ожидалось (200000 байт)"},
        {"one short, not announced", L"size=199999&length=0",
         L"Размер скачанного файла не совпадает с ожидаемым (199999 байт вместо 200000)"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        const std::wstring target = dir.file(L"exact.bin");
        std::wstring error = L"untouched";
        auto download = download_to_file(route(L"exact", r.options), target, download_limits{1u << 30, exact}, {}, error);
        EXPECT_EQ(download.has_value(), r.want.empty());
        EXPECT_EQ(error, r.want.empty() ? L"untouched" : r.want);
        if (download) {
            EXPECT_EQ(download->size, exact);
            download.reset();  // closes the file
            EXPECT_EQ(read_bytes(target), test_server::pattern(exact));
        } else {
            EXPECT_FALSE(exists(target));
        }
        DeleteFileW(target.c_str());
    }
}

TEST_F(net_download, the_digest_is_that_of_the_bytes_written) {
    // Digests from Python's hashlib of the server's pattern (byte i = i % 251) and of nothing.
    struct row {
        const char* name;
        std::wstring options;
        const char* want;
    };
    const row rows[] = {
        {"200000 bytes in 64 KiB reads", L"size=200000", "e24bc62381f1224fbbb74688663f8f9743b9680b193edd666835e97b06e730eb"},
        {"the same in 700-byte pieces", L"size=200000&chunk=700&chunked=1",
         "e24bc62381f1224fbbb74688663f8f9743b9680b193edd666835e97b06e730eb"},
        {"one byte", L"size=1", "6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d"},
        {"empty", L"body=", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        std::wstring error;
        const auto download =
            download_to_file(route(L"digest", r.options), dir.file(L"digest.bin"), download_limits{1u << 30, {}}, {}, error);
        ASSERT_TRUE(download) << narrow(error);
        EXPECT_EQ(hex(download->digest), r.want);
    }
}

TEST_F(net_download, a_held_download_cannot_be_written_replaced_or_deleted_and_is_installed_through_its_handle) {
    const std::string body = test_server::pattern(100000);
    const std::wstring url = route(L"held", L"size=100000");
    const std::wstring temp = dir.file(L"app.jar.tmp");
    const std::wstring jar = dir.file(L"app.jar");
    g_hook.stranger = dir.file(L"stranger.jar");
    write_file(g_hook.stranger, "a stranger's jar");
    write_file(jar, "the old jar");
    g_downloaded_file_hook = &write_and_replace;

    std::wstring error = L"untouched";
    auto download = download_to_file(url, temp, download_limits{1u << 30, {}}, {}, error);
    ASSERT_TRUE(download) << narrow(error);
    EXPECT_FALSE(DeleteFileW(temp.c_str()));
    EXPECT_FALSE(MoveFileExW(temp.c_str(), dir.file(L"elsewhere.jar").c_str(), 0));
    EXPECT_TRUE(install_download(*download, jar, error)) << narrow(error);
    EXPECT_EQ(error, L"untouched");

    ASSERT_TRUE(g_hook.called);
    EXPECT_EQ(g_hook.open_for_writing, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(g_hook.wrote);
    EXPECT_NE(g_hook.replace, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(read_bytes(jar), body);  // the bytes hashed are the bytes installed
    EXPECT_EQ(hex(download->digest), hex(sha256_file(jar)));
    EXPECT_FALSE(exists(temp));
    EXPECT_EQ(read_bytes(g_hook.stranger), "a stranger's jar");
}

TEST_F(net_download, an_install_onto_a_held_target_fails_with_the_platforms_code_and_keeps_the_download) {
    const std::wstring url = route(L"locked", L"size=5000");
    const std::wstring temp = dir.file(L"app.jar.tmp");
    const std::wstring jar = dir.file(L"app.jar");
    write_file(jar, "the running jar");
    // The platform's own answer to replacing a file that a client holds, as the oracle for the code.
    write_file(dir.file(L"probe.tmp"), "x");
    kernel_handle holder{CreateFileW(jar.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)};
    ASSERT_TRUE(holder);
    ASSERT_FALSE(MoveFileExW(dir.file(L"probe.tmp").c_str(), jar.c_str(), MOVEFILE_REPLACE_EXISTING));
    const DWORD code = GetLastError();

    std::wstring error;
    auto download = download_to_file(url, temp, download_limits{1u << 30, {}}, {}, error);
    ASSERT_TRUE(download) << narrow(error);
    EXPECT_FALSE(install_download(*download, jar, error));
    holder.reset();
    EXPECT_EQ(error, L"не удалось сохранить скачанный файл (код " + std::to_wstring(code) + L"): " + jar);
    EXPECT_EQ(read_bytes(jar), "the running jar");
    EXPECT_EQ(read_bytes(temp), test_server::pattern(5000));
}

TEST_F(net_download, a_file_held_for_an_unpacker_can_be_read_by_path_and_not_changed) {
    const std::wstring url = route(L"archive", L"size=70000");
    const std::wstring archive = dir.file(L"archive.zip");
    std::wstring error = L"untouched";
    auto download = download_to_file(url, archive, download_limits{1u << 30, {}}, {}, error);
    ASSERT_TRUE(download) << narrow(error);
    const kernel_handle held = hold_for_reading(*download, error);
    ASSERT_TRUE(held) << narrow(error);
    EXPECT_EQ(error, L"untouched");
    // An unpacker that shares reading only (as PowerShell's does) opens it; writers and deleters do not.
    kernel_handle reader{CreateFileW(archive.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)};
    EXPECT_TRUE(reader);
    reader.reset();
    kernel_handle writer{CreateFileW(archive.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, 0, nullptr)};
    EXPECT_FALSE(writer);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(DeleteFileW(archive.c_str()));
    write_file(dir.file(L"other.zip"), "other");
    EXPECT_FALSE(MoveFileExW(dir.file(L"other.zip").c_str(), archive.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(read_bytes(archive), test_server::pattern(70000));
}

TEST_F(net_download, a_file_changed_between_the_download_and_the_unpacker_is_refused) {
    struct row {
        const char* name;
        bool replace;  // put another file in its place instead of writing into it
    };
    for (const row& r : {row{"written into", false}, row{"replaced", true}}) {
        SCOPED_TRACE(r.name);
        g_hook = hook_record{};
        if (r.replace) {
            g_hook.stranger = dir.file(L"stranger.zip");
            write_file(g_hook.stranger, test_server::pattern(69999) + "X");  // same size, one byte changed
        }
        g_downloaded_file_hook = &write_and_replace;
        const std::wstring archive = dir.file(L"archive.zip");
        std::wstring error;
        auto download = download_to_file(route(L"gap", L"size=70000"), archive, download_limits{1u << 30, {}}, {}, error);
        ASSERT_TRUE(download) << narrow(error);
        const kernel_handle held = hold_for_reading(*download, error);
        g_downloaded_file_hook = nullptr;
        EXPECT_FALSE(held);
        ASSERT_TRUE(g_hook.called);
        EXPECT_TRUE(g_hook.wrote);  // the one moment nothing holds the file: caught by the digest instead
        EXPECT_EQ(error, L"Файл изменён после скачивания: " + archive);
        DeleteFileW(archive.c_str());
    }
}

TEST_F(net_download, a_refused_body_is_deleted_through_its_handle_not_by_name) {
    // Refused mid-body, and refused by the caller after a complete one: either way the file goes.
    const std::wstring target = dir.file(L"refused.bin");
    std::wstring error;
    EXPECT_FALSE(download_to_file(route(L"refused", L"size=3000&length=0"), target, download_limits{2000, {}}, {}, error));
    EXPECT_FALSE(exists(target));
    auto download = download_to_file(route(L"kept", L"size=3000"), target, download_limits{1u << 30, {}}, {}, error);
    ASSERT_TRUE(download);
    discard_download(*download);
    EXPECT_FALSE(exists(target));
}

TEST(partial_download, a_leftover_is_removed_and_a_folder_under_its_name_is_not) {
    temp_dir dir{L"leftover"};
    const std::wstring file = dir.file(L"app.jar.tmp");
    write_file(file, "half a jar");
    EXPECT_TRUE(remove_partial_download(file));
    EXPECT_FALSE(exists(file));
    EXPECT_TRUE(remove_partial_download(file));  // nothing there: nothing to do

    const std::wstring folder = dir.sub(L"Java17.zip");
    write_file(folder + L"\\inside.txt", "not ours");
    EXPECT_FALSE(remove_partial_download(folder));
    EXPECT_EQ(read_bytes(folder + L"\\inside.txt"), "not ours");

    // A leftover another program holds open stays, and says so.
    write_file(file, "held");
    kernel_handle holder{CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)};
    ASSERT_TRUE(holder);
    EXPECT_FALSE(remove_partial_download(file));
    holder.reset();
    EXPECT_TRUE(remove_partial_download(file));
}

}  // namespace
