#pragma once

#include <string>

namespace quelbin {

// The version of the native engine, also the Python module's __version__.
std::string native_version();

}  // namespace quelbin
