#pragma once

#include <string>

/// What a page in headless Chromium answered: the value, or why there is none.
struct page_answer {
  bool ok = false;     ///< whether `value` holds the expression's answer
  std::string value;   ///< the expression's string value
  std::string error;   ///< why there is no value: the browser did not start, time ran out, ...
  double seconds = 0;  ///< from starting the browser until the answer, wall-clock
};

/// Opens `url` in a headless Chromium of its own (profile folder `profile`, a `width` x `height`
/// window, no virtual time) driven over its DevTools pipe, then evaluates the JavaScript
/// `expression` every 50 ms until it gives a string, and closes the browser. With `settle_s`
/// above 0 the started browser is left idle that many seconds before the page is opened, as a
/// browser already running is when a user opens a page in it. An error when the browser cannot
/// start or `timeout_s` seconds pass first (the settling counts towards them).
page_answer wait_in_chromium(const std::string& url, const std::string& profile,
                             const std::string& expression, int width, int height, double timeout_s,
                             double settle_s = 0);
