// The shell's own manifest checks on a file, natively, for script tests of what the operator's tools
// write: the form (parse_release_manifest), then product, expiry and sequence (check_release_manifest).
//   release_manifest_check FILE PRODUCT NOW_UNIX HIGHEST_SEQUENCE
// Prints "accepted <sequence> <expires_unix>" and exits 0, or prints the refusal or failed check and exits 1.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "net/release_manifest_pure.h"

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: release_manifest_check FILE PRODUCT NOW_UNIX HIGHEST_SEQUENCE\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    release_manifest manifest;
    const manifest_refusal refusal = parse_release_manifest(text, manifest);
    if (refusal != manifest_refusal::none) {
        std::printf("refused %d\n", static_cast<int>(refusal));
        return 1;
    }
    const manifest_check check = check_release_manifest(manifest, argv[2], std::stoll(argv[3]), std::stoull(argv[4]));
    if (check != manifest_check::ok) {
        std::printf("check failed %d\n", static_cast<int>(check));
        return 1;
    }
    std::printf("accepted %llu %lld\n", static_cast<unsigned long long>(manifest.sequence),
                static_cast<long long>(manifest.expires_unix));
    return 0;
}
