// QuillmarshLauncher.exe: the process entry.
#include "shell/entry.h"
#include "shell/self_update.h"

#include <cstdlib>

#if defined(__GLIBCXX__)
// Every thread body catches what it throws, so this runs only when an exception leaves a noexcept
// function or a destructor. The library's default handler would write the exception's demangled type to
// standard error, which a windowed program does not have, and it links the whole C++ demangler (about
// 45 KiB) into the exe. The process ends the same way, without the text no one could read.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
#endif

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
#ifndef QUILLMARSH_NO_ANTI_DEBUG
    // A debugger attached at start-up ends the shell quietly, before anything (a thread) is created.
    if (IsDebuggerPresent()) return 0;
#endif
    // Started by an older shell to prove that this file runs here: no mutex, no window, no file.
    if (is_self_test_command_line(GetCommandLineW())) return run_self_test(instance);
    end_shell_process(run_shell(instance));
}
