#include "plot/plot_messages.h"

std::string cannot_write_plot(const std::string& path) {
  return "Cannot write plot file named " + path + ".";
}

std::string cannot_write_results(const std::string& path) {
  return "Cannot write results file named " + path + ".";
}
