// The final boxes of a run, and the failure report that a build with reports sends about them. The
// default build is compiled without QUILLMARSH_FAILURE_REPORTS: show_final_box is then show_error_box
// and nothing else happens (no thread, no request, no import). The file is compiled apart
// (its own library), so a second program can be built from the same objects with reports on.
#pragma once

#include <cstdint>
#include <string>

#include "device/device.h"
#include "net/net.h"

// How long the exit is held for a report after its box was closed, at most.
constexpr std::uint32_t kReportGraceMs = 3000;

// Shows the final box `text` of kind `box` (show_error_box). With reports built in and a code for the
// box, a report is started on a thread of its own just before the box, at most once per run (the first
// final box wins), and given at most kReportGraceMs after the box closes (await_failure_report). The box
// appears and closes exactly as without reports; a report that fails costs one line in the log.
void show_final_box(final_box box, const std::wstring& text);

// Waits at most `bound_ms` for the run's report to end and writes its log line if it failed (once).
// True when no report is running: none was started, or it has ended. An exit path that gets false must
// not run the process's static destructors while the sender may still run (it reads none of the
// program's process-wide values, but its fallback fingerprint does).
bool await_failure_report(std::uint32_t bound_ms);

// The fingerprint and signature the ban check sent, for the report (device check stage, worker thread).
void remember_report_identity(const DeviceIdentity& identity);
