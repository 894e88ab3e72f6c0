#pragma once

#include <string>

#include "campaign/judge/acceptance.h"

/// The cause a person would file a failing or retest verdict under: "dead channel",
/// "saturation", "bad fit", "rise time", "amplitude", "time stamp", "noise", "fit errors",
/// "negative pulse", "pedestal", "headroom", "misfit" (as "bad fit"), "damaged recording",
/// "too few events", "gaps in the pulse window", "wrong configuration" or "not analysed"; for a
/// fail, the cause most of its flagged channels share (the first such on a tie). "" for a pass or a
/// verdict not judged.
std::string failure_cause(const chip_verdict& v);
