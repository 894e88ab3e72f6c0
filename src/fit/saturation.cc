#include "fit/saturation.h"

#include <cmath>

#include "fit/rise_time_fit.h"

namespace {

bool without_spread(const snapshot_point& p) {
  return std::isfinite(p.first) && std::isfinite(p.second.first) &&
         !(p.second.second > min_usable_error);
}

// The points at the extreme of `sign` (+1 the top, -1 the bottom), or none.
std::vector<bool> ceiling_in_direction(const channel_points& points, int sign) {
  std::vector<bool> marked(points.size(), false);
  const snapshot_point* extreme = nullptr;
  for (const snapshot_point& p : points)
    if (std::isfinite(p.second.first) &&
        (!extreme || sign * p.second.first > sign * extreme->second.first))
      extreme = &p;
  if (!extreme || !without_spread(*extreme)) return marked;
  double level = sign * extreme->second.first;
  int flat = 0, near = 0;
  double first = extreme->first, last = extreme->first;
  for (const snapshot_point& p : points) {
    if (!std::isfinite(p.second.first) || sign * p.second.first < level - ceiling_tolerance)
      continue;
    ++near;
    if (!without_spread(p)) continue;
    ++flat;
    first = std::min(first, p.first);
    last = std::max(last, p.first);
  }
  if (flat < min_ceiling_points || 2 * flat < near) return marked;
  for (size_t i = 0; i < points.size(); ++i) {
    const snapshot_point& p = points[i];
    bool at_level =
        std::isfinite(p.second.first) && sign * p.second.first >= level - ceiling_tolerance;
    bool inside = p.first >= first - ceiling_time_margin && p.first <= last + ceiling_time_margin;
    marked[i] = at_level || inside;
  }
  return marked;
}

}  // namespace

std::vector<bool> ceiling_points(const channel_points& points) {
  std::vector<bool> top = ceiling_in_direction(points, +1);
  for (bool b : top)
    if (b) return top;
  return ceiling_in_direction(points, -1);
}
