#include "strprintf.h"

#include <cstdarg>
#include <cstdio>

namespace tools {

std::string strprintf(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    int size = std::vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string text;
    if (size > 0) {
        text.resize(static_cast<size_t>(size) + 1);
        std::vsnprintf(text.data(), text.size(), fmt, again);
        text.resize(static_cast<size_t>(size));
    }
    va_end(again);
    return text;
}

}  // namespace tools
