#include "fit/channel_fields.h"

#include <array>
#include <cmath>
#include <limits>

namespace {

using F = channel_fit;

// Where a field goes beside the run's JSON and the database, which carry every one.
enum : unsigned { json_and_database = 0, csv = 1, page = 2 };

constexpr channel_field real(const char* name, const char* unit, const char* meaning, int since,
                             double F::*member, unsigned also = json_and_database) {
  return {name,  unit, meaning, field_type::real, since, (also & csv) != 0, (also & page) != 0,
          member};
}

constexpr channel_field count(const char* name, const char* meaning, int since, int F::*member,
                              unsigned also = json_and_database) {
  return {name,    "",    meaning, field_type::count, since, (also & csv) != 0, (also & page) != 0,
          nullptr, member};
}

constexpr channel_field flag(const char* name, const char* meaning, int since, bool F::*member,
                             unsigned also = json_and_database) {
  return {name,    "",      meaning, field_type::flag, since, (also & csv) != 0, (also & page) != 0,
          nullptr, nullptr, member};
}

const std::array<channel_field, 26> fields = {{
    real("rise_time", "ns", "fitted peak time, the log's first column", 1, &F::peak_time,
         csv | page),
    real("rise_time_err", "ns", "its error", 1, &F::peak_time_err, csv),
    real("amplitude", "ADC", "fitted pulse height above the baseline", 1, &F::amplitude,
         csv | page),
    real("amplitude_err", "ADC", "its error", 1, &F::amplitude_err, csv),
    real("time_stamp", "ns", "fitted pulse start", 1, &F::time_stamp, csv | page),
    real("time_stamp_err", "ns", "its error", 1, &F::time_stamp_err, csv),
    real("chi2", "", "chi2 of the fit", 1, &F::chi2, csv | page),
    count("ndf", "degrees of freedom of the fit", 1, &F::ndf, csv | page),
    count("usable_points", "points with an error above the usable limit", 1, &F::usable_points,
          csv),
    count("fitted_points", "usable points inside the fit range", 1, &F::fitted_points, csv),
    flag("converged", "the fit reached its minimum", 1, &F::converged, csv),
    {"verdict", "", "what the fit is worth: good, or why not", field_type::verdict, 1, true, true,
     nullptr, nullptr, nullptr, &F::verdict},
    real("fit_min", "ns", "start of the fit range", 1, &F::xmin, page),
    real("fit_max", "ns", "end of the fit range", 1, &F::xmax, page),
    real("noise", "ADC", "spread of one sample where no pulse is", 2, &F::noise, csv),
    real("significance", "", "square root of the chi2 the pulse removes against none", 2,
         &F::significance),
    real("scatter", "ADC", "robust spread of the fitted points about the model", 2, &F::scatter),
    real("seen_height", "ADC", "largest model value at the fitted points", 2, &F::seen_height),
    count("pulse_points", "fitted points where the model stands 3 scatters above zero", 2,
          &F::pulse_points),
    count("clipped_points", "points at a constant ceiling, left out of the fit", 2,
          &F::clipped_points),
    count("fits_run", "minimisations run, one per start tried", 2, &F::fits_run),
    flag("minimised", "a minimisation ran (enough usable points)", 2, &F::minimised),
    {"replaced_verdict", "", "the verdict that too few events replaced, judged from the points",
     field_type::optional_verdict, 2, false, false, nullptr, nullptr, nullptr, nullptr,
     &F::replaced_verdict},
    real("misfit", "fraction",
         "RMS deviation of the points from the fitted shape beyond their errors, over the "
         "amplitude",
         3, &F::misfit, csv | page),
    real("pedestal", "ADC", "mean raw reading of the baseline samples", 3, &F::pedestal,
         csv | page),
    real("headroom", "ADC",
         "distance of the averaged readings, pulse included, to the nearer end of the ADC's range",
         3, &F::headroom, csv | page),
}};

}  // namespace

std::span<const channel_field> channel_fields() {
  return fields;
}

const channel_field* channel_field_named(std::string_view name) {
  for (const channel_field& f : fields)
    if (name == f.name) return &f;
  return nullptr;
}

double field_number(const channel_field& field, const channel_fit& f) {
  switch (field.type) {
    case field_type::real:
      return f.*field.real;
    case field_type::count:
      return f.*field.count;
    case field_type::flag:
      return f.*field.flag ? 1.0 : 0.0;
    case field_type::verdict:
    case field_type::optional_verdict:
      break;
  }
  return std::numeric_limits<double>::quiet_NaN();
}

std::string_view field_verdict_name(const channel_field& field, const channel_fit& f) {
  if (field.type == field_type::verdict) return verdict_name(f.*field.verdict);
  if (field.type == field_type::optional_verdict && f.*field.optional_verdict)
    return verdict_name(*(f.*field.optional_verdict));
  return {};
}

void set_field_number(const channel_field& field, channel_fit& f, double v) {
  switch (field.type) {
    case field_type::real:
      f.*field.real = v;
      break;
    case field_type::count:
      f.*field.count = std::isfinite(v) ? static_cast<int>(v) : 0;
      break;
    case field_type::flag:
      f.*field.flag = v != 0 && !std::isnan(v);
      break;
    case field_type::verdict:
    case field_type::optional_verdict:
      break;
  }
}

void set_field_verdict(const channel_field& field, channel_fit& f, std::string_view name,
                       fit_verdict unknown) {
  if (field.type == field_type::optional_verdict) {
    f.*field.optional_verdict =
        name.empty() ? std::nullopt : std::optional(verdict_named(name).value_or(unknown));
  } else if (field.type == field_type::verdict) {
    f.*field.verdict = verdict_named(name).value_or(unknown);
  }
}
