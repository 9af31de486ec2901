// Publisher signatures through BCrypt against signatures made by openssl (tests/signing makes them at
// configure time into the build tree's "signing" folder), and the ".sig" fetched from the test server.
#include <gtest/gtest.h>

#include <string>

#include "net/net_internal.h"
#include "tests/support/support.h"
#include "tests/unit/net_test_server.h"

namespace {

using support::narrow;
using support::read_bytes;
using support::temp_dir;
using support::test_bin;
using support::write_file;

// Written out here, not taken from the product's constants: a changed text must fail a test.
const std::wstring kWrong =
    L"Подпись файла неверна: файл мог быть подменён. Сообщите администратору сервера.";
const std::wstring kDamaged = L"Подпись файла повреждена. Сообщите администратору сервера.";

std::string fixture(const wchar_t* name) {
    return read_bytes(test_bin(std::wstring(L"signing\\") + name));
}

std::string flip_last_byte(std::string bytes) {
    bytes.back() = static_cast<char>(bytes.back() ^ 0x01);
    return bytes;
}

}  // namespace

TEST(publisher_signature, only_the_test_keys_own_signature_of_the_unchanged_file_verifies) {
    const std::string payload = fixture(L"payload.bin");
    const std::string good = fixture(L"payload.bin.sig");
    const auto key = p256_point_from_pem(fixture(L"key\\publisher-public.pem"));
    ASSERT_EQ(payload.size(), 70000u);
    ASSERT_TRUE(key.has_value());
    temp_dir dir(L"sig");
    struct row {
        const char* name;
        std::string file;
        std::string der;
        const std::wstring* want;  // nullptr: verifies
    };
    const std::string flipped_payload = [&] {
        std::string p = payload;
        p[12345] = static_cast<char>(p[12345] ^ 0x80);
        return p;
    }();
    const row rows[] = {
        {"good", payload, good, nullptr},
        {"one byte of the file changed", flipped_payload, good, &kWrong},
        {"one bit of s changed (still strict DER)", payload, flip_last_byte(good), &kWrong},
        {"signed by another key", payload, fixture(L"payload.bin.other.sig"), &kWrong},
        {"another file's signature", payload, fixture(L"jar-v1.sig"), &kWrong},
        {"empty signature", payload, "", &kDamaged},
        {"garbage signature", payload, "not a signature at all", &kDamaged},
        {"signature with a byte appended", payload, good + '\0', &kDamaged},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        const std::wstring path = dir.file(L"payload.bin");
        ASSERT_TRUE(write_file(path, r.file));
        std::wstring error = L"untouched";
        const bool ok = verify_file_signature(path, r.der, *key, error);
        EXPECT_EQ(ok, r.want == nullptr);
        EXPECT_EQ(error, r.want == nullptr ? L"untouched" : *r.want);
    }
}

TEST(publisher_signature, a_file_that_cannot_be_read_is_not_verified) {
    const auto key = p256_point_from_pem(fixture(L"key\\publisher-public.pem"));
    ASSERT_TRUE(key.has_value());
    temp_dir dir(L"sig");
    std::wstring error;
    EXPECT_FALSE(verify_file_signature(dir.file(L"missing.bin"), fixture(L"payload.bin.sig"), *key, error));
    EXPECT_EQ(error, L"Не удалось прочитать скачанный файл: " + dir.file(L"missing.bin"));
}

class signed_download : public testing::Test {
protected:
    void SetUp() override {
        const auto found = test_server::find();
        ASSERT_TRUE(found) << "the fault server is not running (ctest fixture fault_server)";
        port = found->http;
        reset_http_cache_for_tests();
        static int counter = 0;
        prefix = L"/net/signed/" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                 std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(++counter);
        ASSERT_TRUE(write_file(dir.file(L"payload.bin"), fixture(L"payload.bin")));
    }
    void TearDown() override { reset_http_cache_for_tests(); }

    std::wstring url() const { return test_server::url(port, prefix + L"/payload.bin"); }
    std::wstring sig_path() const { return prefix + L"/payload.bin.sig"; }
    // What a download of the payload would have computed on the way.
    std::optional<sha256_digest> payload_digest() const { return sha256_file(dir.file(L"payload.bin")); }

    temp_dir dir{L"sigdl"};
    std::uint16_t port = 0;
    std::wstring prefix;
    const std::string pem = fixture(L"key\\publisher-public.pem");
};

TEST_F(signed_download, the_sig_beside_the_url_decides) {
    struct row {
        const char* name;
        std::wstring route;  // options of the ".sig" route
        std::wstring want;   // empty: verifies
        bool whole = true;   // false: `want` is the start of the text (the platform's code follows)
    };
    // The server sends a file by its Linux path; a body given as text would not stay binary.
    const std::string linux_sig = narrow(support::own_env(L"QUILLMARSH_TEST_BIN")) + "/signing/payload.bin.sig";
    const std::wstring good = L"status=200&file=" + test_server::encode(linux_sig);
    const row rows[] = {
        {"good", good, L""},
        {"404", L"status=404&body=none", L"Не удалось скачать подпись файла: Сервер вернул код 404"},
        {"empty", L"status=200&body=", kDamaged},
        // 1 MiB: only the first 4 KiB are kept, and no signature is that long.
        {"endless", L"status=200&size=1048576", kDamaged},
        {"reset in the middle", L"status=200&size=60000&drop_after=1000",
         L"Не удалось скачать подпись файла: Ошибка приёма данных (код ", false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        ASSERT_TRUE(test_server::set_route(sig_path(), r.route));
        std::wstring error = L"untouched";
        const bool ok = verify_download(url(), dir.file(L"payload.bin"), payload_digest(), pem, error);
        EXPECT_EQ(ok, r.want.empty());
        if (r.whole) {
            EXPECT_EQ(error, r.want.empty() ? L"untouched" : r.want);
        } else {
            EXPECT_EQ(error.rfind(r.want, 0), 0u) << narrow(error);
        }
    }
}

TEST_F(signed_download, without_a_key_nothing_is_fetched_and_a_broken_key_fails_every_check) {
    ASSERT_TRUE(test_server::set_body(sig_path(), fixture(L"payload.bin.sig")));
    std::wstring error = L"untouched";
    EXPECT_TRUE(verify_download(url(), dir.file(L"payload.bin"), payload_digest(), "", error));
    EXPECT_EQ(error, L"untouched");
    EXPECT_EQ(test_server::hits(sig_path()), 0u);

    const std::string broken_key = "-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n";
    EXPECT_FALSE(verify_download(url(), dir.file(L"payload.bin"), payload_digest(), broken_key, error));
    EXPECT_EQ(error, L"Ключ проверки подписей в программе повреждён. Сообщите администратору сервера.");
    EXPECT_EQ(test_server::hits(sig_path()), 0u);
}
