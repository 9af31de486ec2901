// The tar.exe and powershell.exe doubles themselves: they must unpack what the provisioning tests
// serve, fail on demand, and read PowerShell quoting the way PowerShell does.
#include <gtest/gtest.h>

#include "java_test_support.h"

using namespace java_test;

namespace {

// A zip made by Python's zipfile with deflate: "jdk/" (directory), "jdk/release" (a fixed-Huffman
// block) and "jdk/lines.txt" (a dynamic-Huffman block, 60 numbered lines).
const char kDeflateZip[] =
    "\x50\x4b\x03\x04\x14\x00\x00\x00\x08\x00\xac\xb2\x88\x5d\x00\x00\x00\x00\x02\x00\x00\x00\x00\x00\x00\x00\x04\x00"
    "\x00\x00\x6a\x64\x6b\x2f\x03\x00\x50\x4b\x03\x04\x14\x00\x00\x00\x08\x00\xac\xb2\x88\x5d\x72\x6a\x02\xa6\x18\x00"
    "\x00\x00\x16\x00\x00\x00\x0b\x00\x00\x00\x6a\x64\x6b\x2f\x72\x65\x6c\x65\x61\x73\x65\xf3\x72\x0c\x73\x8c\x0f\x73"
    "\x0d\x0a\xf6\xf4\xf7\xb3\x55\x32\x34\xd7\x33\xd0\x33\x52\xe2\x02\x00\x50\x4b\x03\x04\x14\x00\x00\x00\x08\x00\xac"
    "\xb2\x88\x5d\xa9\x4d\x10\xc3\xce\x00\x00\x00\x62\x0c\x00\x00\x0d\x00\x00\x00\x6a\x64\x6b\x2f\x6c\x69\x6e\x65\x73"
    "\x2e\x74\x78\x74\x9d\xd6\xc7\x11\xc2\x40\x0c\x40\xd1\x3b\x55\xa8\x04\x94\x48\xdd\x10\x16\x30\x18\x2f\x18\x4c\xaa"
    "\x9e\x81\x0e\xf8\x67\xcd\x3f\xe9\xcd\xae\xda\xa6\x2b\x32\x5e\xc8\x6d\x5f\xe4\x32\x34\xeb\xa3\xac\xfa\xfa\xe8\x64"
    "\x5b\x9f\x72\x18\x4e\xe7\xab\xd4\x7b\xe9\x7f\xe3\x76\xf9\x7e\xc9\xa6\xee\x46\xed\xb7\x51\xd0\x18\x68\x1c\x34\x01"
    "\x9a\x04\xcd\x04\x34\x53\xd0\xcc\x40\x33\x27\x3b\x45\x10\x88\x04\x25\x14\x94\x58\x50\x82\x41\x89\x06\x25\x1c\x94"
    "\x78\x50\x02\x42\x89\x08\x23\x22\x0c\xbd\x0d\x44\x84\x11\x11\x46\x44\x18\x11\x61\x44\x84\x11\x11\x46\x44\x18\x11"
    "\xe1\x44\x84\x13\x11\x8e\xbe\x0b\x22\xc2\x89\x08\x27\x22\x9c\x88\x70\x22\xc2\x89\x08\x27\x22\x82\x88\x08\x22\x22"
    "\x88\x88\x40\x17\x04\x11\x11\x44\x44\x10\x11\x41\x44\x04\x11\x11\x44\x44\x12\x11\x49\x44\x24\x11\x91\x44\x44\xa2"
    "\xa3\x92\x88\x48\x22\x22\x89\x88\x24\x22\xf2\x4f\x11\x1f\x50\x4b\x01\x02\x14\x03\x14\x00\x00\x00\x08\x00\xac\xb2"
    "\x88\x5d\x00\x00\x00\x00\x02\x00\x00\x00\x00\x00\x00\x00\x04\x00\x00\x00\x00\x00\x00\x00\x00\x00\x10\x00\xfd\x41"
    "\x00\x00\x00\x00\x6a\x64\x6b\x2f\x50\x4b\x01\x02\x14\x03\x14\x00\x00\x00\x08\x00\xac\xb2\x88\x5d\x72\x6a\x02\xa6"
    "\x18\x00\x00\x00\x16\x00\x00\x00\x0b\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x80\x01\x24\x00\x00\x00\x6a\x64"
    "\x6b\x2f\x72\x65\x6c\x65\x61\x73\x65\x50\x4b\x01\x02\x14\x03\x14\x00\x00\x00\x08\x00\xac\xb2\x88\x5d\xa9\x4d\x10"
    "\xc3\xce\x00\x00\x00\x62\x0c\x00\x00\x0d\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x80\x01\x65\x00\x00\x00\x6a"
    "\x64\x6b\x2f\x6c\x69\x6e\x65\x73\x2e\x74\x78\x74\x50\x4b\x05\x06\x00\x00\x00\x00\x03\x00\x03\x00\xa6\x00\x00\x00"
    "\x5e\x01\x00\x00\x00\x00";

std::string numbered_lines() {
    std::string text;
    for (int i = 0; i < 60; ++i) {
        text += "line " + std::to_string(i) + ": the quick brown fox jumps over the lazy dog\n";
    }
    return text;
}

// Runs a double's copy and returns its exit code (or -1 when it could not run).
long long run(std::wstring command_line) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &info)) {
        return -1;
    }
    const process_handles child(info);
    WaitForSingleObject(child.process.get(), 60000);
    DWORD code = 0;
    GetExitCodeProcess(child.process.get(), &code);
    return code;
}

struct tools {
    temp_dir temp{L"doubles"};
    std::wstring tar = temp.path + L"\\tools\\tar.exe";
    std::wstring powershell = temp.path + L"\\tools\\powershell.exe";
    tools() {
        make_dirs(temp.path + L"\\tools");
        CopyFileW(double_path(L"tar").c_str(), tar.c_str(), FALSE);
        CopyFileW(double_path(L"powershell").c_str(), powershell.c_str(), FALSE);
    }
};

}  // namespace

TEST(java_test_doubles, zip_writer_checksum_matches_the_published_vector) {
    EXPECT_EQ(crc32("123456789"), 0xCBF43926u);
    EXPECT_EQ(crc32(""), 0u);
}

TEST(java_test_doubles, tar_unpacks_stored_and_deflate_archives) {
    tools t;
    const std::string stored = make_zip({{"jdk-17/", ""},
                                         {"jdk-17/bin/java.exe", std::string(70000, 'j')},
                                         {"jdk-17/conf/empty.txt", ""},
                                         {"jdk-17/legal/\xc3\xa9t\xc3\xa9.txt", "utf-8 name"}});
    write_file(t.temp.path + L"\\stored.zip", stored);
    write_file(t.temp.path + L"\\deflate.zip", std::string(kDeflateZip, sizeof kDeflateZip - 1));
    make_dirs(t.temp.path + L"\\out");

    EXPECT_EQ(run(L"\"" + t.tar + L"\" -xf \"" + t.temp.path + L"\\stored.zip\" -C \"" + t.temp.path + L"\\out\""), 0);
    EXPECT_EQ(read_file(t.temp.path + L"\\out\\jdk-17\\bin\\java.exe"), std::string(70000, 'j'));
    EXPECT_TRUE(exists(t.temp.path + L"\\out\\jdk-17\\conf\\empty.txt"));
    EXPECT_EQ(read_file(t.temp.path + L"\\out\\jdk-17\\legal\\" + from_utf8("\xc3\xa9t\xc3\xa9") + L".txt"),
              "utf-8 name");

    EXPECT_EQ(run(L"\"" + t.tar + L"\" -xf \"" + t.temp.path + L"\\deflate.zip\" -C \"" + t.temp.path + L"\\out\""), 0);
    EXPECT_EQ(read_file(t.temp.path + L"\\out\\jdk\\release"), "JAVA_VERSION=\"17.0.2\"\n");
    EXPECT_EQ(read_file(t.temp.path + L"\\out\\jdk\\lines.txt"), numbered_lines());
}

TEST(java_test_doubles, tar_refuses_what_the_real_one_refuses_and_fails_on_demand) {
    tools t;
    write_file(t.temp.path + L"\\climb.zip", make_zip({{"../escaped.txt", "x"}}));
    std::string damaged = make_zip({{"a.txt", "payload"}});
    damaged[damaged.find("payload")] = 'P';  // the checksum no longer matches
    write_file(t.temp.path + L"\\damaged.zip", damaged);
    write_file(t.temp.path + L"\\good.zip", make_zip({{"a.txt", "payload"}}));
    make_dirs(t.temp.path + L"\\out");
    const auto tar_line = [&](const wchar_t* archive, const wchar_t* dir) {
        return L"\"" + t.tar + L"\" -xf \"" + t.temp.path + L"\\" + archive + L"\" -C \"" + t.temp.path + L"\\" + dir +
               L"\"";
    };
    EXPECT_EQ(run(tar_line(L"climb.zip", L"out")), 1);
    EXPECT_FALSE(exists(t.temp.path + L"\\escaped.txt"));
    EXPECT_EQ(run(tar_line(L"damaged.zip", L"out")), 1);
    EXPECT_EQ(run(tar_line(L"missing.zip", L"out")), 1);
    EXPECT_EQ(run(tar_line(L"good.zip", L"no_such_dir")), 1);  // -C needs an existing directory

    write_file(t.temp.path + L"\\tools\\tar_double.ini", "exit=3\n");
    EXPECT_EQ(run(tar_line(L"good.zip", L"out")), 3);
    EXPECT_FALSE(exists(t.temp.path + L"\\out\\a.txt"));
    DeleteFileW((t.temp.path + L"\\tools\\tar_double.ini").c_str());
    EXPECT_EQ(run(tar_line(L"good.zip", L"out")), 0);
    EXPECT_EQ(read_file(t.temp.path + L"\\out\\a.txt"), "payload");
}

TEST(java_test_doubles, powershell_reads_single_quoted_literals_as_powershell_does) {
    tools t;
    const std::wstring dir = t.temp.path + L"\\O'Brien \x2019s";
    write_file(dir + L"\\Java17.zip", make_zip({{"jdk/bin/java.exe", "x"}}));
    const std::wstring escaped_dir = t.temp.path + L"\\O''Brien \x2019\x2019s";
    const auto line = [&](const std::wstring& archive_dir, const std::wstring& dest) {
        return L"\"" + t.powershell + L"\" -NoProfile -Command \"Expand-Archive -LiteralPath '" + archive_dir +
               L"\\Java17.zip' -DestinationPath '" + dest + L"' -Force\"";
    };
    EXPECT_EQ(run(line(dir, dir + L"\\out")), 1);  // quotes not doubled: a parse error
    EXPECT_FALSE(exists(dir + L"\\out"));
    EXPECT_EQ(run(line(escaped_dir, escaped_dir + L"\\new")), 0);
    EXPECT_EQ(read_file(dir + L"\\new\\jdk\\bin\\java.exe"), "x");  // the destination is created

    write_file(t.temp.path + L"\\tools\\powershell_double.ini", "exit=5\n");
    EXPECT_EQ(run(line(escaped_dir, escaped_dir + L"\\other")), 5);
    EXPECT_FALSE(exists(dir + L"\\other"));
}
