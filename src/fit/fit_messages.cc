#include "fit/fit_messages.h"

std::string fit_not_converged(int channel) {
  return "Fit of channel " + std::to_string(channel) + " did not converge.";
}
