#pragma once

#include <functional>
#include <string_view>

/// For tests that must stop a run at one exact step, which timing alone would catch seldom:
/// when the environment variable VARNEL_CAMPAIGN_HOLD is "STEP:PATH" and STEP is `step`, waits
/// for one byte from PATH, a FIFO opened at the first such step and kept open. Returns at once
/// otherwise, and for good once the writer has closed the FIFO or it cannot be opened. Runs
/// `before` first when it holds.
void hold_for_test(std::string_view step, const std::function<void()>& before = {});
