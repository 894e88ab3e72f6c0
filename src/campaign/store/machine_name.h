#pragma once

#include <string>

/// The environment variable that names this machine in the campaign, over its host name: for
/// benches that share a host name, and for tests that stand for several benches.
inline constexpr const char* machine_variable = "VARNEL_CAMPAIGN_MACHINE";

/// The name a recording analysed here is stored under, beside its path: $VARNEL_CAMPAIGN_MACHINE
/// when set and not empty, else the host name ("localhost" when there is none).
std::string machine_name();
