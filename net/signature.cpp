// Publisher signatures: the detached ".sig" beside a download, fetched over the request path every
// download uses, and checked with BCrypt's ECDSA P-256 against the key the build carries.
#include <cstring>

#include "net/net.h"

constexpr DWORD kReadChunk = 512;

std::optional<std::string> fetch_small_body(const std::wstring& url, std::size_t limit, std::wstring& error) {
    http_handle request = http_get(url, error);
    if (!request) return std::nullopt;
    std::string body;
    char chunk[kReadChunk];
    // One byte past the limit is kept, so a body that is too long stays too long for its parser; the
    // rest is never read.
    const std::size_t keep = limit + 1;
    for (;;) {
        DWORD got = 0;
        if (!WinHttpReadData(request.get(), chunk, kReadChunk, &got)) {
            error = with_code(L"Ошибка приёма данных", GetLastError());
            return std::nullopt;
        }
        if (got == 0) break;
        if (!append_within_limit(body, std::string_view(chunk, got), keep)) break;
    }
    return body;
}

namespace {

std::optional<std::string> fetch_signature(const std::wstring& url, std::wstring& error) {
    return fetch_small_body(url, kSignatureBodyLimit, error);
}

}  // namespace

bool verify_digest_signature(const sha256_digest& digest, std::string_view der, const p256_point& key,
                             std::wstring& error) {
    const std::optional<p256_signature> signature = p256_signature_from_der(der);
    if (!signature) {
        error = kSignatureDamagedText;
        return false;
    }

    alg_handle provider;
    NTSTATUS status = BCryptOpenAlgorithmProvider(provider.put(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
    if (!BCRYPT_SUCCESS(status)) {
        error = with_code(L"Не удалось проверить подпись файла", static_cast<std::uint32_t>(status));
        return false;
    }
    // BCRYPT_ECCPUBLIC_BLOB: the header, then X and Y of 32 bytes each.
    std::uint8_t blob[sizeof(BCRYPT_ECCKEY_BLOB) + 64];
    const BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
    std::memcpy(blob, &header, sizeof header);
    std::memcpy(blob + sizeof header, key.data(), key.size());
    key_handle public_key;
    status = BCryptImportKeyPair(provider.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, public_key.put(), blob,
                                 static_cast<ULONG>(sizeof blob), 0);
    if (!BCRYPT_SUCCESS(status)) {
        error = with_code(L"Не удалось проверить подпись файла", static_cast<std::uint32_t>(status));
        return false;
    }
    // The verifier takes neither input as const; it writes through neither.
    p256_signature raw = *signature;
    sha256_digest hashed = digest;
    status = BCryptVerifySignature(public_key.get(), nullptr, hashed.data(), static_cast<ULONG>(hashed.size()),
                                   raw.data(), static_cast<ULONG>(raw.size()), 0);
    if (!BCRYPT_SUCCESS(status)) {
        error = signature_failure_text(static_cast<std::uint32_t>(status));
        return false;
    }
    return true;
}

bool verify_file_signature(const std::wstring& path, std::string_view der, const p256_point& key,
                           std::wstring& error) {
    // A damaged signature is reported as such even when the file cannot be read.
    if (!p256_signature_from_der(der)) {
        error = kSignatureDamagedText;
        return false;
    }
    const std::optional<sha256_digest> digest = sha256_file(path);
    if (!digest) {
        error = L"Не удалось прочитать скачанный файл: " + path;
        return false;
    }
    return verify_digest_signature(*digest, der, key, error);
}

bool verify_download(const std::wstring& url, const std::wstring& path, const std::optional<sha256_digest>& digest,
                     std::string_view publisher_key_pem, std::wstring& error) {
    if (publisher_key_pem.empty()) return true;
    // The build checked the key when it embedded it; a key that still does not parse must not turn the
    // check off, so every download fails with a reason instead.
    const std::optional<p256_point> key = p256_point_from_pem(publisher_key_pem);
    if (!key) {
        error = L"Ключ проверки подписей в программе повреждён. Сообщите администратору сервера.";
        return false;
    }
    std::wstring fetch_error;
    const std::optional<std::string> der = fetch_signature(url + L".sig", fetch_error);
    if (!der) {
        error = L"Не удалось скачать подпись файла: " + fetch_error;
        return false;
    }
    if (!digest) {
        error = L"Не удалось прочитать скачанный файл: " + path;
        return false;
    }
    return verify_digest_signature(*digest, *der, *key, error);
}
