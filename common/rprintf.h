// Small formatter for the nodes' replies: %d %i %u %x %c %s with an optional
// '0' or ' ' flag and one width digit; every LF leaves as CR LF.
#pragma once

extern "C" {
void rprintf_devopen(int (*put)(int));
void rprintf(const char* format, ...);
}
