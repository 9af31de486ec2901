// Stage 3: the built-in Java 17. (Filled in with the Java runtime module; for now it continues.)
#include "shell/shell.h"

bool run_java17_stage(std::wstring& java_home, stage_failure&) {
    java_home.clear();
    return true;
}
