#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "fit/fit_verdict.h"
#include "fit/rise_time_fit.h"

// Every field of a channel's result, declared once: the run's JSON, the campaign database's
// columns and their upgrade, the CSV and the report's data are all made from this table, under
// these names.

/// How a field is held in channel_fit.
enum class field_type {
  real,              ///< a double; NaN where it was not measured
  count,             ///< an int
  flag,              ///< a bool
  verdict,           ///< a fit_verdict, by its name
  optional_verdict,  ///< a fit_verdict or none
};

/// One field of channel_fit.
struct channel_field {
  const char* name;     ///< the one name in every output, e.g. "rise_time"
  const char* unit;     ///< "ns", "ADC", "fraction", "" for counts, flags and verdicts
  const char* meaning;  ///< one line, for the documentation and the outputs' descriptions
  field_type type;
  /// The campaign database's schema version that first stored it: 1 the first, 2 the fit's
  /// evidence and the noise, 3 the misfit, pedestal and headroom. A database of an earlier
  /// version gains it as a column in its upgrade, NULL in the rows stored before. A field of
  /// version 1 that is not real is stored NOT NULL.
  int since;
  bool exported = false;  ///< a column of the campaign's CSV export, in the table's order
  bool shown = false;     ///< in the report's data of an opened chip
  double channel_fit::*real = nullptr;
  int channel_fit::*count = nullptr;
  bool channel_fit::*flag = nullptr;
  fit_verdict channel_fit::*verdict = nullptr;
  std::optional<fit_verdict> channel_fit::*optional_verdict = nullptr;
};

/// Every field, in the order of the campaign database's columns.
std::span<const channel_field> channel_fields();

/// The field called `name`; null for any other name.
const channel_field* channel_field_named(std::string_view name);

/// The field's value in `f` as a double: a count or flag as its number, a verdict as NaN.
double field_number(const channel_field& field, const channel_fit& f);

/// The field's value in `f` as a verdict's name ("" for none); "" for a field that is no verdict.
std::string_view field_verdict_name(const channel_field& field, const channel_fit& f);

/// Sets a numeric field (real, count, flag) of `f` to `v`; a count or flag from a whole number.
void set_field_number(const channel_field& field, channel_fit& f, double v);

/// Sets a verdict field of `f` from its name: `name` empty gives none for an optional verdict;
/// an unknown name gives `unknown`.
void set_field_verdict(const channel_field& field, channel_fit& f, std::string_view name,
                       fit_verdict unknown);
