// The release manifest and the two small records kept beside it in the launcher directory, as
// platform-free parsers and writers. Standard headers only, no I/O, no clock: the current time, the
// build's product name and a SHA-256 implementation come in as arguments.
//
// The manifest is an exact contract that the operator's tools and other implementations produce:
//
//   quillmarsh-release 1
//   product quillmarsh
//   sequence 42
//   expires 2027-01-08T00:00:00Z
//   file jar <64 lower-case hex> 8388608
//   file java <64 lower-case hex> 47185920
//   file shell <64 lower-case hex> 441344 1.1.0.0        (optional)
//
// ASCII, every line ending in LF, no CR, at most 4096 bytes, single spaces, the lines in exactly this
// order. Every number is written in its one canonical form (decimal, no sign, no leading zeros, "0"
// alone where zero is allowed), so an accepted text is exactly the text its fields write back.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "net/net_pure.h"

// The manifest and its signature are each at most this many bytes, on the wire and on disk.
constexpr std::size_t kReleaseManifestLimit = 4096;

// A four-part file version a.b.c.d, each part 0..65535, compared part by part from the left.
using release_version = std::array<std::uint16_t, 4>;

// One file of a release: its SHA-256 as 64 lower-case hex characters and its exact size in bytes
// (0..2^63-1, so it fits the platform's signed file offsets).
struct release_file {
    std::string sha256_hex;
    std::uint64_t size = 0;
    bool operator==(const release_file&) const = default;
};

// The shell exe of a release and the file version its version resource must carry.
struct release_shell {
    release_file file;
    release_version version{};
    bool operator==(const release_shell&) const = default;
};

struct release_manifest {
    std::string product;           // 1..64 of [A-Za-z0-9._-]
    std::uint64_t sequence = 0;    // 1..2^63-1
    std::int64_t expires_unix = 0; // seconds since 1970-01-01T00:00:00Z, years 0000..9999
    release_file jar;
    release_file java; // the Java 17 archive
    std::optional<release_shell> shell;
    bool operator==(const release_manifest&) const = default;
};

// Why a manifest's text was refused: the first rule it breaks, checked in this order.
enum class manifest_refusal {
    none,             // accepted
    too_long,         // more than kReleaseManifestLimit bytes
    not_ascii,        // a byte above 0x7F
    carriage_return,  // a CR anywhere
    no_final_newline, // empty, or the last line does not end in LF
    bad_header,       // the first line is not "quillmarsh-release 1"
    bad_product,      // the second line is not "product <name>"
    bad_sequence,     // the third line is not "sequence <1..2^63-1>"
    bad_expires,      // the fourth line is not "expires <YYYY-MM-DDTHH:MM:SSZ>" of a real UTC time
    bad_jar,          // the fifth line is not "file jar <hex> <size>"
    bad_java,         // the sixth line is not "file java <hex> <size>"
    bad_shell,        // a seventh line that is not "file shell <hex> <size> <a.b.c.d>"
    extra_lines,      // anything after the last file line (an empty line included)
};

// Parses a manifest's text. On `manifest_refusal::none` fills `out` whole; on any refusal leaves `out`
// untouched. The whole text is refused for the first broken rule: nothing of it is used.
manifest_refusal parse_release_manifest(std::string_view text, release_manifest& out);

// The text of a manifest. For every manifest that parse_release_manifest accepted, this is exactly
// the text it was parsed from. A field out of its range (see release_manifest) gives a text that the
// parser refuses.
std::string serialize_release_manifest(const release_manifest& manifest);

// A parsed manifest against this build and this launcher directory, after its signature and form
// were checked; the first failed check is returned, in this order: the product (equal byte for byte),
// the expiry (expired when now_unix >= expires_unix: the instant written is the first one no longer
// trusted), the sequence (rolled back when below the highest one this directory accepted; equal is
// the same release again and passes).
enum class manifest_check { ok, other_product, expired, rolled_back };
manifest_check check_release_manifest(const release_manifest& manifest, std::string_view product,
                                      std::int64_t now_unix, std::uint64_t highest_sequence);

// For the log: what was wrong, as a lower-case Russian phrase without a final full stop.
// `manifest_refusal::none` and `manifest_check::ok` give an empty text.
const wchar_t* manifest_refusal_text(manifest_refusal refusal);
const wchar_t* manifest_check_text(manifest_check check);

// ---- Versions -------------------------------------------------------------------------------------

// "a.b.c.d", each part 0..65535 in canonical decimal; anything else gives nothing.
std::optional<release_version> parse_release_version(std::string_view text);
std::string release_version_text(const release_version& version);
// The version of a version resource's fixed part: dwFileVersionMS holds a.b, dwFileVersionLS c.d.
release_version release_version_from_words(std::uint32_t most_significant, std::uint32_t least_significant);
// True when `candidate` is strictly higher than `running`: only such an exe is ever installed.
bool release_version_higher(const release_version& candidate, const release_version& running);

// ---- Records in the launcher directory --------------------------------------------------------------

// SHA-256 over a publisher key's DER SubjectPublicKeyInfo (what `openssl pkey -pubin -outform DER`
// writes) as 64 lower-case hex characters: the fingerprint the records below are bound to. `point`
// is the raw X‖Y of a P-256 key; `sha256` is the platform's implementation.
std::string publisher_key_fingerprint(const p256_point& point, sha256_function sha256);

// The highest manifest sequence this launcher directory accepted, under which publisher key:
//
//   quillmarsh-sequence 1
//   key <64 lower-case hex: publisher_key_fingerprint>
//   sequence <1..2^63-1>
//
// every line ending in LF, nothing else. A sequence counts only for the key it was accepted under.
struct accepted_sequence {
    std::string key_fingerprint;
    std::uint64_t sequence = 0;
    bool operator==(const accepted_sequence&) const = default;
};
// Nothing for any text that is not exactly the form above (the caller decides what a damaged record
// means); the record otherwise.
std::optional<accepted_sequence> parse_accepted_sequence(std::string_view text);
std::string serialize_accepted_sequence(const accepted_sequence& record);

// The payloads installed under a trusted manifest, bound to the publisher key:
//
//   quillmarsh-verified 1
//   key <64 lower-case hex: publisher_key_fingerprint>
//   jar <64 lower-case hex>                  (optional: the SHA-256 of the installed jar)
//   java-archive <64 lower-case hex>         (optional: the archive the built-in Java 17 came from)
//
// every line ending in LF, the lines in this order, nothing else.
struct verified_record {
    std::string key_fingerprint;
    std::optional<std::string> jar_sha256_hex;
    std::optional<std::string> java_archive_sha256_hex;
    bool operator==(const verified_record&) const = default;
};
// Nothing for any text that is not exactly the form above; the record otherwise.
std::optional<verified_record> parse_verified_record(std::string_view text);
std::string serialize_verified_record(const verified_record& record);

// True for exactly 64 characters of 0-9 a-f.
bool is_sha256_hex(std::string_view text);
