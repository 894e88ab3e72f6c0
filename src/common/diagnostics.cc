#include "common/diagnostics.h"

#include <cstdio>

void print_notes(const diagnostics& notes) {
  for (const std::string& line : notes) {
    std::fputs(line.c_str(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
  }
}
