#include "common/processors.h"

#include <sched.h>

int usable_processors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return CPU_COUNT(&set) > 0 ? CPU_COUNT(&set) : 1;
}
