// Stage 5: client start. (Filled in with the client module; for now nothing is started.)
#include "shell/shell.h"

void run_client_start_stage(const std::wstring&, const std::wstring&) {}
