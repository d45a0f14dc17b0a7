// Small printf-style helper for the blocks' reports, traces and state().
#pragma once
#include <cstdarg>
#include <cstdio>
#include <string>

namespace sim {

[[gnu::format(printf, 1, 2)]] inline std::string strf(const char* f, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, f);
    std::vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    return buf;
}

}  // namespace sim
