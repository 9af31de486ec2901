// The whole launch sequence with the real shell: the test server plays the project server, the
// java.exe double plays every Java runtime (and, with its ini, the launcher jar's behaviour), the
// tar.exe double in the system folder unpacks the Java 17 archive. Each scenario is one player's world in a fresh folder.
#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include <filesystem>  // lets the test server client open its wide-named ports file

#include "base/handle.h"
#include "shell/server_address.h"
#include "tests/e2e/driver.h"
#include "tests/unit/net_test_server.h"

namespace {

using e2e::narrow;
using e2e::widen;

// Published SHA-256 test vectors (FIPS 180-2), the oracle for the digests the shell records.
const std::string kJarV1 = "abc";
const std::wstring kJarV1Digest = L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string kJarV2 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
const std::wstring kJarV2Digest = L"248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1";

// A client that starts well: says so and keeps running (the world ends it when the test is over).
const std::string kHealthyClient = "jar.stdout=client up\\r\\n\njar.alive_ms=30000\n";

// ---- A zip with stored entries, as the server's Java 17 archive ----------------------------------

std::uint32_t crc32(const std::string& bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char b : bytes) {
        crc ^= b;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void put16(std::string& out, std::uint32_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>((v >> 8) & 0xFF));
}

void put32(std::string& out, std::uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

std::string stored_zip(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string body;
    std::string directory;
    for (const auto& [name, content] : entries) {
        const std::uint32_t offset = static_cast<std::uint32_t>(body.size());
        const std::uint32_t crc = crc32(content);
        const auto size = static_cast<std::uint32_t>(content.size());
        put32(body, 0x04034b50u);
        put16(body, 20);
        put16(body, 0x0800);  // UTF-8 names
        put16(body, 0);       // stored
        put32(body, 0);       // time, date
        put32(body, crc);
        put32(body, size);
        put32(body, size);
        put16(body, static_cast<std::uint32_t>(name.size()));
        put16(body, 0);
        body += name;
        body += content;

        put32(directory, 0x02014b50u);
        put16(directory, 20);
        put16(directory, 20);
        put16(directory, 0x0800);
        put16(directory, 0);
        put32(directory, 0);
        put32(directory, crc);
        put32(directory, size);
        put32(directory, size);
        put16(directory, static_cast<std::uint32_t>(name.size()));
        put32(directory, 0);  // extra and comment lengths
        put32(directory, 0);  // disk, internal attributes
        put32(directory, 0);  // external attributes
        put32(directory, offset);
        directory += name;
    }
    std::string zip = body + directory;
    put32(zip, 0x06054b50u);
    put32(zip, 0);
    put16(zip, static_cast<std::uint32_t>(entries.size()));
    put16(zip, static_cast<std::uint32_t>(entries.size()));
    put32(zip, static_cast<std::uint32_t>(directory.size()));
    put32(zip, static_cast<std::uint32_t>(body.size()));
    put16(zip, 0);
    return zip;
}

// ---- One player's world ----------------------------------------------------------------------------

// One start recorded by a java.exe double.
struct java_start {
    std::string mode;
    std::wstring cmdline;
    std::wstring cwd;
    std::vector<std::wstring> env;

    std::wstring env_value(const std::wstring& name) const {
        for (const std::wstring& e : env) {
            if (e.rfind(name + L"=", 0) == 0) return e.substr(name.size() + 1);
        }
        return {};
    }
};

std::vector<java_start> java_starts(const std::wstring& home, const std::string& mode) {
    std::vector<java_start> out;
    const std::string log = e2e::read_file(home + L"\\bin\\java_double.log").value_or("");
    std::size_t pos = 0;
    while (pos < log.size()) {
        std::size_t end = log.find('\n', pos);
        if (end == std::string::npos) end = log.size();
        const std::string line = log.substr(pos, end - pos);
        pos = end + 1;
        if (line == "[start]") out.emplace_back();
        if (out.empty()) continue;
        if (line.rfind("mode=", 0) == 0) out.back().mode = line.substr(5);
        if (line.rfind("cmdline=", 0) == 0) out.back().cmdline = widen(line.substr(8));
        if (line.rfind("cwd=", 0) == 0) out.back().cwd = widen(line.substr(4));
        if (line.rfind("env=", 0) == 0) out.back().env.push_back(widen(line.substr(4)));
    }
    std::vector<java_start> picked;
    for (java_start& s : out) {
        if (s.mode == mode) picked.push_back(std::move(s));
    }
    return picked;
}

std::wstring upper_ascii(std::wstring s) {
    for (wchar_t& c : s) {
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    }
    return s;
}

bool starts_with_nocase(const std::wstring& text, const std::wstring& prefix) {
    return text.size() >= prefix.size() && upper_ascii(text.substr(0, prefix.size())) == upper_ascii(prefix);
}

class world {
public:
    // `profile_root` empty: the sandbox's own profile folders; otherwise the roaming, local and
    // temporary folders are made below it (for profile paths with unusual letters or length).
    explicit world(const std::wstring& profile_root = L"") {
        static LONG counter = 0;
        prefix_ = L"/seq" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                  std::to_wstring(InterlockedIncrement(&counter)) + L"_" + std::to_wstring(GetTickCount64());
        root_ = profile_root.empty() ? dir_.path + L"\\profile" : profile_root;
        roaming_ = root_ + L"\\AppData\\Roaming";
        temp_ = root_ + L"\\AppData\\Local\\Temp";
        e2e::make_dirs(roaming_);
        e2e::make_dirs(temp_);
        redirect_ = std::make_unique<e2e::profile_redirect>(roaming_, root_ + L"\\AppData\\Local");
        // The first launcher candidate needs its parent: a player who has run the launcher before.
        e2e::make_dirs(roaming_ + L"\\.quillmarsh");
        launcher_ = roaming_ + L"\\.quillmarsh\\launcher";
        // The shell starts tar.exe from the system folder only; the double's records go to "tools".
        tools_ = dir_.sub(L"tools");
        doubles_ = std::make_unique<e2e::unpack_doubles>(true, false);
        ports_ = test_server::find();
        serve_ban(false);
    }

    ~world() {
        end_clients();
        if (!zip_windows_.empty()) DeleteFileW(zip_windows_.c_str());
        redirect_.reset();
        e2e::remove_tree(root_);
    }

    bool server_ready() const { return ports_.has_value(); }
    const std::wstring& launcher() const { return launcher_; }
    std::wstring file(const std::wstring& name) const { return launcher_ + L"\\" + name; }
    std::wstring jar() const { return file(L"QuillmarshLauncher.jar"); }
    std::wstring route(const std::wstring& path) const { return prefix_ + path; }
    std::wstring jar_route() const { return route(builtin_launcher_jar_path()); }
    std::wstring archive_route() const { return route(builtin_java_archive_path()); }

    void serve_ban(bool banned) {
        test_server::set_body(route(L"/launcher/hwid_ban.php"),
                              banned ? R"({"banned":true})" : R"({"banned":false})");
    }
    void serve_jar(const std::string& bytes) { test_server::set_body(jar_route(), bytes); }

    // The Java 17 archive: one top-level folder "jdk-17.0.2" with the double and its client behaviour.
    void serve_java_archive(const std::string& client_ini) {
        const std::string java = e2e::read_file(e2e::test_bin(L"doubles\\java\\java.exe")).value_or("");
        ASSERT_FALSE(java.empty());
        const std::string zip = stored_zip({{"jdk-17.0.2/bin/java.exe", java},
                                            {"jdk-17.0.2/bin/java_double.ini", client_ini},
                                            {"jdk-17.0.2/release", "JAVA_VERSION=\"17.0.2\"\n"}});
        // The server reads files by their Linux path: keep the archive in its state folder.
        const std::wstring name = L"seq_archive" + prefix_.substr(4) + L".zip";
        zip_windows_ = test_server::state_dir() + L"\\" + name;
        ASSERT_TRUE(e2e::write_file(zip_windows_, zip));
        const std::wstring linux_path = e2e::own_env(L"QUILLMARSH_TEST_SERVER") + L"/" + name;
        test_server::set_route(archive_route(),
                               L"status=200&file=" + test_server::encode(narrow(linux_path)));
    }

    // A Java runtime made of the double at `home`, with the client behaviour `client_ini`.
    std::wstring make_runtime(const std::wstring& home, const std::string& client_ini) const {
        EXPECT_TRUE(e2e::make_dirs(home + L"\\bin"));
        EXPECT_TRUE(CopyFileW(e2e::test_bin(L"doubles\\java\\java.exe").c_str(),
                              (home + L"\\bin\\java.exe").c_str(), FALSE));
        EXPECT_TRUE(e2e::write_file(home + L"\\bin\\java_double.ini", client_ini));
        return home;
    }

    // The built-in Java 17 as an earlier run left it.
    std::wstring install_java17(const std::string& client_ini) const {
        return make_runtime(launcher_ + L"\\Java17\\jdk-17.0.2", client_ini);
    }
    std::wstring java17_home() const { return launcher_ + L"\\Java17\\jdk-17.0.2"; }

    e2e::launch shell() const {
        e2e::launch l = e2e::shell_launch();
        l.working_dir = dir_.path;
        l.env.set(L"TEMP", temp_);
        l.env.set(L"TMP", temp_);
        l.env.set(L"QUILLMARSH_BASE_URL", test_server::url(ports_ ? ports_->http : 9, prefix_));
        l.env.set(L"PATH", tools_ + L";" + l.env.get(L"PATH").value_or(L""));
        l.env.set(L"QUILLMARSH_DOUBLE_DIR", tools_);
        return l;
    }

    e2e::run_result run(const e2e::launch& l) const {
        e2e::watch_options options;
        options.time_limit_ms = 120000;
        return e2e::run(l, options);
    }
    e2e::run_result run() const { return run(shell()); }

    // The launcher log's messages, without their time stamps.
    std::vector<std::wstring> log() const {
        std::string bytes = e2e::read_file(file(L"launcher.log")).value_or("");
        if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) bytes.erase(0, 3);
        std::vector<std::wstring> out;
        for (const std::wstring& line : e2e::split_lines(widen(bytes))) {
            out.push_back(line.size() >= 22 ? line.substr(22) : line);
        }
        return out;
    }

    // Ends the clients that the shell left running in this world (only programs below its folders).
    void end_clients() const {
        const kernel_handle snapshot{CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0)};
        if (!snapshot) return;
        PROCESSENTRY32W entry{};
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
             more = Process32NextW(snapshot.get(), &entry)) {
            const kernel_handle process{OpenProcess(
                PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID)};
            if (!process) continue;
            std::wstring image(32768, L'\0');
            DWORD size = static_cast<DWORD>(image.size());
            if (QueryFullProcessImageNameW(process.get(), 0, image.data(), &size)) {
                image.resize(size);
                const bool mine =
                    starts_with_nocase(image, dir_.path + L"\\") || starts_with_nocase(image, root_ + L"\\");
                if (mine) {
                    TerminateProcess(process.get(), 1);
                    WaitForSingleObject(process.get(), 10000);
                }
            }
        }
    }

    // What a double in the system folder recorded in this world ("" when it never ran).
    std::string tool_record(const wchar_t* tool) const {
        return e2e::read_file(tools_ + L"\\" + tool + L"_double.log").value_or("");
    }

    // The signature beside a route: a file of tests/signing (the build's "signing" folder), sent by its
    // Linux path so it stays binary.
    void serve_signature(const std::wstring& route, const std::string& fixture) const {
        const std::string linux_path = narrow(e2e::own_env(L"QUILLMARSH_TEST_BIN")) + "/signing/" + fixture;
        test_server::set_route(route + L".sig", L"status=200&file=" + test_server::encode(linux_path));
    }
    // A release manifest of tests/signing ("release-" + name + ".txt") and its signature at the built-in
    // path; `signature` names another fixture to serve as its ".sig", empty: none at all.
    std::wstring release_route() const { return route(builtin_release_path()); }
    void serve_release(const std::string& name, const std::string& signature = "") const {
        const std::string linux_dir = narrow(e2e::own_env(L"QUILLMARSH_TEST_BIN")) + "/signing/";
        test_server::set_route(release_route(),
                               L"status=200&file=" + test_server::encode(linux_dir + "release-" + name + ".txt"));
        if (signature != "-") serve_signature(release_route(), signature.empty() ? "release-" + name + ".txt.sig"
                                                                                  : signature);
    }
    // What an earlier trusted run of the signed build left: the verified record (a jar digest and the
    // archive digest of the tests' manifests, each only when given) and the accepted sequence (0: none).
    void record_verified(const std::wstring& jar_digest, bool java, std::uint64_t sequence = 0) const {
        const std::string key = fixture("key-fingerprint");
        std::string text = "quillmarsh-verified 1\nkey " + key + "\n";
        if (!jar_digest.empty()) text += "jar " + narrow(jar_digest) + "\n";
        if (java) text += "java-archive " + fixture("release-java-digest") + "\n";
        ASSERT_TRUE(e2e::make_dirs(launcher_));
        ASSERT_TRUE(e2e::write_file(file(L"release.verified"), text));
        if (sequence != 0) {
            ASSERT_TRUE(e2e::write_file(file(L"release.sequence"), "quillmarsh-sequence 1\nkey " + key +
                                                                       "\nsequence " + std::to_string(sequence) + "\n"));
        }
    }
    static std::string fixture(const char* name) {
        return e2e::read_file(e2e::test_bin(L"signing\\" + widen(name))).value_or("");
    }
    // The shell built with the test publisher key (QUILLMARSH_SIGNED_EXE).
    e2e::launch signed_shell() const {
        e2e::launch l = shell();
        l.exe = e2e::windows_path(e2e::own_env(L"QUILLMARSH_SIGNED_EXE"));
        return l;
    }

    // A folder of the test's own, for runtimes installed "on the machine".
    std::wstring machine_dir(const std::wstring& name) const { return dir_.sub(name); }

private:
    e2e::temp_dir dir_;
    std::wstring prefix_;
    std::wstring root_;
    std::wstring roaming_;
    std::wstring temp_;
    std::wstring launcher_;
    std::wstring tools_;
    std::wstring zip_windows_;
    std::optional<test_server::ports> ports_;
    std::unique_ptr<e2e::profile_redirect> redirect_;
    std::unique_ptr<e2e::unpack_doubles> doubles_;
};

// Every expected message appears in the log, as a whole message, in this order.
void expect_in_order(const std::vector<std::wstring>& log, const std::vector<std::wstring>& expected) {
    std::size_t at = 0;
    for (const std::wstring& want : expected) {
        std::size_t i = at;
        while (i < log.size() && log[i] != want) ++i;
        if (i == log.size()) {
            std::string dump;
            for (const std::wstring& line : log) dump += narrow(line) + "\n";
            ADD_FAILURE() << "missing in order: " << narrow(want) << "\nlog:\n" << dump;
            return;
        }
        at = i + 1;
    }
}

std::size_t count_of(const std::vector<std::wstring>& log, const std::wstring& message) {
    std::size_t n = 0;
    for (const std::wstring& line : log) n += line == message ? 1 : 0;
    return n;
}

std::size_t count_prefix(const std::vector<std::wstring>& log, const std::wstring& prefix) {
    std::size_t n = 0;
    for (const std::wstring& line : log) n += line.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
}

// A run that ended by itself with exit code 0 and showed no box.
void expect_quiet_success(const e2e::run_result& r) {
    ASSERT_TRUE(r.started) << narrow(r.start_error);
    EXPECT_TRUE(r.exited) << "killed after the time limit";
    EXPECT_EQ(r.exit_code, 0u);
    for (const e2e::box_seen& b : r.boxes) ADD_FAILURE() << "box: " << narrow(b.text);
}

const e2e::box_seen* only_box(const e2e::run_result& r) {
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0u);
    EXPECT_EQ(r.boxes.size(), 1u);
    if (r.boxes.empty()) return nullptr;
    EXPECT_EQ(r.boxes[0].title, L"Quillmarsh Launcher");
    return &r.boxes[0];
}

bool is_lower_hex64(const std::wstring& s) {
    return std::regex_match(narrow(s), std::regex("[0-9a-f]{64}"));
}

#define REQUIRE_WORLD(w)                                                             \
    do {                                                                             \
        if (e2e::shell_exe().empty()) GTEST_SKIP() << "QUILLMARSH_EXE is not set";   \
        ASSERT_TRUE((w).server_ready()) << "the test server fixture is not running"; \
    } while (0)

// The two records after the tests' release "v2" (sequence 10) installed the second jar.
void expect_records_of_release_v2(const world& w) {
    const std::string key = world::fixture("key-fingerprint");
    EXPECT_EQ(e2e::read_file(w.file(L"release.sequence")).value_or(""),
              "quillmarsh-sequence 1\nkey " + key + "\nsequence 10\n");
    EXPECT_EQ(e2e::read_file(w.file(L"release.verified")).value_or(""),
              "quillmarsh-verified 1\nkey " + key + "\njar " + narrow(kJarV2Digest) + "\njava-archive " +
                  world::fixture("release-java-digest") + "\n");
}

}  // namespace

// ---- Launcher update -------------------------------------------------------------------------------

TEST(sequence, first_run_provisions_java_downloads_the_jar_and_starts_the_client) {
    world w;
    REQUIRE_WORLD(w);
    w.serve_java_archive(kHealthyClient);
    w.serve_jar(kJarV1);

    const e2e::run_result r = w.run();
    expect_quiet_success(r);

    const std::wstring home = w.java17_home();
    const std::vector<std::wstring> log = w.log();
    expect_in_order(
        log, {L"=== Запуск лаунчера ===", L"Каталог лаунчера: " + w.launcher(),
              L"Подготовка встроенной Java 17...", L"Встроенная Java 17 готова.", L"Локальный jar не скачан.",
              L"Первый запуск: лаунчер скачан.", L"Лаунчер обновлён: " + w.jar(),
              L"Буду пробовать Java: " + home, L"Клиент запущен (Java: " + home + L")", L"Клиент запущен."});
    EXPECT_EQ(count_prefix(log, L"ОШИБКА"), 0u);

    EXPECT_EQ(e2e::read_file(w.jar()).value_or(""), kJarV1);
    // The record: the digest and the time, two CR LF lines, nothing else.
    const std::string record = e2e::read_file(w.file(L"last.sha256")).value_or("");
    EXPECT_TRUE(std::regex_match(
        record, std::regex(narrow(kJarV1Digest) +
                           "\r\nlast_check=\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\]\r\n")))
        << record;
    for (const wchar_t* left : {L"QuillmarshLauncher.jar.tmp", L"Java17.new", L"Java17.zip"}) {
        EXPECT_FALSE(e2e::file_exists(w.file(left)) || e2e::dir_exists(w.file(left))) << narrow(left);
    }

    // The client: the exact command line, in the launcher directory, with the device's identity in its
    // environment and its output in java_console.log.
    const std::vector<java_start> clients = java_starts(home, "jar");
    ASSERT_EQ(clients.size(), 1u);
    EXPECT_EQ(clients[0].cmdline, L"\"" + home + L"\\bin\\java.exe\" -jar \"" + w.jar() + L"\"");
    EXPECT_TRUE(e2e::dir_exists(clients[0].cwd) && upper_ascii(clients[0].cwd) == upper_ascii(w.launcher()))
        << narrow(clients[0].cwd);
    EXPECT_TRUE(is_lower_hex64(clients[0].env_value(L"QUILLMARSH_HWID")))
        << narrow(clients[0].env_value(L"QUILLMARSH_HWID"));
    EXPECT_TRUE(is_lower_hex64(clients[0].env_value(L"QUILLMARSH_HWID_SIG")));
    EXPECT_EQ(e2e::read_file(w.file(L"java_console.log")).value_or(""), "client up\r\n");
}

TEST(sequence, a_later_run_with_the_same_jar_keeps_it_and_its_record) {
    world w;
    REQUIRE_WORLD(w);
    w.install_java17(kHealthyClient);
    ASSERT_TRUE(e2e::make_dirs(w.launcher()));
    ASSERT_TRUE(e2e::write_file(w.jar(), kJarV1));
    const std::string record = narrow(kJarV1Digest) + "\r\nlast_check=[2020-01-02 03:04:05]\r\n";
    ASSERT_TRUE(e2e::write_file(w.file(L"last.sha256"), record));
    ASSERT_TRUE(e2e::write_file(w.jar() + L".tmp", "left over from a run the watchdog ended"));
    w.serve_jar(kJarV1);
    // An installed runtime is listed as a candidate but never started while the built-in one works.
    const std::wstring installed = w.make_runtime(w.machine_dir(L"jdk-21"), kHealthyClient);
    e2e::launch l = w.shell();
    l.env.set(L"JAVA_HOME", installed);

    const e2e::run_result r = w.run(l);
    expect_quiet_success(r);

    const std::vector<std::wstring> log = w.log();
    expect_in_order(log, {L"Встроенная Java 17 готова.", L"Локальный jar-файл присутствует.",
                          L"Скачанный jar совпадает с лocalным — обновление не требуется.",
                          L"Буду пробовать Java: " + w.java17_home(), L"Буду пробовать Java: " + installed,
                          L"Клиент запущен (Java: " + w.java17_home() + L")", L"Клиент запущен."});
    EXPECT_TRUE(java_starts(installed, "jar").empty());
    EXPECT_EQ(count_prefix(log, L"Лаунчер обновлён"), 0u);
    EXPECT_EQ(test_server::hits(w.archive_route()), 0u);  // Java 17 was there already
    EXPECT_EQ(test_server::hits(w.jar_route()), 1u);
    EXPECT_FALSE(e2e::file_exists(w.jar() + L".tmp"));
    EXPECT_EQ(e2e::read_file(w.jar()).value_or(""), kJarV1);
    EXPECT_EQ(e2e::read_file(w.file(L"last.sha256")).value_or(""), record);
}

TEST(sequence, a_changed_jar_on_the_server_replaces_the_local_one) {
    world w;
    REQUIRE_WORLD(w);
    w.install_java17(kHealthyClient);
    ASSERT_TRUE(e2e::make_dirs(w.launcher()));
    ASSERT_TRUE(e2e::write_file(w.jar(), kJarV1));
    w.serve_jar(kJarV2);

    const e2e::run_result r = w.run();
    expect_quiet_success(r);

    expect_in_order(w.log(),
                    {L"Локальный jar-файл присутствует.",
                     L"Обнаружено обновление! (Local: " + kJarV1Digest + L", Remote: " + kJarV2Digest + L")",
                     L"Лаунчер обновлён: " + w.jar(), L"Клиент запущен."});
    EXPECT_EQ(e2e::read_file(w.jar()).value_or(""), kJarV2);
    EXPECT_EQ(e2e::read_file(w.file(L"last.sha256")).value_or("").substr(0, 66),
              narrow(kJarV2Digest) + "\r\n");
    EXPECT_FALSE(e2e::file_exists(w.jar() + L".tmp"));
}

TEST(sequence, a_failed_jar_download_with_a_local_jar_starts_that_jar) {
    world w;
    REQUIRE_WORLD(w);
    const std::wstring home = w.install_java17(kHealthyClient);
    ASSERT_TRUE(e2e::make_dirs(w.launcher()));
    ASSERT_TRUE(e2e::write_file(w.jar(), kJarV1));
    test_server::set_route(w.jar_route(), L"status=404");

    const e2e::run_result r = w.run();
    expect_quiet_success(r);

    expect_in_order(w.log(),
                    {L"Локальный jar-файл присутствует.", L"ОШИБКА скачивания: Сервер вернул код 404",
                     L"Локальный файл есть — запускаю его без обновления.", L"Клиент запущен."});
    EXPECT_EQ(e2e::read_file(w.jar()).value_or(""), kJarV1);
    EXPECT_FALSE(e2e::file_exists(w.file(L"last.sha256")));
    EXPECT_EQ(java_starts(home, "jar").size(), 1u);
}

TEST(sequence, a_failed_jar_download_on_a_first_run_ends_with_the_download_reason) {
    struct row {
        const char* name;
        const wchar_t* route;  // the jar's route on the server; none: the download file is held open
        const wchar_t* reason;
        bool exact;  // otherwise `reason` starts the logged reason (the platform's code follows)
    };
    const row rows[] = {
        {"the server has no jar", L"status=404", L"Сервер вернул код 404", true},
        {"the connection breaks mid-body", L"status=200&size=300000&drop_after=20000",
         L"Ошибка приёма данных (код ", false},
        {"the download file is held by another program", nullptr, L"Не удалось создать файл (код 32): ", true},
    };
    for (const row& rr : rows) {
        SCOPED_TRACE(rr.name);
        world w;
        REQUIRE_WORLD(w);
        const std::wstring home = w.install_java17(kHealthyClient);
        const std::wstring tmp = w.jar() + L".tmp";
        kernel_handle holder;
        std::wstring want = rr.reason;
        if (rr.route == nullptr) {
            w.serve_jar(kJarV1);
            ASSERT_TRUE(e2e::make_dirs(w.launcher()));
            holder.reset(CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
            ASSERT_TRUE(holder);
            want += tmp;
        } else {
            test_server::set_route(w.jar_route(), rr.route);
        }

        const e2e::run_result r = w.run();
        const bool held = static_cast<bool>(holder);
        holder.reset();
        const std::vector<std::wstring> log = w.log();
        std::string dump;
        for (const std::wstring& line : log) dump += narrow(line) + "\n";
        SCOPED_TRACE(dump);
        const e2e::box_seen* box = only_box(r);
        ASSERT_NE(box, nullptr);

        ASSERT_EQ(count_prefix(log, L"ОШИБКА скачивания: "), 1u);  // written once, not again as the failure
        std::wstring reason;
        for (const std::wstring& line : log) {
            if (line.rfind(L"ОШИБКА скачивания: ", 0) == 0) reason = line.substr(19);
        }
        if (rr.exact) {
            EXPECT_EQ(reason, want);
        } else {
            EXPECT_EQ(reason.rfind(want, 0), 0u) << narrow(reason);
            EXPECT_EQ(reason.back(), L')');
        }
        EXPECT_EQ(box->text, L"Не удалось скачать лаунчер.\n\n" + reason);
        EXPECT_EQ(count_prefix(log, L"Буду пробовать Java"), 0u);
        EXPECT_TRUE(java_starts(home, "jar").empty());
        EXPECT_FALSE(e2e::file_exists(w.jar()));
        if (!held) {
            EXPECT_FALSE(e2e::file_exists(tmp));  // nothing half-written is left behind
        }
    }
}

TEST(sequence, an_unreadable_local_jar_counts_as_missing_and_is_replaced) {
    world w;
    REQUIRE_WORLD(w);
    w.install_java17(kHealthyClient);
    ASSERT_TRUE(e2e::make_dirs(w.launcher()));
    ASSERT_TRUE(e2e::write_file(w.jar(), kJarV1));
    // The body is held until the test lets it go, so the jar is free again before it is replaced.
    test_server::set_route(w.jar_route(), L"status=200&body=" + test_server::encode(kJarV2.substr(0, 4)) +
                                              L"&hold=1");
    // Held without read sharing, as a scanner might: the shell cannot read it, only the holder can.
    kernel_handle holder{
        CreateFileW(w.jar().c_str(), GENERIC_READ, FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr)};
    ASSERT_TRUE(holder);

    e2e::process p;
    std::wstring error;
    ASSERT_TRUE(p.start(w.shell(), error)) << narrow(error);
    // The local digest is taken before the download starts; once the server sees the request, let go.
    for (int i = 0; i < 6000 && test_server::hits(w.jar_route()) == 0 && p.running(); ++i) Sleep(20);
    holder.reset();
    ASSERT_TRUE(test_server::release(w.jar_route()));
    const e2e::run_result r = p.finish();
    expect_quiet_success(r);

    expect_in_order(w.log(), {L"Локальный jar не скачан.", L"Первый запуск: лаунчер скачан.",
                              L"Лаунчер обновлён: " + w.jar(), L"Клиент запущен."});
    EXPECT_EQ(e2e::read_file(w.jar()).value_or(""), kJarV2.substr(0, 4));
}

TEST(sequence, a_jar_held_open_by_a_running_client_keeps_the_old_jar_and_the_download) {
    world w;
    REQUIRE_WORLD(w);
    const std::wstring home = w.install_java17(kHealthyClient);
    ASSERT_TRUE(e2e::make_dirs(w.launcher()));
    ASSERT_TRUE(e2e::write_file(w.jar(), kJarV1));
    w.serve_jar(kJarV2);
    // A client from an earlier run reads the jar and lets others read it, nothing more.
    kernel_handle holder{
        CreateFileW(w.jar().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)};
    ASSERT_TRUE(holder);

    const e2e::run_result r = w.run();
    // The platform's own answer to the same move, as the oracle for the logged code.
    const BOOL moved = MoveFileExW((w.jar() + L".tmp").c_str(), w.jar().c_str(),
                                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    const DWORD code = GetLastError();
    holder.reset();
    expect_quiet_success(r);
    ASSERT_FALSE(moved);

    const std::vector<std::wstring> log = w.log();
    expect_in_order(
        log, {L"Обнаружено обновление! (Local: " + kJarV1Digest + L", Remote: " + kJarV2Digest + L")",
              L"ОШИБКА: не удалось сохранить скачанный файл (код " + std::to_wstring(code) + L"): " + w.jar(),
              L"Клиент запущен."});
    EXPECT_EQ(count_prefix(log, L"Лаунчер обновлён"), 0u);
    EXPECT_EQ(e2e::read_file(w.jar()).value_or(""), kJarV1);
    EXPECT_EQ(e2e::read_file(w.jar() + L".tmp").value_or(""), kJarV2);
    EXPECT_FALSE(e2e::file_exists(w.file(L"last.sha256")));
    EXPECT_EQ(java_starts(home, "jar").size(), 1u);
}

// ---- Client start ----------------------------------------------------------------------------------

TEST(sequence, a_failing_built_in_runtime_falls_back_to_java_home_and_is_tried_once) {
    world w;
    REQUIRE_WORLD(w);
    const std::wstring builtin = w.install_java17("jar.exit=1\njar.stderr=Error: LinkageError\\r\\n\n");
    const std::wstring installed =
        w.make_runtime(w.machine_dir(L"Program Files\\Java\\jdk-21"), kHealthyClient);
    w.serve_jar(kJarV1);

    e2e::launch l = w.shell();
    l.env.set(L"JAVA_HOME", installed + L"\\");
    // Discovery also finds the built-in runtime, through PATH and in other letter case.
    l.env.set(L"PATH", upper_ascii(builtin) + L"\\BIN;" + l.env.get(L"PATH").value_or(L""));
    const e2e::run_result r = w.run(l);
    expect_quiet_success(r);

    const std::vector<std::wstring> log = w.log();
    EXPECT_EQ(count_prefix(log, L"Буду пробовать Java: "), 2u);
    expect_in_order(
        log, {L"Буду пробовать Java: " + builtin, L"Буду пробовать Java: " + installed,
              L"Клиент не запустился (Java: " + builtin + L"): Клиент завершился сразу после запуска (код 1)",
              L"  Вывод клиента: Error: LinkageError", L"Клиент запущен (Java: " + installed + L")",
              L"Клиент запущен."});
    EXPECT_EQ(java_starts(builtin, "jar").size(), 1u);
    EXPECT_EQ(java_starts(installed, "jar").size(), 1u);
    // The console log holds the output of the last start only.
    EXPECT_EQ(e2e::read_file(w.file(L"java_console.log")).value_or(""), "client up\r\n");
}

TEST(sequence, when_every_runtime_fails_the_box_shows_the_last_attempt) {
    struct row {
        const char* name;
        std::string last_client;
        std::wstring details;  // what the box shows between the error and the log path
        std::wstring error;
    };
    const row rows[] = {
        {"last one with output",
         "jar.exit=3\njar.stdout=Exception in thread \"main\"\\r\\n\\tat Main\\r\\n  \\r\\n\n",
         L"\n\nПодробности:\nException in thread \"main\"\r\n\tat Main",
         L"Клиент завершился сразу после запуска (код 3)"},
        {"last one silent", "jar.exit=0\n", L"", L"Клиент завершился сразу после запуска (код 0)"},
    };
    for (const row& rr : rows) {
        SCOPED_TRACE(rr.name);
        world w;
        REQUIRE_WORLD(w);
        const std::wstring builtin = w.install_java17("jar.exit=1\njar.stderr=first failure\n");
        const std::wstring installed = w.make_runtime(w.machine_dir(L"jre"), rr.last_client);
        w.serve_jar(kJarV1);
        e2e::launch l = w.shell();
        l.env.set(L"JAVA_HOME", installed);

        const e2e::run_result r = w.run(l);
        const e2e::box_seen* box = only_box(r);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->text, L"Не удалось запустить клиент ни на одной Java.\n\n" + rr.error + rr.details +
                                 L"\n\nПодробности в логе: " + w.file(L"launcher.log"));

        const std::vector<std::wstring> log = w.log();
        EXPECT_EQ(count_of(log, L"Клиент запущен."), 0u);
        EXPECT_EQ(count_prefix(log, L"Клиент не запустился (Java: "), 2u);
        EXPECT_EQ(count_prefix(log, L"WATCHDOG"), 0u);
        EXPECT_EQ(java_starts(builtin, "jar").size(), 1u);
        EXPECT_EQ(java_starts(installed, "jar").size(), 1u);
    }
}

// ---- The sequence as a whole ---------------------------------------------------------------------------

TEST(sequence, a_banned_device_ends_before_anything_is_downloaded) {
    world w;
    REQUIRE_WORLD(w);
    w.serve_ban(true);
    w.serve_java_archive(kHealthyClient);
    w.serve_jar(kJarV1);

    const e2e::run_result r = w.run();
    const e2e::box_seen* box = only_box(r);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text,
              L"Ваше железо заблокированно! Обратитесь в службу поддержки если вы считаете что это ошибка!");
    EXPECT_EQ(test_server::hits(w.archive_route()), 0u);
    EXPECT_EQ(test_server::hits(w.jar_route()), 0u);
    EXPECT_FALSE(e2e::file_exists(w.jar()));
}

TEST(sequence, a_server_that_cannot_be_reached_ends_the_run_at_the_device_check) {
    world w;
    REQUIRE_WORLD(w);
    w.install_java17(kHealthyClient);
    ASSERT_TRUE(e2e::make_dirs(w.launcher()));
    ASSERT_TRUE(e2e::write_file(w.jar(), kJarV1));
    e2e::launch l = w.shell();
    l.env.set(L"QUILLMARSH_BASE_URL", L"http://127.0.0.1:9");  // nothing listens there

    const e2e::run_result r = w.run(l);
    const e2e::box_seen* box = only_box(r);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text,
              L"Не удалось проверить устройство.\n\nСервер проверки недоступен. Попробуйте позже.");
    EXPECT_TRUE(java_starts(w.java17_home(), "jar").empty());
}

TEST(sequence, works_for_profile_paths_with_spaces_cyrillic_an_apostrophe_or_great_length) {
    e2e::temp_dir base;
    // The roaming folder (root + "\\AppData\\Roaming") gets 201 characters. Much more cannot work on
    // Windows without long-path support: the staged runtime's java.exe lies 56 characters deeper and
    // a program path must stay below 260.
    std::wstring long_root = base.path + L"\\Long profile";
    while (long_root.size() + 16 < 201) long_root += L"\\segment";
    long_root.resize(201 - 16, L'x');
    if (long_root.back() == L'\\') long_root.back() = L'x';
    const std::wstring roots[] = {
        base.path + L"\\Иван O'Brien Петров",
        long_root,
    };
    for (const std::wstring& root : roots) {
        SCOPED_TRACE(narrow(root));
        world w(root);
        REQUIRE_WORLD(w);
        if (root == long_root) {
            ASSERT_EQ(w.launcher().size(), 201u + 21u);
        }
        w.serve_java_archive(kHealthyClient);
        w.serve_jar(kJarV1);

        const e2e::run_result r = w.run();
        expect_quiet_success(r);

        const std::wstring home = w.java17_home();
        expect_in_order(w.log(), {L"Каталог лаунчера: " + w.launcher(), L"Встроенная Java 17 готова.",
                                  L"Лаунчер обновлён: " + w.jar(), L"Клиент запущен (Java: " + home + L")",
                                  L"Клиент запущен."});
        const std::vector<java_start> clients = java_starts(home, "jar");
        ASSERT_EQ(clients.size(), 1u);
        EXPECT_EQ(clients[0].cmdline, L"\"" + home + L"\\bin\\java.exe\" -jar \"" + w.jar() + L"\"");
        EXPECT_EQ(e2e::read_file(w.file(L"java_console.log")).value_or(""), "client up\r\n");
    }
}

// ---- Signed payloads -------------------------------------------------------------------------------
// The shell built with the test publisher key against the release manifests openssl signed
// (tests/signing).

namespace {

#define REQUIRE_SIGNED_WORLD(w)                                           \
    do {                                                                  \
        REQUIRE_WORLD(w);                                                 \
        if (e2e::own_env(L"QUILLMARSH_SIGNED_EXE").empty()) {             \
            GTEST_SKIP() << "QUILLMARSH_SIGNED_EXE is not set";           \
        }                                                                 \
    } while (0)

}  // namespace

// The signed build goes by the release manifest: the payloads' own ".sig" files are never asked for.
TEST(signed_payloads, a_correctly_signed_update_installs) {
    world w;
    REQUIRE_SIGNED_WORLD(w);
    w.install_java17(kHealthyClient);
    w.record_verified(L"", true);
    ASSERT_TRUE(e2e::write_file(w.jar(), kJarV1));
    w.serve_jar(kJarV2);
    w.serve_release("v2");

    const e2e::run_result r = w.run(w.signed_shell());
    expect_quiet_success(r);

    expect_in_order(w.log(),
                    {L"Файл выпуска принят: номер 10.", L"Локальный jar-файл присутствует.",
                     L"Обнаружено обновление! (Local: " + kJarV1Digest + L", Remote: " + kJarV2Digest + L")",
                     L"Лаунчер обновлён: " + w.jar(), L"Клиент запущен."});
    EXPECT_EQ(e2e::read_file(w.jar()).value_or(""), kJarV2);
    EXPECT_EQ(test_server::hits(w.jar_route() + L".sig"), 0u);
    EXPECT_EQ(test_server::hits(w.archive_route()), 0u);
    expect_records_of_release_v2(w);

    // The next run: the jar is the release's, so it is not even asked for.
    const std::uint64_t jar_hits = test_server::hits(w.jar_route());
    w.end_clients();
    const e2e::run_result again = w.run(w.signed_shell());
    expect_quiet_success(again);
    EXPECT_EQ(test_server::hits(w.jar_route()), jar_hits);
    EXPECT_EQ(count_of(w.log(), L"Локальный jar совпадает с файлом выпуска — обновление не требуется."), 1u);
}

// Second names planted at the records' names and at their temporary names (a hard link stands for any
// link; it needs no privilege): each record is replaced beside the file the name led to, which keeps
// its bytes.
TEST(signed_payloads, records_are_replaced_beside_second_names_planted_at_their_names) {
    world w;
    REQUIRE_SIGNED_WORLD(w);
    w.install_java17(kHealthyClient);
    w.record_verified(L"", true, 5);
    ASSERT_TRUE(e2e::write_file(w.jar(), kJarV1));
    w.serve_jar(kJarV2);
    w.serve_release("v2");
    const std::wstring outside = w.machine_dir(L"outside");
    ASSERT_TRUE(e2e::make_dirs(outside));
    struct planted {
        const wchar_t* name;
        std::string bytes;  // what the file elsewhere holds, before and after the run
    };
    std::vector<planted> names = {
        {L"release.sequence", e2e::read_file(w.file(L"release.sequence")).value_or("")},
        {L"release.verified", e2e::read_file(w.file(L"release.verified")).value_or("")},
        {L"release.sequence.tmp", "someone else's file\n"},
        {L"release.verified.tmp", "someone else's file\n"},
    };
    for (const planted& p : names) {
        SCOPED_TRACE(narrow(p.name));
        ASSERT_FALSE(p.bytes.empty());
        const std::wstring elsewhere = outside + L"\\" + p.name;
        ASSERT_TRUE(e2e::write_file(elsewhere, p.bytes));
        DeleteFileW(w.file(p.name).c_str());
        ASSERT_TRUE(CreateHardLinkW(w.file(p.name).c_str(), elsewhere.c_str(), nullptr));
    }

    const e2e::run_result r = w.run(w.signed_shell());
    expect_quiet_success(r);

    expect_records_of_release_v2(w);
    for (const planted& p : names) {
        SCOPED_TRACE(narrow(p.name));
        EXPECT_EQ(e2e::read_file(outside + L"\\" + p.name).value_or(""), p.bytes);
    }
    EXPECT_FALSE(e2e::file_exists(w.file(L"release.sequence.tmp")));
    EXPECT_FALSE(e2e::file_exists(w.file(L"release.verified.tmp")));
}

// A manifest that cannot be trusted: nothing is downloaded, the jar and Java 17 recorded as verified run
// as they are, with a warning; the log says which check failed.
TEST(signed_payloads, an_untrusted_release_keeps_the_verified_jar_and_starts_it) {
    struct row {
        const char* name;
        std::string release;    // fixture name; "" none served
        std::string signature;  // "" its own, "-" none
        std::wstring reason;
    };
    const row rows[] = {
        {"another file's signature", "v2", "jar-v1.sig", L"подпись файла выпуска неверна"},
        {"no signature on the server", "v2", "-",
         L"не удалось скачать подпись файла выпуска: Сервер вернул код 404"},
        {"no manifest on the server", "", "", L"не удалось скачать файл выпуска: Сервер вернул код 404"},
        {"a lower sequence", "lower", "", L"номер файла выпуска меньше уже принятого (откат)"},
        {"an expired manifest", "expired", "", L"срок действия файла выпуска истёк"},
        {"another product", "other-product", "", L"файл выпуска предназначен для другого продукта"},
    };
    for (const row& rr : rows) {
        SCOPED_TRACE(rr.name);
        world w;
        REQUIRE_SIGNED_WORLD(w);
        const std::wstring home = w.install_java17(kHealthyClient);
        w.record_verified(kJarV1Digest, true, 10);
        ASSERT_TRUE(e2e::write_file(w.jar(), kJarV1));
        w.serve_jar(kJarV2);
        if (!rr.release.empty()) w.serve_release(rr.release, rr.signature);

        const e2e::run_result r = w.run(w.signed_shell());
        expect_quiet_success(r);

        expect_in_order(w.log(), {L"ВНИМАНИЕ: файл выпуска не принят: " + rr.reason + L". Обновления не скачиваются.",
                                  L"ВНИМАНИЕ: использую проверенную ранее Java 17 без обновления.",
                                  L"ВНИМАНИЕ: запускаю проверенный ранее jar без обновления.", L"Клиент запущен."});
        EXPECT_EQ(test_server::hits(w.jar_route()), 0u);
        EXPECT_EQ(test_server::hits(w.archive_route()), 0u);
        EXPECT_EQ(e2e::read_file(w.jar()).value_or(""), kJarV1);
        EXPECT_EQ(java_starts(home, "jar").size(), 1u);
        // The accepted sequence never goes down.
        EXPECT_NE(e2e::read_file(w.file(L"release.sequence")).value_or("").find("\nsequence 10\n"),
                  std::string::npos);
    }
}

// Without a trusted manifest, only what a trusted release installed runs: a jar or Java 17 that a build
// without a key left (no record), or a jar changed since it was recorded, counts as missing.
TEST(signed_payloads, a_first_run_with_an_untrusted_release_ends_with_the_java_or_the_jar_box) {
    struct row {
        const char* name;
        bool java_present;
        bool java_recorded;
        bool jar_present;
        bool jar_recorded;
        bool java_box;
    };
    const row rows[] = {
        {"nothing installed", false, false, false, false, true},
        {"an unsigned build's Java 17 and jar", true, false, true, false, true},
        {"a verified Java 17, no jar", true, true, false, false, false},
        {"a verified Java 17, an unsigned build's jar", true, true, true, false, false},
    };
    const std::wstring reason = L"Файл выпуска не принят: срок действия файла выпуска истёк.";
    for (const row& rr : rows) {
        SCOPED_TRACE(rr.name);
        world w;
        REQUIRE_SIGNED_WORLD(w);
        std::wstring home;
        if (rr.java_present) home = w.install_java17(kHealthyClient);
        w.record_verified(rr.jar_recorded ? kJarV2Digest : L"", rr.java_recorded);
        if (rr.jar_present) {
            ASSERT_TRUE(e2e::write_file(w.jar(), kJarV1));
        }
        w.serve_jar(kJarV1);
        w.serve_release("expired");

        const e2e::run_result r = w.run(w.signed_shell());
        const e2e::box_seen* box = only_box(r);
        ASSERT_NE(box, nullptr);
        if (rr.java_box) {
            EXPECT_EQ(box->text, L"Не удалось скачать и распаковать Java 17.\n\n" + reason +
                                     L"\n\nПроверьте интернет-соединение и перезапустите лаунчер.\n\nПодробности: " +
                                     w.file(L"launcher.log"));
            expect_in_order(w.log(), {L"ОШИБКА: не удалось подготовить Java 17: " + reason});
        } else {
            EXPECT_EQ(box->text, L"Не удалось скачать лаунчер.\n\n" + reason);
            expect_in_order(w.log(), {L"ОШИБКА: нет проверенного jar-файла лаунчера."});
        }
        EXPECT_EQ(test_server::hits(w.jar_route()), 0u);
        EXPECT_EQ(test_server::hits(w.archive_route()), 0u);
        if (!home.empty()) {
            EXPECT_EQ(java_starts(home, "jar").size(), 0u);
        }
    }
}

// A jar whose body is not exactly the release's (one byte longer, or another digest) is never installed.
TEST(signed_payloads, a_jar_that_is_not_the_releases_is_never_installed) {
    struct row {
        const char* name;
        const char* release;
        bool local_jar;
        std::wstring error;
        bool announced = true;  // false: no Content-Length, the body ends when the server closes
    };
    const row rows[] = {
        {"one byte over its size, announced", "short", true,
         L"Размер файла на сервере не совпадает с ожидаемым (56 байт вместо 55)"},
        {"one byte over its size, unannounced: stopped there", "short", true,
         L"Сервер передаёт больше данных, чем ожидалось (55 байт)", false},
        {"another digest, first run", "wrong-digest", false,
         L"скачанный файл не совпадает с файлом выпуска (SHA-256)"},
    };
    for (const row& rr : rows) {
        SCOPED_TRACE(rr.name);
        world w;
        REQUIRE_SIGNED_WORLD(w);
        const std::wstring home = w.install_java17(kHealthyClient);
        w.record_verified(rr.local_jar ? kJarV1Digest : L"", true);
        if (rr.local_jar) {
            ASSERT_TRUE(e2e::write_file(w.jar(), kJarV1));
        }
        test_server::set_route(w.jar_route(), L"status=200&body=" + test_server::encode(kJarV2) +
                                                  (rr.announced ? L"" : L"&length=0"));
        w.serve_release(rr.release);

        const e2e::run_result r = w.run(w.signed_shell());
        expect_in_order(w.log(), {L"Файл выпуска принят: номер 10.", L"ОШИБКА скачивания: " + rr.error});
        EXPECT_FALSE(e2e::file_exists(w.jar() + L".tmp"));
        EXPECT_EQ(count_prefix(w.log(), L"Лаунчер обновлён"), 0u);
        if (rr.local_jar) {
            expect_quiet_success(r);
            EXPECT_EQ(e2e::read_file(w.jar()).value_or(""), kJarV1);
            EXPECT_EQ(java_starts(home, "jar").size(), 1u);
        } else {
            const e2e::box_seen* box = only_box(r);
            ASSERT_NE(box, nullptr);
            EXPECT_EQ(box->text, L"Не удалось скачать лаунчер.\n\n" + rr.error);
            EXPECT_FALSE(e2e::file_exists(w.jar()));
        }
    }
}

// The release's Java archive digest is checked before anything is unpacked; a build without a key never
// asks for the manifest.
TEST(signed_payloads, a_java_archive_that_is_not_the_releases_is_never_unpacked) {
    {
        world plain;
        REQUIRE_SIGNED_WORLD(plain);
        plain.install_java17(kHealthyClient);
        plain.serve_jar(kJarV1);
        plain.serve_release("v1");
        expect_quiet_success(plain.run());
        EXPECT_EQ(test_server::hits(plain.release_route()), 0u);
        EXPECT_EQ(test_server::hits(plain.release_route() + L".sig"), 0u);
    }
    world w;
    REQUIRE_SIGNED_WORLD(w);
    w.serve_java_archive(kHealthyClient);
    w.serve_jar(kJarV1);
    w.serve_release("v1");

    const e2e::run_result r = w.run(w.signed_shell());
    const e2e::box_seen* box = only_box(r);
    ASSERT_NE(box, nullptr);
    EXPECT_NE(box->text.find(L"Не удалось скачать и распаковать Java 17.\n\n"), std::wstring::npos);
    EXPECT_EQ(test_server::hits(w.archive_route() + L".sig"), 0u);
    EXPECT_EQ(test_server::hits(w.jar_route()), 0u);
    for (const wchar_t* left : {L"Java17", L"Java17.new", L"Java17.zip"}) {
        EXPECT_FALSE(e2e::file_exists(w.file(left)) || e2e::dir_exists(w.file(left))) << narrow(left);
    }
    EXPECT_EQ(w.tool_record(L"tar"), "");
}

// ---- The shell's own update ------------------------------------------------------------------------
// A trusted release offers the same signed shell built at 1.0.0.1 (QUILLMARSH_SIGNED_NEXT_EXE, offered by
// signing/release-next.txt). The running exe is a copy in a folder of the test's own.

namespace {

// Waits (bounded) for every process whose image is `exe` to end; false when one is still running.
bool wait_for_image_to_end(const std::wstring& exe, DWORD limit_ms) {
    const kernel_handle snapshot{CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0)};
    if (!snapshot) return false;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    bool all_ended = true;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        const kernel_handle process{
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, entry.th32ProcessID)};
        if (!process) continue;
        std::wstring image(32768, L'\0');
        DWORD size = static_cast<DWORD>(image.size());
        if (!QueryFullProcessImageNameW(process.get(), 0, image.data(), &size)) continue;
        image.resize(size);
        if (upper_ascii(image) != upper_ascii(exe)) continue;
        all_ended = WaitForSingleObject(process.get(), limit_ms) == WAIT_OBJECT_0 && all_ended;
    }
    return all_ended;
}

struct updating_world {
    world w;
    std::wstring app;  // the exe's folder
    std::wstring exe;
    std::wstring home;

    updating_world() {
        if (!w.server_ready() || e2e::own_env(L"QUILLMARSH_SIGNED_NEXT_EXE").empty()) return;
        app = w.machine_dir(L"app");
        exe = app + L"\\QuillmarshLauncher.exe";
        EXPECT_TRUE(CopyFileW(e2e::windows_path(e2e::own_env(L"QUILLMARSH_SIGNED_EXE")).c_str(), exe.c_str(), FALSE));
        home = w.install_java17(kHealthyClient);
        w.record_verified(kJarV2Digest, true);
        EXPECT_TRUE(e2e::write_file(w.jar(), kJarV2));
        w.serve_jar(kJarV2);
        w.serve_release("next");
    }
    bool ready() const { return !exe.empty(); }
    std::wstring shell_route() const { return w.route(builtin_shell_path()); }
    // The exe at the shell's path, sent by its Linux path.
    void serve_new_shell(const std::string& linux_path) const {
        test_server::set_route(shell_route(), L"status=200&file=" + test_server::encode(linux_path));
    }
    e2e::launch launch() const {
        e2e::launch l = w.shell();
        l.exe = exe;
        return l;
    }
};

#define REQUIRE_UPDATING_WORLD(u)                                                     \
    do {                                                                              \
        REQUIRE_SIGNED_WORLD(u.w);                                                    \
        if (!u.ready()) GTEST_SKIP() << "QUILLMARSH_SIGNED_NEXT_EXE is not set";      \
    } while (0)

}  // namespace

TEST(self_update_run, the_new_exe_replaces_the_running_one_and_runs_the_launch_to_the_client) {
    updating_world u;
    REQUIRE_UPDATING_WORLD(u);
    const std::string old_bytes = e2e::read_bytes(u.exe);
    const std::wstring next = e2e::windows_path(e2e::own_env(L"QUILLMARSH_SIGNED_NEXT_EXE"));
    u.serve_new_shell(narrow(e2e::own_env(L"QUILLMARSH_SIGNED_NEXT_EXE")));

    const e2e::run_result r = u.w.run(u.launch());
    // The old process ends with 0 and shows nothing; the new one goes on by itself.
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0u);
    EXPECT_TRUE(r.boxes.empty());
    ASSERT_TRUE(wait_for_image_to_end(u.exe, 120000));

    EXPECT_EQ(e2e::read_bytes(u.exe), e2e::read_bytes(next));
    // The restarted exe may already have deleted the old one (its own start deletes what is left); while
    // it is there, it is the exe that ran before.
    if (e2e::file_exists(u.exe + L".old")) {
        EXPECT_EQ(e2e::read_bytes(u.exe + L".old"), old_bytes);
    }
    EXPECT_FALSE(e2e::file_exists(u.exe + L".new"));
    const std::vector<std::wstring> log = u.w.log();
    expect_in_order(log, {L"Файл выпуска принят: номер 20.", L"Лаунчер обновлён до версии 1.0.0.1 — перезапуск.",
                          L"=== Запуск лаунчера ===", L"Файл выпуска принят: номер 20.", L"Клиент запущен."});
    // The first process sent no request past the manifest and the exe; the client started once.
    EXPECT_EQ(test_server::hits(u.w.jar_route()), 0u);
    EXPECT_EQ(java_starts(u.home, "jar").size(), 1u);
    EXPECT_EQ(test_server::hits(u.shell_route()), 1u);

    // By the next run at the latest the old exe is gone, deleted once; at the offered version already,
    // nothing is installed.
    u.w.end_clients();
    const e2e::run_result again = u.w.run(u.launch());
    expect_quiet_success(again);
    EXPECT_FALSE(e2e::file_exists(u.exe + L".old"));
    EXPECT_EQ(count_of(u.w.log(), L"Удалена прежняя версия лаунчера: " + u.exe + L".old"), 1u);
    EXPECT_EQ(test_server::hits(u.shell_route()), 1u);
}

// What must not be installed is not; the run goes on with the running exe to the client.
// (A folder the player cannot write is made so on the Linux side: tests/scripts/test_self_update_folder.sh.)
TEST(self_update_run, a_shell_that_cannot_be_installed_leaves_the_running_one_and_the_run_goes_on) {
    struct row {
        const char* name;
        const char* release;
        const char* offered;  // relative to the test binaries: the exe served at the shell's path
        std::wstring logged;     // the line's start
    };
    const row rows[] = {
        // The running exe's own bytes, offered as 1.0.0.1: its version record says 1.0.0.0.
        {"a version record that is not the offered version", "mismatch", "signed/QuillmarshLauncher.exe",
         L"ОШИБКА обновления лаунчера: "},
        // The newer shell's stand-in at 1.1.0.0, told to fail its self-test.
        {"a new exe that fails its self-test", "selftest", "doubles/new_shell/new_shell.exe",
         L"ОШИБКА обновления лаунчера: "},
    };
    for (const row& rr : rows) {
        SCOPED_TRACE(rr.name);
        updating_world u;
        REQUIRE_UPDATING_WORLD(u);
        const std::string old_bytes = e2e::read_bytes(u.exe);
        u.w.serve_release(rr.release);
        u.serve_new_shell(narrow(e2e::own_env(L"QUILLMARSH_TEST_BIN")) + "/" + rr.offered);
        e2e::launch l = u.launch();
        l.env.set(L"QUILLMARSH_DOUBLE_SELF_TEST", L"fail");
        const e2e::run_result r = u.w.run(l);
        expect_quiet_success(r);
        EXPECT_EQ(e2e::read_bytes(u.exe), old_bytes);
        EXPECT_FALSE(e2e::file_exists(u.exe + L".new"));
        EXPECT_FALSE(e2e::file_exists(u.exe + L".old"));
        const std::vector<std::wstring> log = u.w.log();
        EXPECT_EQ(count_prefix(log, L"Лаунчер обновлён до версии"), 0u);
        EXPECT_EQ(count_prefix(log, rr.logged), 1u);
        EXPECT_EQ(java_starts(u.home, "jar").size(), 1u);
    }
}

// ---- Failure reports of the later stages -------------------------------------------------------------

// The build with failure reports, at the jar's and the client's boxes: one report each, with the box's
// own code (the Java 17 and device boxes are in failure_report_test.cpp). The box stays open until the
// server has the report, so a slow start of the sending thread cannot cut it short.
TEST(sequence, with_failure_reports_the_jar_and_client_boxes_send_their_own_codes) {
    const std::wstring reports_exe = e2e::own_env(L"QUILLMARSH_REPORTS_EXE");
    ASSERT_FALSE(reports_exe.empty()) << "QUILLMARSH_REPORTS_EXE is not set";
    struct row {
        const char* name;
        bool jar_served;  // otherwise the jar's route answers 404 and there is no local jar
        std::string client;
        const wchar_t* box_start;
        const char* code;
    };
    const row rows[] = {
        {"the jar cannot be downloaded", false, kHealthyClient, L"Не удалось скачать лаунчер.\n\n",
         "launcher_download_failed"},
        {"every runtime fails", true, "jar.exit=1\njar.stderr=failure\n",
         L"Не удалось запустить клиент ни на одной Java.\n\n", "client_start_failed"},
    };
    for (const row& rr : rows) {
        SCOPED_TRACE(rr.name);
        world w;
        REQUIRE_WORLD(w);
        w.install_java17(rr.client);
        if (rr.jar_served) {
            w.serve_jar(kJarV1);
        } else {
            test_server::set_route(w.jar_route(), L"status=404");
        }
        const std::wstring report_route = w.route(L"/launcher/report.php");
        test_server::set_body(report_route, R"({"stored":true})");
        e2e::launch l = w.shell();
        l.exe = e2e::windows_path(reports_exe);
        e2e::watch_options options = e2e::time_limit(120000);
        options.poll_ms = 100;
        options.on_box = [&report_route](const e2e::box_seen&) { return test_server::hits(report_route) >= 1; };

        const e2e::run_result r = e2e::run(l, options);
        const e2e::box_seen* box = only_box(r);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->text.rfind(rr.box_start, 0), 0u) << narrow(box->text);
        const std::vector<test_server::post_seen> posts = test_server::posts(report_route);
        ASSERT_EQ(posts.size(), 1u);
        EXPECT_NE(posts[0].body.find(std::string("\"code\":\"") + rr.code + "\""), std::string::npos)
            << posts[0].body;
    }
}
