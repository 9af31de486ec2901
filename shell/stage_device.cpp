// Stage 2: device check. (Filled in with the ban check; for now the sequence simply continues.)
#include "shell/shell.h"

bool run_device_check_stage(stage_failure&) {
    return true;
}
