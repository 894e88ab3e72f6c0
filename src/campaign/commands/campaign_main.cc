// varnel-campaign: every recording of a test campaign in one database, a verdict per chip, one
// report.

#include "campaign/commands/campaign_commands.h"

int main(int argc, char** argv) {
  return campaign_command(argc, argv);
}
