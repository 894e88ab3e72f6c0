#include "fit/saturation.h"

#include <algorithm>
#include <cmath>

#include "fit/rise_time_fit.h"

namespace {

bool finite_point(const snapshot_point& p) {
  return std::isfinite(p.first) && std::isfinite(p.second.first);
}

bool without_spread(const snapshot_point& p) {
  return finite_point(p) && !(p.second.second > min_usable_error);
}

// The points at the extreme of `sign` (+1 the top, -1 the bottom), or none. A clipped stretch
// of a pulse is one run of neighbours in time, all at the level of the extreme, most of them
// without spread; a lone sample of alike readings elsewhere is not.
std::vector<bool> ceiling_in_direction(const channel_points& points, int sign) {
  std::vector<bool> marked(points.size(), false);
  // The extreme point, the earliest in time among equals, found before any sorting: in most
  // channels it has a spread or stands low, and there is no ceiling to look for.
  size_t extreme = points.size();
  for (size_t i = 0; i < points.size(); ++i) {
    if (!finite_point(points[i])) continue;
    if (extreme == points.size()) {
      extreme = i;
      continue;
    }
    const double h = sign * points[i].second.first, best = sign * points[extreme].second.first;
    if (h > best || (h == best && points[i].first < points[extreme].first)) extreme = i;
  }
  if (extreme == points.size() || !without_spread(points[extreme]) ||
      sign * points[extreme].second.first < min_ceiling_height)
    return marked;
  std::vector<size_t> order;
  for (size_t i = 0; i < points.size(); ++i)
    if (finite_point(points[i])) order.push_back(i);
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return points[a].first < points[b].first; });
  auto height = [&](size_t k) { return sign * points[order[k]].second.first; };
  const size_t top =
      static_cast<size_t>(std::find(order.begin(), order.end(), extreme) - order.begin());
  const double level = height(top) - ceiling_tolerance;
  size_t first = top, last = top;
  while (first > 0 && height(first - 1) >= level) --first;
  while (last + 1 < order.size() && height(last + 1) >= level) ++last;
  int flat = 0;
  for (size_t k = first; k <= last; ++k) flat += without_spread(points[order[k]]);
  const int run = static_cast<int>(last - first + 1);
  if (flat < min_ceiling_points || 2 * flat < run) return marked;
  const double from = points[order[first]].first - ceiling_time_margin;
  const double to = points[order[last]].first + ceiling_time_margin;
  for (size_t i : order) marked[i] = points[i].first >= from && points[i].first <= to;
  return marked;
}

}  // namespace

std::vector<bool> ceiling_points(const channel_points& points) {
  std::vector<bool> top = ceiling_in_direction(points, +1);
  if (std::find(top.begin(), top.end(), true) != top.end()) return top;
  return ceiling_in_direction(points, -1);
}
