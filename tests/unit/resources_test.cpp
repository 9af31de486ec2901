// The program's resources read back from the built QuillmarshLauncher.exe (QUILLMARSH_EXE): the icon
// group, the version record and the application manifest, as Windows itself will read them.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>

#include "tests/e2e/driver.h"

namespace {

constexpr WORD kLanguage = 0x0409;

#pragma pack(push, 2)
struct group_icon_header {
    WORD reserved;
    WORD type;
    WORD count;
};
struct group_icon_entry {
    BYTE width;
    BYTE height;
    BYTE colours;
    BYTE reserved;
    WORD planes;
    WORD bit_count;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

class program_resources : public testing::Test {
protected:
    void SetUp() override {
        exe = e2e::shell_exe();
        ASSERT_FALSE(exe.empty()) << "QUILLMARSH_EXE is not set";
        module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module, nullptr) << GetLastError();
    }
    void TearDown() override {
        if (module != nullptr) FreeLibrary(module);
    }
    // The bytes of one resource in language 0x0409; empty when there is none.
    std::string resource(const wchar_t* type, const wchar_t* name) const {
        HRSRC found = FindResourceExW(module, type, name, kLanguage);
        if (found == nullptr) return {};
        HGLOBAL loaded = LoadResource(module, found);
        const void* data = loaded ? LockResource(loaded) : nullptr;
        if (data == nullptr) return {};
        return std::string(static_cast<const char*>(data), SizeofResource(module, found));
    }
    std::wstring exe;
    HMODULE module = nullptr;
};

std::uint32_t be32(const std::string& s, std::size_t at) {
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(s[at])) << 24) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 1])) << 16) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 2])) << 8) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 3]));
}

TEST_F(program_resources, icon_group_101_has_seven_32_bit_images) {
    const std::string group = resource(RT_GROUP_ICON, MAKEINTRESOURCEW(101));
    ASSERT_GE(group.size(), sizeof(group_icon_header));
    group_icon_header header{};
    std::memcpy(&header, group.data(), sizeof header);
    EXPECT_EQ(header.type, 1);
    ASSERT_EQ(header.count, 7);
    ASSERT_EQ(group.size(), sizeof header + 7 * sizeof(group_icon_entry));

    const int sizes[] = {16, 24, 32, 48, 64, 128, 256};
    for (int i = 0; i < 7; ++i) {
        SCOPED_TRACE(sizes[i]);
        group_icon_entry e{};
        std::memcpy(&e, group.data() + sizeof header + i * sizeof e, sizeof e);
        EXPECT_EQ(e.width == 0 ? 256 : e.width, sizes[i]);  // 0 stands for 256
        EXPECT_EQ(e.height == 0 ? 256 : e.height, sizes[i]);
        EXPECT_EQ(e.bit_count, 32);
        EXPECT_EQ(e.planes, 1);

        // The image itself: a 32-bit DIB (height doubled for the mask) or a PNG with 8-bit RGBA.
        const std::string image = resource(RT_ICON, MAKEINTRESOURCEW(e.id));
        ASSERT_EQ(image.size(), e.bytes);
        if (image.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0) {
            ASSERT_GE(image.size(), 33u);
            EXPECT_EQ(image.substr(12, 4), "IHDR");
            EXPECT_EQ(be32(image, 16), static_cast<std::uint32_t>(sizes[i]));
            EXPECT_EQ(be32(image, 20), static_cast<std::uint32_t>(sizes[i]));
            EXPECT_EQ(image[24], 8);  // bits per channel
            EXPECT_EQ(image[25], 6);  // RGBA
        } else {
            BITMAPINFOHEADER bih{};
            ASSERT_GE(image.size(), sizeof bih);
            std::memcpy(&bih, image.data(), sizeof bih);
            EXPECT_EQ(bih.biSize, sizeof bih);
            EXPECT_EQ(bih.biWidth, sizes[i]);
            EXPECT_EQ(bih.biHeight, 2 * sizes[i]);
            EXPECT_EQ(bih.biBitCount, 32);
        }
    }
    // Windows picks images from the group for the class icons.
    HICON big = static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(101), IMAGE_ICON, 48, 48, 0));
    EXPECT_NE(big, nullptr);
    if (big) DestroyIcon(big);
}

TEST_F(program_resources, version_record_has_every_string_and_1_0_0_0) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, size, block.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0u);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                               &length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(translation[0], 0x0409);
    EXPECT_EQ(translation[1], 1200);

    const std::pair<const wchar_t*, const wchar_t*> strings[] = {
        {L"CompanyName", L"Quillmarsh"},
        {L"FileDescription", L"Quillmarsh Launcher Shell"},
        {L"FileVersion", L"1.0.0.0"},
        {L"InternalName", L"QuillmarshLauncher"},
        {L"OriginalFilename", L"QuillmarshLauncher.exe"},
        {L"ProductName", L"Quillmarsh Launcher"},
        {L"ProductVersion", L"1.0.0.0"},
    };
    for (const auto& [name, want] : strings) {
        SCOPED_TRACE(e2e::narrow(name));
        wchar_t* value = nullptr;
        const std::wstring path = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
        ASSERT_TRUE(VerQueryValueW(block.data(), path.c_str(), reinterpret_cast<void**>(&value), &length));
        EXPECT_EQ(std::wstring(value), want);
    }
    EXPECT_FALSE(resource(RT_VERSION, MAKEINTRESOURCEW(1)).empty()) << "the record is in language 0x0409";
}

// The attribute `name` of the first element that matches `element` ("" when absent).
std::string attribute(const std::string& xml, const std::string& element, const std::string& name) {
    std::smatch m;
    if (!std::regex_search(xml, m, std::regex("<" + element + R"(\b[^>]*>)"))) return {};
    const std::string tag = m.str(0);
    if (!std::regex_search(tag, m, std::regex("\\s" + name + R"(\s*=\s*"([^"]*)\")"))) return {};
    return m.str(1);
}

std::string element_text(const std::string& xml, const std::string& element) {
    std::smatch m;
    if (!std::regex_search(xml, m, std::regex("<" + element + R"(\b[^>]*>([^<]*)</)" + element + ">"))) return {};
    return m.str(1);
}

TEST_F(program_resources, manifest_declares_identity_controls_level_dpi_and_long_paths) {
    const std::string xml = resource(RT_MANIFEST, MAKEINTRESOURCEW(1));
    ASSERT_FALSE(xml.empty());
    // The program's own identity is the first assemblyIdentity; the common controls one is inside
    // dependentAssembly.
    EXPECT_EQ(attribute(xml, "assemblyIdentity", "name"), "QuillmarshLauncher.Shell");
    EXPECT_EQ(attribute(xml, "assemblyIdentity", "version"), "1.0.0.0");
    EXPECT_EQ(attribute(xml, "assemblyIdentity", "processorArchitecture"), "*");
    EXPECT_EQ(attribute(xml, "assemblyIdentity", "type"), "win32");
    EXPECT_EQ(element_text(xml, "description"), "Quillmarsh Launcher Shell");

    const std::size_t dep = xml.find("<dependentAssembly");
    ASSERT_NE(dep, std::string::npos);
    const std::string dependency = xml.substr(dep);
    EXPECT_EQ(attribute(dependency, "assemblyIdentity", "name"), "Microsoft.Windows.Common-Controls");
    EXPECT_EQ(attribute(dependency, "assemblyIdentity", "version"), "6.0.0.0");
    EXPECT_EQ(attribute(dependency, "assemblyIdentity", "type"), "win32");

    EXPECT_EQ(attribute(xml, "requestedExecutionLevel", "level"), "asInvoker");
    EXPECT_EQ(attribute(xml, "requestedExecutionLevel", "uiAccess"), "false");
    EXPECT_EQ(element_text(xml, "dpiAware"), "true/PM");
    EXPECT_EQ(element_text(xml, "dpiAwareness"), "PerMonitorV2,PerMonitor");
    EXPECT_EQ(element_text(xml, "longPathAware"), "true");
}

}  // namespace
