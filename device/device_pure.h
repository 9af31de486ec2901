// Platform-free core of the device fingerprint.
#pragma once

#include <map>
#include <string>

// Component key -> value, ordered byte-wise (std::string's operator<).
using component_map = std::map<std::string, std::string>;
