#include "driver/driver_messages.h"

#include <cstdio>

std::string usage_text(int argc) {
  char first[160];
  std::snprintf(
      first, sizeof first,
      "Not enough arguments: argc = %d\nSyntax should be:\n./varnel.exe chipstring config "
      "adcfilename\n",
      argc);
  return std::string(first) +
         "Example:\n./varnel.exe 100000 20mV_delay-all "
         "/home/frell/robot/20180725/123510_korvi100000/"
         "123510_korvi100000_dessel00_link00_20mV_delay-all_adc.txt\n";
}
