// Platform-free part of the shell's self-update: versions, the paths beside the exe, the checks of a
// downloaded exe and the self-test command line.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// A four-part file version a.b.c.d, as the version record's fixed part and the release manifest give it.
using shell_version = std::array<std::uint16_t, 4>;

// What a shell exe says about itself in its version record.
struct shell_identity {
    shell_version version{};
    std::wstring product;  // the record's ProductName string
};

// Negative, zero or positive as `a` is lower than, equal to or higher than `b`, part by part from the first.
int compare_versions(const shell_version& a, const shell_version& b);
// The fixed part's two 32-bit halves (dwFileVersionMS, dwFileVersionLS) as four parts.
shell_version version_from_halves(std::uint32_t most, std::uint32_t least);
// "a.b.c.d" in decimal.
std::wstring version_text(const shell_version& v);

// Where the download waits beside the exe, and where the replaced exe stays until the next run.
std::wstring new_shell_path(std::wstring_view exe);
std::wstring old_shell_path(std::wstring_view exe);

// Only a strictly higher version is ever installed: a replayed or older offer is never newer.
bool offer_is_newer(const shell_version& offered, const shell_version& running);

// 64 hex digits each, equal ignoring ASCII case. Anything else (empty, shorter, not hex) never matches.
bool same_sha256_hex(std::string_view a, std::string_view b);

enum class candidate_verdict { fits, other_version, other_product };
// A downloaded exe fits when its record names exactly the offered version and the running shell's
// product (an empty product never fits). The version comes first: it is the one the manifest vouches for.
candidate_verdict check_candidate(const shell_version& offered, const shell_identity& candidate,
                                  const shell_identity& running);

// The argument that starts an exe in its self-test mode.
constexpr std::wstring_view kSelfTestArgument = L"--self-test";
// "\"" + exe + "\" --self-test".
std::wstring self_test_command_line(std::wstring_view exe);
// True when the process's command line is its program (quoted, or up to the first blank) followed by
// exactly the self-test argument, blanks around it allowed. Anything else is a normal start.
bool is_self_test_command_line(std::wstring_view command_line);

// The NT form of a full Win32 path, which a rename through an open handle takes: "\??\C:\dir\file",
// "\??\UNC\server\share\file" for "\\server\share\file"; a "\\?\" prefix becomes "\??\".
std::wstring nt_path(std::wstring_view path);
