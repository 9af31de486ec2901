// The release manifest and the launcher directory's records: every rule of the form refused by a
// minimal change of a valid text, the accepted texts written back byte for byte, and the checks after
// the form. Expected instants come from GNU date (`date -u -d 2027-01-08T00:00:00Z +%s`), the key's DER
// from `openssl pkey -pubin -outform DER`.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "net/release_manifest_pure.h"

namespace {

const std::string kJarHex = "3f5a" + std::string(60, 'a');
const std::string kJavaHex = "9b1c" + std::string(60, '0');
const std::string kShellHex = "77aa" + std::string(56, 'f') + "0123";

const std::string kHead =
    "quillmarsh-release 1\nproduct quillmarsh\nsequence 42\nexpires 2027-01-08T00:00:00Z\n";
const std::string kFiles = "file jar " + kJarHex + " 8388608\nfile java " + kJavaHex + " 47185920\n";
const std::string kShell = "file shell " + kShellHex + " 441344 1.1.0.0\n";
const std::string kValid = kHead + kFiles;
const std::string kValidWithShell = kValid + kShell;

// `text` with the first `from` replaced by `to`; the test fails when `from` is not there.
std::string replaced(const std::string& text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at == std::string::npos) return text;
    return text.substr(0, at) + to + text.substr(at + from.size());
}

manifest_refusal refusal_of(const std::string& text) {
    release_manifest out;
    return parse_release_manifest(text, out);
}

TEST(parse_release_manifest, reads_every_field_of_the_documented_example) {
    release_manifest m;
    ASSERT_EQ(parse_release_manifest(kValidWithShell, m), manifest_refusal::none);
    EXPECT_EQ(m.product, "quillmarsh");
    EXPECT_EQ(m.sequence, 42u);
    EXPECT_EQ(m.expires_unix, 1799366400);
    EXPECT_EQ(m.jar, (release_file{kJarHex, 8388608}));
    EXPECT_EQ(m.java, (release_file{kJavaHex, 47185920}));
    ASSERT_TRUE(m.shell.has_value());
    EXPECT_EQ(m.shell->file, (release_file{kShellHex, 441344}));
    EXPECT_EQ(m.shell->version, (release_version{1, 1, 0, 0}));

    ASSERT_EQ(parse_release_manifest(kValid, m), manifest_refusal::none);
    EXPECT_FALSE(m.shell.has_value()); // a parse fills the record whole, the old shell line included
}

TEST(parse_release_manifest, accepts_the_edges_of_each_field_and_writes_them_back_unchanged) {
    const std::string rows[] = {
        kValid,
        kValidWithShell,
        replaced(kValid, "sequence 42", "sequence 1"),
        replaced(kValid, "sequence 42", "sequence 9223372036854775807"),  // 2^63-1
        replaced(kValid, "2027-01-08T00:00:00Z", "2000-02-29T23:59:59Z"), // divisible by 400: leap
        replaced(kValid, "2027-01-08T00:00:00Z", "2024-02-29T12:00:00Z"),
        replaced(kValid, "2027-01-08T00:00:00Z", "9999-12-31T23:59:59Z"),
        replaced(kValid, "2027-01-08T00:00:00Z", "0000-01-01T00:00:00Z"),
        replaced(kValid, "2027-01-08T00:00:00Z", "1969-12-31T23:59:59Z"),
        replaced(kValid, " 8388608\n", " 0\n"),
        replaced(kValid, " 8388608\n", " 9223372036854775807\n"),
        replaced(kValid, "product quillmarsh", "product Quill_marsh-2.beta"),
        replaced(kValid, "product quillmarsh", "product " + std::string(64, 'q')),
        replaced(kValidWithShell, "1.1.0.0", "0.0.0.0"),
        replaced(kValidWithShell, "1.1.0.0", "65535.65535.65535.65535"),
        replaced(kValidWithShell, "1.1.0.0", "10.200.3000.40000"),
    };
    for (const std::string& text : rows) {
        SCOPED_TRACE(text);
        release_manifest m;
        ASSERT_EQ(parse_release_manifest(text, m), manifest_refusal::none);
        EXPECT_EQ(serialize_release_manifest(m), text);
    }
}

TEST(parse_release_manifest, refuses_each_broken_rule_with_its_reason) {
    struct row {
        const char* name;
        std::string text;
        manifest_refusal want;
    };
    const row rows[] = {
        // The whole text.
        {"4097 bytes", kValid + std::string(kReleaseManifestLimit + 1 - kValid.size(), 'x'),
         manifest_refusal::too_long},
        {"a byte above 0x7F", replaced(kValid, "quillmarsh\n", "quillmarsh\xC3\xA9\n"),
         manifest_refusal::not_ascii},
        {"CR LF line ends", replaced(kValid, "\n", "\r\n"), manifest_refusal::carriage_return},
        {"CR at the end", kValid + "\r", manifest_refusal::carriage_return},
        {"empty", "", manifest_refusal::no_final_newline},
        {"last LF missing", kValid.substr(0, kValid.size() - 1), manifest_refusal::no_final_newline},
        // The header.
        {"other format version", replaced(kValid, "release 1", "release 2"), manifest_refusal::bad_header},
        {"header upper case", replaced(kValid, "quillmarsh-release", "Quillmarsh-release"),
         manifest_refusal::bad_header},
        {"header trailing space", replaced(kValid, "release 1", "release 1 "), manifest_refusal::bad_header},
        {"blank line first", "\n" + kValid, manifest_refusal::bad_header},
        {"header only without LF", "quillmarsh-release 1", manifest_refusal::no_final_newline},
        // The product.
        {"product missing", "quillmarsh-release 1\n", manifest_refusal::bad_product},
        {"product two spaces", replaced(kValid, "product ", "product  "), manifest_refusal::bad_product},
        {"product tab", replaced(kValid, "product ", "product\t"), manifest_refusal::bad_product},
        {"product empty", replaced(kValid, "product quillmarsh", "product "), manifest_refusal::bad_product},
        {"product with a space", replaced(kValid, "quillmarsh\n", "quill marsh\n"),
         manifest_refusal::bad_product},
        {"product with a slash", replaced(kValid, "quillmarsh\n", "quill/marsh\n"),
         manifest_refusal::bad_product},
        {"product 65 characters", replaced(kValid, "quillmarsh\n", std::string(65, 'q') + "\n"),
         manifest_refusal::bad_product},
        {"product keyword capitalised", replaced(kValid, "product", "Product"),
         manifest_refusal::bad_product},
        {"sequence before product",
         replaced(kValid, "product quillmarsh\nsequence 42", "sequence 42\nproduct quillmarsh"),
         manifest_refusal::bad_product},
        // The sequence.
        {"sequence 0", replaced(kValid, "sequence 42", "sequence 0"), manifest_refusal::bad_sequence},
        {"sequence 2^63", replaced(kValid, "sequence 42", "sequence 9223372036854775808"),
         manifest_refusal::bad_sequence},
        {"sequence 2^64", replaced(kValid, "sequence 42", "sequence 18446744073709551616"),
         manifest_refusal::bad_sequence},
        {"sequence leading zero", replaced(kValid, "sequence 42", "sequence 042"),
         manifest_refusal::bad_sequence},
        {"sequence sign", replaced(kValid, "sequence 42", "sequence +42"), manifest_refusal::bad_sequence},
        {"sequence negative", replaced(kValid, "sequence 42", "sequence -42"),
         manifest_refusal::bad_sequence},
        {"sequence hex", replaced(kValid, "sequence 42", "sequence 0x2a"), manifest_refusal::bad_sequence},
        {"sequence empty", replaced(kValid, "sequence 42", "sequence "), manifest_refusal::bad_sequence},
        {"sequence trailing space", replaced(kValid, "sequence 42", "sequence 42 "),
         manifest_refusal::bad_sequence},
        {"sequence missing", replaced(kValid, "sequence 42\n", ""), manifest_refusal::bad_sequence},
        // The expiry.
        {"expires without Z", replaced(kValid, "00:00:00Z", "00:00:00"), manifest_refusal::bad_expires},
        {"expires with offset", replaced(kValid, "00:00:00Z", "00:00:00+00:00"),
         manifest_refusal::bad_expires},
        {"expires lower-case t", replaced(kValid, "08T00", "08t00"), manifest_refusal::bad_expires},
        {"expires with a space", replaced(kValid, "08T00", "08 00"), manifest_refusal::bad_expires},
        {"expires fractions", replaced(kValid, "00:00:00Z", "00:00:00.0Z"), manifest_refusal::bad_expires},
        {"expires one-digit month", replaced(kValid, "2027-01-08", "2027-1-08"),
         manifest_refusal::bad_expires},
        {"expires five-digit year", replaced(kValid, "2027-01-08", "12027-01-08"),
         manifest_refusal::bad_expires},
        {"month 00", replaced(kValid, "2027-01-08", "2027-00-08"), manifest_refusal::bad_expires},
        {"month 13", replaced(kValid, "2027-01-08", "2027-13-08"), manifest_refusal::bad_expires},
        {"day 00", replaced(kValid, "2027-01-08", "2027-01-00"), manifest_refusal::bad_expires},
        {"January 32", replaced(kValid, "2027-01-08", "2027-01-32"), manifest_refusal::bad_expires},
        {"April 31", replaced(kValid, "2027-01-08", "2027-04-31"), manifest_refusal::bad_expires},
        {"February 29 of 2027", replaced(kValid, "2027-01-08", "2027-02-29"), manifest_refusal::bad_expires},
        {"February 29 of 2100", replaced(kValid, "2027-01-08", "2100-02-29"), manifest_refusal::bad_expires},
        {"February 30 of 2024", replaced(kValid, "2027-01-08", "2024-02-30"), manifest_refusal::bad_expires},
        {"hour 24", replaced(kValid, "T00:00:00Z", "T24:00:00Z"), manifest_refusal::bad_expires},
        {"minute 60", replaced(kValid, "T00:00:00Z", "T00:60:00Z"), manifest_refusal::bad_expires},
        {"leap second", replaced(kValid, "T00:00:00Z", "T23:59:60Z"), manifest_refusal::bad_expires},
        {"expires as a number", replaced(kValid, "2027-01-08T00:00:00Z", "1799366400"),
         manifest_refusal::bad_expires},
        {"expires missing", replaced(kValid, "expires 2027-01-08T00:00:00Z\n", ""),
         manifest_refusal::bad_expires},
        // The jar.
        {"jar hex upper case", replaced(kValid, "3f5a", "3F5A"), manifest_refusal::bad_jar},
        {"jar hex 63 characters", replaced(kValid, "3f5a", "3f5"), manifest_refusal::bad_jar},
        {"jar hex 65 characters", replaced(kValid, "3f5a", "3f5a0"), manifest_refusal::bad_jar},
        {"jar hex not hex", replaced(kValid, "3f5a", "3g5a"), manifest_refusal::bad_jar},
        {"jar size leading zero", replaced(kValid, " 8388608\n", " 08388608\n"), manifest_refusal::bad_jar},
        {"jar size 2^63", replaced(kValid, " 8388608\n", " 9223372036854775808\n"),
         manifest_refusal::bad_jar},
        {"jar size negative", replaced(kValid, " 8388608\n", " -1\n"), manifest_refusal::bad_jar},
        {"jar size missing", replaced(kValid, " 8388608\n", "\n"), manifest_refusal::bad_jar},
        {"jar with a version", replaced(kValid, " 8388608\n", " 8388608 1.0.0.0\n"),
         manifest_refusal::bad_jar},
        {"jar two spaces", replaced(kValid, "file jar ", "file  jar "), manifest_refusal::bad_jar},
        {"jar kind upper case", replaced(kValid, "file jar", "file JAR"), manifest_refusal::bad_jar},
        {"java before jar", kHead + "file java " + kJavaHex + " 47185920\nfile jar " + kJarHex + " 8388608\n",
         manifest_refusal::bad_jar},
        {"jar missing", kHead, manifest_refusal::bad_jar},
        // The Java archive.
        {"java missing", kHead + "file jar " + kJarHex + " 8388608\n", manifest_refusal::bad_java},
        {"java hex upper case", replaced(kValid, "9b1c", "9B1C"), manifest_refusal::bad_java},
        {"java size leading zero", replaced(kValid, " 47185920", " 047185920"), manifest_refusal::bad_java},
        {"java trailing space", replaced(kValid, " 47185920\n", " 47185920 \n"), manifest_refusal::bad_java},
        {"jar twice", replaced(kValid, "file java " + kJavaHex, "file jar " + kJavaHex),
         manifest_refusal::bad_java},
        // The shell.
        {"shell without version", replaced(kValidWithShell, " 1.1.0.0", ""), manifest_refusal::bad_shell},
        {"shell three-part version", replaced(kValidWithShell, "1.1.0.0", "1.1.0"),
         manifest_refusal::bad_shell},
        {"shell five-part version", replaced(kValidWithShell, "1.1.0.0", "1.1.0.0.0"),
         manifest_refusal::bad_shell},
        {"shell part 65536", replaced(kValidWithShell, "1.1.0.0", "1.65536.0.0"),
         manifest_refusal::bad_shell},
        {"shell part leading zero", replaced(kValidWithShell, "1.1.0.0", "1.01.0.0"),
         manifest_refusal::bad_shell},
        {"shell empty part", replaced(kValidWithShell, "1.1.0.0", "1..0.0"), manifest_refusal::bad_shell},
        {"shell trailing dot", replaced(kValidWithShell, "1.1.0.0", "1.1.0.0."), manifest_refusal::bad_shell},
        {"shell version sign", replaced(kValidWithShell, "1.1.0.0", "1.+1.0.0"), manifest_refusal::bad_shell},
        {"shell hex short", replaced(kValidWithShell, "77aa", "77a"), manifest_refusal::bad_shell},
        {"shell size leading zero", replaced(kValidWithShell, " 441344", " 0441344"),
         manifest_refusal::bad_shell},
        {"other file kind", kValid + "file readme " + kJarHex + " 1\n", manifest_refusal::bad_shell},
        {"empty line after java", kValid + "\n", manifest_refusal::bad_shell},
        // After the last line.
        {"shell twice", kValidWithShell + kShell, manifest_refusal::extra_lines},
        {"empty line after shell", kValidWithShell + "\n", manifest_refusal::extra_lines},
        {"comment after shell", kValidWithShell + "# signed offline\n", manifest_refusal::extra_lines},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        release_manifest out;
        out.product = "untouched";
        EXPECT_EQ(parse_release_manifest(r.text, out), r.want);
        EXPECT_EQ(out.product, "untouched"); // a refused text leaves the record alone
        EXPECT_EQ(out.sequence, 0u);
        EXPECT_NE(std::wstring(manifest_refusal_text(r.want)), L"");
    }
}

TEST(parse_release_manifest, takes_exactly_4096_bytes_and_refuses_size_before_content) {
    // A valid manifest padded to the limit through the product name is not possible (64 characters),
    // so the limit is shown with a text that is otherwise wrong: at 4096 its later rule speaks, at
    // 4097 the length does.
    std::string at_limit = kValidWithShell;
    at_limit += std::string(kReleaseManifestLimit - at_limit.size() - 1, 'x') + "\n";
    ASSERT_EQ(at_limit.size(), kReleaseManifestLimit);
    EXPECT_EQ(refusal_of(at_limit), manifest_refusal::extra_lines);
    EXPECT_EQ(refusal_of("x" + at_limit), manifest_refusal::too_long);
    // The whole-text rules come before the lines: a CR in a text with a broken header is named as CR.
    EXPECT_EQ(refusal_of("bad\r\n"), manifest_refusal::carriage_return);
    EXPECT_EQ(refusal_of("bad\xFF\r\n"), manifest_refusal::not_ascii);
}

TEST(serialize_release_manifest, writes_what_parse_reads_back) {
    release_manifest m{"quillmarsh",  7,
                       951868799,     {kJarHex, 3},
                       {kJavaHex, 0}, release_shell{{kShellHex, 12}, {2, 0, 65535, 1}}};
    const std::string text = serialize_release_manifest(m);
    EXPECT_EQ(text,
              "quillmarsh-release 1\nproduct quillmarsh\nsequence 7\nexpires 2000-02-29T23:59:59Z\n"
              "file jar " +
                  kJarHex + " 3\nfile java " + kJavaHex + " 0\nfile shell " + kShellHex +
                  " 12 2.0.65535.1\n");
    release_manifest back;
    ASSERT_EQ(parse_release_manifest(text, back), manifest_refusal::none);
    EXPECT_EQ(back, m);
    // Instants before 1970 and at the ends of the four-digit years.
    for (const std::int64_t t : {std::int64_t{-1}, std::int64_t{-62167219200}, std::int64_t{253402300799}}) {
        m.expires_unix = t;
        ASSERT_EQ(parse_release_manifest(serialize_release_manifest(m), back), manifest_refusal::none) << t;
        EXPECT_EQ(back.expires_unix, t);
    }
    // Out of range: the text is refused rather than read as something else.
    m.expires_unix = 253402300800; // 10000-01-01
    EXPECT_EQ(refusal_of(serialize_release_manifest(m)), manifest_refusal::bad_expires);
    m.expires_unix = -62167219201; // the last second of year -1
    EXPECT_EQ(refusal_of(serialize_release_manifest(m)), manifest_refusal::bad_expires);
}

TEST(check_release_manifest, checks_product_then_expiry_then_sequence) {
    release_manifest m;
    ASSERT_EQ(parse_release_manifest(kValid, m), manifest_refusal::none);
    const std::int64_t expires = 1799366400;
    struct row {
        const char* name;
        std::string product;
        std::int64_t now;
        std::uint64_t highest;
        manifest_check want;
    };
    const row rows[] = {
        {"fresh, first run", "quillmarsh", expires - 1, 0, manifest_check::ok},
        {"same sequence again", "quillmarsh", expires - 1, 42, manifest_check::ok},
        {"higher than accepted", "quillmarsh", 0, 41, manifest_check::ok},
        {"at the expiry instant", "quillmarsh", expires, 0, manifest_check::expired},
        {"after the expiry", "quillmarsh", expires + 86400, 0, manifest_check::expired},
        {"rolled back by one", "quillmarsh", expires - 1, 43, manifest_check::rolled_back},
        {"rolled back far", "quillmarsh", expires - 1, 9223372036854775807ULL, manifest_check::rolled_back},
        {"other product", "quillmarsh-test", expires - 1, 0, manifest_check::other_product},
        {"product case differs", "Quillmarsh", expires - 1, 0, manifest_check::other_product},
        {"other product wins over expiry and rollback", "other", expires, 43, manifest_check::other_product},
        {"expiry wins over rollback", "quillmarsh", expires, 43, manifest_check::expired},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(check_release_manifest(m, r.product, r.now, r.highest), r.want);
        EXPECT_EQ(std::wstring(manifest_check_text(r.want)).empty(), r.want == manifest_check::ok);
    }
}

TEST(release_version, parses_canonical_four_parts_and_orders_from_the_left) {
    EXPECT_EQ(parse_release_version("1.2.3.4"), (release_version{1, 2, 3, 4}));
    EXPECT_EQ(parse_release_version("65535.0.0.65535"), (release_version{65535, 0, 0, 65535}));
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "1.2.3.65536", "01.2.3.4", "1.2.3.4 ", "1,2,3,4",
                            "a.b.c.d", "1.2.3.", ".1.2.3"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(parse_release_version(bad), std::nullopt);
    }
    EXPECT_EQ(release_version_text({10, 0, 65535, 7}), "10.0.65535.7");
    // dwFileVersionMS/LS of FILEVERSION 1,2,3,4 as the version resource stores them.
    EXPECT_EQ(release_version_from_words(0x00010002, 0x00030004), (release_version{1, 2, 3, 4}));
    EXPECT_EQ(release_version_from_words(0xFFFF0000, 0x0000FFFF), (release_version{65535, 0, 0, 65535}));

    struct row {
        release_version candidate, running;
        bool higher;
    };
    const row rows[] = {
        {{1, 1, 0, 0}, {1, 0, 0, 0}, true},
        {{1, 0, 0, 1}, {1, 0, 0, 0}, true},
        {{2, 0, 0, 0}, {1, 65535, 65535, 65535}, true}, // no carry between parts
        {{1, 0, 0, 0}, {1, 0, 0, 0}, false},            // equal is never installed
        {{1, 0, 0, 0}, {1, 0, 0, 1}, false},
        {{1, 10, 0, 0}, {1, 9, 0, 0}, true}, // numbers, not text
        {{0, 65535, 0, 0}, {1, 0, 0, 0}, false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(release_version_text(r.candidate) + " over " + release_version_text(r.running));
        EXPECT_EQ(release_version_higher(r.candidate, r.running), r.higher);
    }
}

// The hash the fingerprint is handed: records what it was given, returns a recognisable digest.
std::string g_hashed;
sha256_digest recording_sha256(std::string_view bytes) {
    g_hashed = std::string(bytes);
    sha256_digest out{};
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(i * 8 + 1);
    return out;
}

std::string unhex(std::string_view hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

TEST(publisher_key_fingerprint, hashes_the_der_openssl_writes_for_the_key) {
    // `openssl pkey -pubin -outform DER` of the key in signature_pure_test.cpp.
    const std::string der = unhex(
        "3059301306072a8648ce3d020106082a8648ce3d03010703420004"
        "c913760ce5695f4d08287c874e2464776b98252836534dc995682b296223d382"
        "a2b06fe512fb39d57cc28bef5313914ebe1463921a5277a676a45f2e746a8793");
    p256_point point{};
    std::copy(der.end() - 64, der.end(), point.begin());
    const std::string fingerprint = publisher_key_fingerprint(point, &recording_sha256);
    EXPECT_EQ(g_hashed, der);
    EXPECT_EQ(fingerprint, "0109111921293139414951596169717981899199a1a9b1b9c1c9d1d9e1e9f1f9");
}

const std::string kKey = std::string(63, 'e') + "5";

TEST(accepted_sequence, reads_and_writes_only_the_exact_form) {
    const std::string text = "quillmarsh-sequence 1\nkey " + kKey + "\nsequence 42\n";
    const auto record = parse_accepted_sequence(text);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(*record, (accepted_sequence{kKey, 42}));
    EXPECT_EQ(serialize_accepted_sequence(*record), text);
    EXPECT_EQ(parse_accepted_sequence(replaced(text, "42", "9223372036854775807")),
              (accepted_sequence{kKey, 9223372036854775807ULL}));

    const std::string bad[] = {
        "",
        text.substr(0, text.size() - 1),
        text + "\n",
        replaced(text, "\n", "\r\n"),
        replaced(text, "sequence 1", "sequence 2"),
        replaced(text, "42", "042"),
        replaced(text, "42", "0"),
        replaced(text, "42", "9223372036854775808"),
        replaced(text, "key ", "key  "),
        replaced(text, kKey, std::string(63, 'e') + "E"),
        replaced(text, "key " + kKey + "\n", ""),
        replaced(text, "key " + kKey + "\nsequence 42", "sequence 42\nkey " + kKey),
    };
    for (const std::string& b : bad) {
        SCOPED_TRACE(b);
        EXPECT_EQ(parse_accepted_sequence(b), std::nullopt);
    }
}

TEST(verified_record, reads_and_writes_only_the_exact_form_with_either_digest_optional) {
    const std::string head = "quillmarsh-verified 1\nkey " + kKey + "\n";
    const std::string jar = "jar " + kJarHex + "\n";
    const std::string java = "java-archive " + kJavaHex + "\n";
    struct row {
        std::string text;
        verified_record want;
    };
    const row rows[] = {
        {head + jar + java, {kKey, kJarHex, kJavaHex}},
        {head + jar, {kKey, kJarHex, std::nullopt}},
        {head + java, {kKey, std::nullopt, kJavaHex}},
        {head, {kKey, std::nullopt, std::nullopt}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        const auto record = parse_verified_record(r.text);
        ASSERT_TRUE(record.has_value());
        EXPECT_EQ(*record, r.want);
        EXPECT_EQ(serialize_verified_record(*record), r.text);
    }
    const std::string bad[] = {
        "",
        head + java + jar, // order
        head + jar + jar,
        head + jar + java + "\n",
        head + replaced(jar, "jar ", "jar  "),
        head + replaced(jar, "3f5a", "3F5A"),
        head + "java " + kJavaHex + "\n",
        replaced(head, "verified 1", "verified 2") + jar,
        "key " + kKey + "\n" + jar,
        (head + jar).substr(0, head.size() + jar.size() - 1),
        replaced(head + jar, "\n", "\r\n"),
    };
    for (const std::string& b : bad) {
        SCOPED_TRACE(b);
        EXPECT_EQ(parse_verified_record(b), std::nullopt);
    }
}

} // namespace
