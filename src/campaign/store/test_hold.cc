#include "campaign/store/test_hold.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

void hold_for_test(std::string_view step, const std::function<void()>& before) {
  static const char* setting = std::getenv("VARNEL_CAMPAIGN_HOLD");
  if (!setting) return;
  std::string_view s(setting);
  size_t colon = s.find(':');
  if (colon == std::string_view::npos || s.substr(0, colon) != step) return;
  static int fifo = ::open(std::string(s.substr(colon + 1)).c_str(), O_RDONLY | O_CLOEXEC);
  if (fifo >= 0 && before) before();
  char byte;
  while (fifo >= 0 && ::read(fifo, &byte, 1) < 0 && errno == EINTR) {
  }
}
