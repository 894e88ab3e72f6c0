#pragma once

/// The project's version, stored with every result so that a new version analyses again.
const char* campaign_version();
