// QuillmarshLauncher.exe: the process entry.
#include "shell/entry.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
#ifndef QUILLMARSH_NO_ANTI_DEBUG
    // A debugger attached at start-up ends the shell quietly, before anything (a thread) is created.
    if (IsDebuggerPresent()) return 0;
#endif
    end_shell_process(run_shell(instance));
}
