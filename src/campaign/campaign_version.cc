#include "campaign/campaign_version.h"

const char* campaign_version() {
  return VARNEL_VERSION;
}
