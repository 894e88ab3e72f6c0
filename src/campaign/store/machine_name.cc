#include "campaign/store/machine_name.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>

std::string machine_name() {
  const char* given = std::getenv(machine_variable);
  if (given && *given) return given;
  char host[HOST_NAME_MAX + 1] = {};
  if (::gethostname(host, sizeof host - 1) != 0 || !*host) return "localhost";
  return host;
}
