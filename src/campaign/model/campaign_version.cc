#include "campaign/model/campaign_version.h"

#include "varnel_version.h"

const char* campaign_version() {
  return varnel_version;
}
