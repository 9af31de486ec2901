#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "net/net.h"
#include "base/handle.h"

namespace {

std::string hex(const sha256_digest& d) {
    const std::wstring w = hex_lower(d);
    return std::string(w.begin(), w.end());
}

std::string from_hex(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        out.push_back(static_cast<char>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

// A private directory under %TEMP%, removed with its files at the end of the test.
struct temp_dir {
    std::wstring path;
    temp_dir() {
        wchar_t base[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH + 1, base);
        path = std::wstring(base) + L"qm_digest_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
               std::to_wstring(GetTickCount64());
        CreateDirectoryW(path.c_str(), nullptr);
    }
    ~temp_dir() {
        WIN32_FIND_DATAW found{};
        find_handle search{FindFirstFileW((path + L"\\*").c_str(), &found)};
        if (search) {
            do {
                const std::wstring name = found.cFileName;
                if (name != L"." && name != L"..") DeleteFileW((path + L"\\" + name).c_str());
            } while (FindNextFileW(search.get(), &found));
        }
        search.reset();
        RemoveDirectoryW(path.c_str());
    }
    std::wstring file(const std::wstring& name, const std::string& bytes) const {
        const std::wstring p = path + L"\\" + name;
        kernel_handle h{CreateFileW(p.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                    nullptr)};
        DWORD written = 0;
        if (!bytes.empty()) WriteFile(h.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        return p;
    }
};

struct vector_row {
    std::string message;
    const char* digest;
};

// FIPS 180-4 examples (and the customary million "a").
const vector_row fips_rows[] = {
    {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
};

}  // namespace

TEST(sha256_bytes, matches_the_published_vectors) {
    for (const vector_row& r : fips_rows) {
        SCOPED_TRACE(r.message.substr(0, 60));
        EXPECT_EQ(hex(sha256_bytes(r.message)), r.digest);
    }
}

TEST(sha256_stream, pieces_of_any_size_give_the_published_digest) {
    for (const vector_row& r : fips_rows) {
        SCOPED_TRACE(r.message.substr(0, 60));
        // Whole, byte by byte for short messages, and in 65536-byte pieces with an empty piece between.
        std::vector<std::vector<std::size_t>> splits = {{r.message.size()}};
        if (r.message.size() <= 64) splits.push_back(std::vector<std::size_t>(r.message.size(), 1));
        splits.push_back({0, 65536, 0, 65536});
        for (const std::vector<std::size_t>& split : splits) {
            sha256_stream stream = sha256_start();
            ASSERT_TRUE(stream.ok);
            std::size_t at = 0;
            for (std::size_t i = 0; at < r.message.size(); ++i) {
                const std::size_t piece = split[i % split.size()];
                sha256_add(stream, std::string_view(r.message).substr(at, piece));
                at += piece;
            }
            const std::optional<sha256_digest> digest = sha256_finish(stream);
            ASSERT_TRUE(digest.has_value());
            EXPECT_EQ(hex(*digest), r.digest);
            // A finished stream gives nothing more: a second digest would be of a hash that BCrypt reset.
            EXPECT_FALSE(sha256_finish(stream).has_value());
        }
    }
}

TEST(sha256_file, matches_the_published_vectors) {
    temp_dir dir;
    for (const vector_row& r : fips_rows) {
        SCOPED_TRACE(r.message.substr(0, 60));
        const std::wstring path = dir.file(L"v.bin", r.message);
        const std::optional<sha256_digest> digest = sha256_file(path);
        ASSERT_TRUE(digest.has_value());
        EXPECT_EQ(hex(*digest), r.digest);
        const std::optional<std::wstring> text = sha256_file_hex(path);
        ASSERT_TRUE(text.has_value());
        EXPECT_EQ(std::string(text->begin(), text->end()), r.digest);
    }
}

TEST(sha256_file, hashes_across_the_one_mebibyte_reads) {
    // Digests from Python's hashlib of bytes (i * 31 + 7) mod 256.
    struct row {
        std::size_t size;
        const char* digest;
    };
    const row rows[] = {
        {1048576, "06b7bbfb7824aa03382051691630eb26de85102d1b08a81e907ec0744cd8a286"},
        {2 * 1048576 + 1, "41d36aaca583e294d431086ba5707955df563033d262bc53059ef8731ef50db1"},
    };
    temp_dir dir;
    for (const row& r : rows) {
        SCOPED_TRACE(r.size);
        std::string bytes(r.size, '\0');
        for (std::size_t i = 0; i < r.size; ++i) bytes[i] = static_cast<char>((i * 31 + 7) & 0xFF);
        const std::optional<std::wstring> text = sha256_file_hex(dir.file(L"big.bin", bytes));
        ASSERT_TRUE(text.has_value());
        EXPECT_EQ(std::string(text->begin(), text->end()), r.digest);
    }
}

TEST(sha256_file, gives_nothing_for_a_missing_file_or_one_open_for_writing) {
    temp_dir dir;
    EXPECT_FALSE(sha256_file(dir.path + L"\\missing.bin").has_value());
    EXPECT_FALSE(sha256_file_hex(dir.path + L"\\missing.bin").has_value());

    const std::wstring path = dir.file(L"busy.bin", "abc");
    {
        kernel_handle writer{CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
        ASSERT_TRUE(writer);
        EXPECT_FALSE(sha256_file(path).has_value());
    }
    EXPECT_TRUE(sha256_file(path).has_value());  // the same file once the writer has closed it
}

TEST(sha256_file, a_read_error_gives_nothing_rather_than_a_partial_digest) {
    // Wine does not enforce byte-range locks on reads, so the failing read comes from a named pipe
    // whose writer goes away after three bytes: the first read delivers "abc", the next one fails
    // with ERROR_BROKEN_PIPE. A digest of "abc" here would be a partial file reported as whole.
    const std::wstring name = L"\\\\.\\pipe\\qm_digest_" + std::to_wstring(GetCurrentProcessId());
    kernel_handle server{CreateNamedPipeW(name.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096,
                                          4096, 0, nullptr)};
    ASSERT_TRUE(server);
    bool delivered = false;
    std::thread writer([&server, &delivered] {
        ConnectNamedPipe(server.get(), nullptr);  // fails with ERROR_PIPE_CONNECTED when the reader came first
        DWORD written = 0;
        // Flushing waits until the reader has taken the bytes; it fails if the reader closed first.
        delivered = WriteFile(server.get(), "abc", 3, &written, nullptr) && FlushFileBuffers(server.get());
        server.reset();
    });
    const std::optional<sha256_digest> digest = sha256_file(name);
    // If sha256_file never connected, the writer still waits for a client: give it one and let it go.
    kernel_handle(CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)).reset();
    writer.join();
    EXPECT_TRUE(delivered);  // the three bytes were read before the failing read
    EXPECT_FALSE(digest.has_value());
}

TEST(hmac_sha256, matches_rfc_4231) {
    struct row {
        const char* name;
        std::string key;
        std::string data;
        const char* mac;  // case 5 is published truncated to 128 bits
    };
    const std::string key_aa_131(131, '\xAA');
    const row rows[] = {
        {"1", std::string(20, '\x0B'), "Hi There", "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"2", "Jefe", "what do ya want for nothing?",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {"3", std::string(20, '\xAA'), std::string(50, '\xDD'),
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {"4", from_hex("0102030405060708090a0b0c0d0e0f10111213141516171819"), std::string(50, '\xCD'),
         "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        {"5", std::string(20, '\x0C'), "Test With Truncation", "a3b6167473100ee06e0c796c2955552b"},
        {"6", key_aa_131, "Test Using Larger Than Block-Size Key - Hash Key First",
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {"7", key_aa_131,
         "This is a test using a larger than block-size key and a larger than block-size data. The key needs to "
         "be hashed before being used by the HMAC algorithm.",
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
        // The block-size edge, against Python's hmac module.
        {"64-byte key", std::string(64, '\x01'), "message",
         "91b45ced29723d120a86c68842d8eee39f59758da63fc925988f15eaf3db808a"},
        {"65-byte key", std::string(65, '\x01'), "message",
         "49ad2eb04dabf5404e8a1915fa7b757c8cac5be083407d6f7e7ef08536792461"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        const std::string mac = hex(hmac_sha256(r.key, r.data));
        const std::string want = r.mac;
        EXPECT_EQ(mac.substr(0, want.size()), want);
    }
}
