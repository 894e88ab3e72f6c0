#pragma once

// The layout of a bench-test recording and of the delay scan it holds.

/// Values per sampling instant: one per channel, channels 0 to 31 in order.
inline constexpr int channel_count = 32;
/// Rows per pulse window, and the spacing in rows of successive test pulses in an event.
inline constexpr int samples_per_step = 15;
/// The sample index of the row that closes an event (an event spans event_length + 1 rows).
inline constexpr int event_length = 206;
/// A value below this (signed) is low.
inline constexpr int low_threshold = 30;
/// A row with at least this many low values is a gap row.
inline constexpr int sync_min_low = 21;
/// Rows read after a first gap row while searching; the last of them must be a gap row too.
inline constexpr int confirmation_distance = 3;
/// The ADC sampling period, in ns.
inline constexpr int sampling_period_ns = 200;
/// The lowest reading the ADC gives, ADC counts.
inline constexpr int adc_lowest = 0;
/// The highest reading the ADC gives, ADC counts.
inline constexpr int adc_highest = 4095;
/// The samples at the start of every pulse window that come before its pulse: the baseline.
inline constexpr int baseline_samples = 3;
