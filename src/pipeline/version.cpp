#include <quelbin/version.hpp>

namespace quelbin {

std::string native_version() { return "0.1.0"; }

}  // namespace quelbin
