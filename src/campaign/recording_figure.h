#pragma once

#include <string>

#include "campaign/campaign_db.h"

/// Draws the stored recording `r` (its 32 pulses and fits, as varnel-plot draws a run) with the
/// points stored for it, as PNG bytes. False, with a one-line reason, when the points cannot be
/// loaded or the picture cannot be drawn.
bool recording_png(campaign_db& db, const stored_recording& r, std::string& png,
                   std::string& error);

/// `bytes` in base64 (RFC 4648, with padding).
std::string base64(const std::string& bytes);
