#pragma once

/// The version of this build, stored with every result so that a new build analyses again.
const char* campaign_version();
