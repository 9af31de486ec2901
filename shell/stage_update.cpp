// Stage 4: launcher update. (Filled in with the update record; for now it continues with the local jar.)
#include "shell/shell.h"

bool run_launcher_update_stage(std::wstring& jar_path, stage_failure&) {
    jar_path = launcher_file_path(L"QuillmarshLauncher.jar");
    return true;
}
