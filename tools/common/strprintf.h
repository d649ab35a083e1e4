// printf into a std::string, with the compiler checking the arguments
// against the format.
#pragma once

#include <string>

namespace tools {

std::string strprintf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace tools
