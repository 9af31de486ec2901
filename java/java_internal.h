// What only the Java module's tests see: the steps of discovery and the runners with other limits.
#pragma once

#include <windows.h>

#include "base/handle.h"
#include "java/java.h"

// The JavaHome values of the eight JavaSoft subkeys below `root` (each key's own and its
// CurrentVersion's), each passed to add_java_candidate.
void add_registry_java_homes(HKEY root, std::vector<std::wstring>& list, const std::wstring& exclusion_home);
// Trims trailing separators, then appends the path when it is a Java home not yet in the list and not
// the exclusion home.
void add_java_candidate(std::vector<std::wstring>& list, const std::wstring& path,
                        const std::wstring& exclusion_home);

// probe_java and run_hidden with another time limit.
bool probe_java_within(const std::wstring& home, std::uint32_t limit_ms);
bool run_hidden_within(const std::wstring& command_line, std::uint32_t limit_ms, std::wstring& error);

// Test hook of remove_tree, called with each folder's path right after the folder has been opened
// and listed, before any of its entries is opened or deleted. Set only by tests, before the call,
// on the thread that calls remove_tree; nullptr in the program.
extern void (*g_remove_tree_listed)(const std::wstring& folder);

// The job that run_system_program's programs run in: made on first use with "kill on job close", not
// inheritable, and never closed by the shell, so it ends with the process and takes its programs
// with it. Tests close it to see that happen; the next program then gets a new one. Worker thread only.
extern kernel_handle g_system_program_job;
