#include "fit/fit_verdict.h"

#include <array>

namespace {

// A verdict's names and words.
struct verdict_text {
  std::string_view name, words, label;
};

// By the enumerators' order.
constexpr std::array<verdict_text, 9> verdict_texts = {{
    {"good", "good", ""},
    {"no_usable_points", "no usable points", "no usable points"},
    {"too_few_points", "too few points to fit", "too few points"},
    {"no_pulse", "no pulse", "no pulse"},
    {"saturated", "saturated", "saturated"},
    {"poor_fit", "poor fit", "poor fit"},
    {"not_converged", "fit did not converge", "not converged"},
    {"unphysical", "unphysical fit", "unphysical"},
    {"few_events", "too few events for trustworthy errors", "too few events"},
}};

// The text of `v`; an out-of-range value gets "unknown" for each.
const verdict_text& text_of(fit_verdict v) {
  static constexpr verdict_text unknown = {"unknown", "unknown", "unknown"};
  const auto i = static_cast<size_t>(v);
  return i < verdict_texts.size() ? verdict_texts[i] : unknown;
}

}  // namespace

std::string_view verdict_name(fit_verdict v) {
  return text_of(v).name;
}

std::string_view verdict_words(fit_verdict v) {
  return text_of(v).words;
}

std::string_view verdict_label(fit_verdict v) {
  return text_of(v).label;
}

std::optional<fit_verdict> verdict_named(std::string_view name) {
  for (size_t i = 0; i < verdict_texts.size(); ++i)
    if (verdict_texts[i].name == name) return static_cast<fit_verdict>(i);
  return std::nullopt;
}
