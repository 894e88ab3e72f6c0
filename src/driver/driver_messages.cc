#include "driver/driver_messages.h"

std::string usage_text(int argc) {
  const std::string first = "Not enough arguments: argc = " + std::to_string(argc) +
                            "\nSyntax should be:\n./varnel.exe chipstring config adcfilename\n";
  return first +
         "Example:\n./varnel.exe 100000 20mV_delay-all "
         "/home/frell/robot/20180725/123510_korvi100000/"
         "123510_korvi100000_dessel00_link00_20mV_delay-all_adc.txt\n";
}
