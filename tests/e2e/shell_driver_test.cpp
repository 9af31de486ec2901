// The driver itself: the started program sees exactly the environment block and working directory
// the test gave it, nothing inherited from the driver.
#include <gtest/gtest.h>

#include "tests/e2e/driver.h"

namespace {

TEST(e2e_driver, child_gets_exactly_the_given_environment_and_folder) {
    e2e::temp_dir dir;
    // Something in the driver's own environment that must not leak into the child.
    SetEnvironmentVariableW(L"QUILLMARSH_DRIVER_ONLY", L"leak");
    e2e::launch l;
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    l.exe = std::wstring(system) + L"\\cmd.exe";
    l.arguments = L"/c set > env.txt & cd >> env.txt";
    l.working_dir = dir.path;
    l.env.set(L"TEMP", dir.path);
    l.env.set(L"JAVA_HOME", L"C:\\Нет\\Java");
    l.env.set(L"Quillmarsh_Base_Url", L"http://127.0.0.1:9/");
    l.env.unset(L"PATH");
    const e2e::run_result r = e2e::run(l, e2e::time_limit(30000));
    SetEnvironmentVariableW(L"QUILLMARSH_DRIVER_ONLY", nullptr);
    ASSERT_TRUE(r.started) << e2e::narrow(r.start_error);
    ASSERT_TRUE(r.exited);

    const std::optional<std::string> bytes = e2e::read_file(dir.path + L"\\env.txt");
    ASSERT_TRUE(bytes.has_value());
    // cmd writes in the console's ANSI code page; compare only ASCII-safe facts plus the folder.
    const std::string& out = *bytes;
    EXPECT_NE(out.find("Quillmarsh_Base_Url=http://127.0.0.1:9/\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find("JAVA_HOME=C:\\"), std::string::npos);
    EXPECT_EQ(out.find("QUILLMARSH_DRIVER_ONLY"), std::string::npos);
    EXPECT_EQ(out.find("\nPATH="), std::string::npos) << "PATH was removed";
    EXPECT_EQ(out.find("QUILLMARSH_EXE"), std::string::npos);
    EXPECT_NE(out.find(e2e::narrow(dir.path) + "\r\n"), std::string::npos) << "working directory";
}

}  // namespace
