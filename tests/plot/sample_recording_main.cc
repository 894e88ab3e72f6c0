// Writes a sample recording for the demo: sample-recording PATH [EVENTS [DEAD_CHANNEL]].
#include <cstdio>
#include <cstdlib>

#include "plot/test_recording.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("Syntax: sample-recording PATH [EVENTS [DEAD_CHANNEL]]\n", stderr);
    return 2;
  }
  test_recording r;
  if (argc > 2) r.events = std::atoi(argv[2]);
  if (argc > 3) r.dead_channels.insert(std::atoi(argv[3]));
  if (!write_recording_file(r, argv[1])) {
    std::fprintf(stderr, "Cannot write %s.\n", argv[1]);
    return 1;
  }
  return 0;
}
