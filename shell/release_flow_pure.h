// Platform-free decisions of the launch with a publisher key: what the release manifest (trusted or
// not) and the verified record say about the local jar and the built-in Java 17.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "net/release_manifest_pure.h"

// What the launch knows of this run's release. `trusted` is set only for a manifest that passed the
// signature, the form, the product, the expiry and the sequence; `manifest` is meaningful only then.
// `verified` is the record read from the launcher directory when it names this build's key.
struct release_view {
    bool trusted = false;
    release_manifest manifest;
    std::optional<verified_record> verified;
    std::wstring distrust;  // why the manifest is not trusted (for the log and the boxes)
};

enum class jar_plan {
    keep,         // the local jar is the release's (trusted), or recorded as verified (untrusted)
    download,     // trusted: the local jar is missing or differs from the release's
    missing,      // untrusted: no jar recorded as verified here
};
// `local_sha256_hex`: the local jar's digest (64 lower-case hex), nothing when it is missing.
jar_plan plan_jar(const release_view& release, const std::optional<std::string>& local_sha256_hex);

enum class java_plan {
    keep,         // the built-in Java 17 came from the release's archive (trusted) or is recorded (untrusted)
    download,     // trusted: no built-in Java 17
    replace,      // trusted: a built-in Java 17 from another archive, or from none recorded
    missing,      // untrusted: no built-in Java 17 recorded as verified here
};
java_plan plan_java(const release_view& release, bool home_exists);

// The verified record after an install under `release` (trusted): `previous` (when it names the same
// key) with the jar's or the archive's line set to the release's digest.
verified_record record_jar(const std::optional<verified_record>& previous, std::string_view key_fingerprint,
                           std::string_view jar_sha256_hex);
verified_record record_java_archive(const std::optional<verified_record>& previous,
                                    std::string_view key_fingerprint, std::string_view archive_sha256_hex);
