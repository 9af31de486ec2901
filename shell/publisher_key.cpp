// The publisher key of this build. Alone in its file: the signed test build compiles just this file
// again against a deployment header with a key of its own.
#include "deployment_values.h"
#include "shell/server_address.h"

std::string_view publisher_key_pem() {
    return {deployment::publisher_key_pem, sizeof deployment::publisher_key_pem - 1};
}
