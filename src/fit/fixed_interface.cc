#include "fit/fixed_interface.h"

#include "reconstruction/fixed_interface.h"

bool apply_fit(const channel_fit& f, double& peak_time, double& peak_time_err, double& amplitude,
               double& amplitude_err, double& time_stamp, double& time_stamp_err) {
  peak_time = f.peak_time;
  peak_time_err = f.peak_time_err;
  if (f.usable_points == 0) return true;
  amplitude = f.amplitude;
  amplitude_err = f.amplitude_err;
  time_stamp = f.time_stamp;
  time_stamp_err = f.time_stamp_err;
  return f.converged;
}

bool get_rise_time(int channel, double& peak_time, double& peak_time_err, double& amplitude,
                   double& amplitude_err, double& time_stamp, double& time_stamp_err) {
  return apply_fit(fit_channel(snapshots[channel], peak_time), peak_time, peak_time_err, amplitude,
                   amplitude_err, time_stamp, time_stamp_err);
}
