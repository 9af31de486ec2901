// QuillmarshLauncher.exe: the process entry.
#include "shell/entry.h"
#include "shell/self_update.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
#ifndef QUILLMARSH_NO_ANTI_DEBUG
    // A debugger attached at start-up ends the shell quietly, before anything (a thread) is created.
    if (IsDebuggerPresent()) return 0;
#endif
    // Started by an older shell to prove that this file runs here: no mutex, no window, no file.
    if (is_self_test_command_line(GetCommandLineW())) return run_self_test(instance);
    end_shell_process(run_shell(instance));
}
