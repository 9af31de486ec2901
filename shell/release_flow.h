// The launch of a build with a publisher key: the signed release manifest fetched and checked right
// after the start stage, the records it leaves in the launcher directory, and the shell's own update.
#pragma once

#include <string>

#include "shell/release_flow_pure.h"
#include "shell/sequence.h"

// The accepted sequence and the verified record, beside launcher.log.
constexpr wchar_t kSequenceRecordName[] = L"release.sequence";
constexpr wchar_t kVerifiedRecordName[] = L"release.verified";

// True when this build carries a publisher key: its launch goes by the release manifest.
bool release_build();

// Fetches the manifest (QUILLMARSH_RELEASE_PATH) and its ".sig", each at most 4 KiB, and checks in this
// order the signature, the form, the product, the expiry against the system's UTC clock and the
// sequence against launcher_dir\release.sequence, which is written (atomically) only once a manifest
// passed them all. Fills launch.release: trusted, or not with the reason, logged either way; reads the
// verified record of this key. Also deletes the exe a previous self-update left (<exe>.old).
void run_release_manifest_step(launch_context& launch);

// When the trusted manifest offers a shell above the running exe's version, installs it and starts it;
// true when this process must now end with code 0, showing nothing more. False in every other case
// (the reason is in the log), and the run goes on with this exe.
bool run_release_shell_step(const launch_context& launch);

// Writes the verified record atomically (a temporary file beside it, renamed over it; a link at either
// name is replaced, never followed). A failure is logged only: the next run downloads again.
void save_verified_record(const launch_context& launch, const verified_record& record);

// "Файл выпуска не принят: " + the reason: the error text of the F5 and F6 boxes when nothing usable
// is recorded.
std::wstring untrusted_release_text(const launch_context& launch);
