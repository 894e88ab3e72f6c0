#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "campaign/judge/acceptance.h"
#include "campaign/store/campaign_db.h"

/// What an opened chip shows of the recording judged: its points and its problems.
struct recording_detail {
  snapshot_table points;              ///< by channel, as stored
  std::vector<std::string> problems;  ///< recording_problems, in words
};

/// What the report shows besides the stored recordings.
struct report_input {
  std::string title;                            ///< names the campaign, e.g. the database's path
  std::string rule;                             ///< the acceptance rule in force, as sentences
  std::string vega;                             ///< the inline scripts that define `vega`
  acceptance_limits limits;                     ///< the limits in force, drawn on the distribution
  std::vector<chip_verdict> verdicts;           ///< per chip and configuration
  std::string opened_chip;                      ///< the chip open when the page loads; "" for none
  std::map<int64_t, recording_detail> details;  ///< by recording id, the recordings that can be
                                                ///< opened (see openable_recordings)
};

/// Campaigns of at most this many verdicts can open every chip; larger ones open the chips
/// that fail or need a retest, so that the page stays small.
inline constexpr size_t open_every_chip_up_to = 120;

/// The most chips that fail or need a retest whose pulses a report carries (the first by
/// chip): at some 100 kB of pulses per recording, the pulses of any campaign stay a few MB.
/// `varnel-campaign serve` opens every chip.
inline constexpr size_t max_pulse_chips = 12;

/// The ids of the recordings judged by `verdicts` whose pulses the report draws: those of
/// every chip that fails or needs a retest, up to max_pulse_chips of them, and every one when
/// there are no more than open_every_chip_up_to verdicts, and that of `chip` (any chip; ""
/// for none).
std::vector<int64_t> openable_recordings(const std::vector<chip_verdict>& verdicts,
                                         const std::string& chip);

/// The note a report shows on a chip it carries no pulses of, when openable_recordings left
/// some out of `verdicts`; "" when every failing and retest chip's are in it.
std::string pulses_note(const std::vector<chip_verdict>& verdicts);

/// Loads into `details` the points and problems of the recordings `ids` of `recordings`, judged
/// under `limits`; false with `error` when the database fails.
bool load_recording_details(campaign_db& db, const std::vector<stored_recording>& recordings,
                            const std::vector<int64_t>& ids, const acceptance_limits& limits,
                            std::map<int64_t, recording_detail>& details, std::string& error);

/// Every verdict of `verdicts` of the chips `carried` (every chip when null) as the page's data
/// carry them: chip, configuration, outcome, cause, flags, reasons, day, superseded tries.
nlohmann::json verdict_rows(const std::vector<stored_recording>& recordings,
                            const std::vector<chip_verdict>& verdicts,
                            const std::set<std::string>* carried);

/// The chip summaries `chips` of the chips `carried` (every chip when null) as the page's data
/// carry them: {"chip", "outcome", "reasons"}.
nlohmann::json chip_rows(const std::vector<chip_summary>& chips,
                         const std::set<std::string>* carried);

/// Each chip's channels characterised across configurations, as rows [chip, channel, gain
/// (ADC/mV), noise (mV), the reason it is flagged or "", offset (ADC)]; none when no channel
/// has a gain.
nlohmann::json characterisation_rows(const std::vector<stored_recording>& recordings,
                                     const acceptance_limits& limits);

/// The page's data as the report embeds it in #report-data (see docs/campaign.md, "The
/// report"): the whole campaign's totals and chart statistics, the verdicts, chips, heat-map
/// cells and gain figures of the chips carried (carried_chips, and `in.opened_chip`), what it
/// leaves out in words, and the opened recordings of `in.details`.
/// The whole campaign's lists that report_page_data carries a part of.
struct campaign_rows {
  nlohmann::json verdicts;          ///< every verdict, as verdict_rows
  nlohmann::json chips;             ///< every chip's summary, as chip_rows
  nlohmann::json characterisation;  ///< every characterisation row, as characterisation_rows
};

/// With `all`, the whole lists too, made once for both.
nlohmann::json report_page_data(const std::vector<stored_recording>& recordings,
                                const report_input& in, campaign_rows* all = nullptr);

/// An opened recording as report_page_data's "details" carry it: summary, fits, problems and
/// each channel's points.
nlohmann::json opened_recording_json(const stored_recording& r, const recording_detail& detail);

/// The page skeleton of src/campaign/report/page.html titled `title`, with Vega's scripts
/// `vega`, `data` as the text of #report-data ("" for a page that fetches it) and `script` as
/// its own script, run after the scripts every campaign page shares.
std::string report_page(const std::string& title, const std::string& vega, const std::string& data,
                        std::string_view script);

/// The text of the file `name` of src/campaign/report/ (e.g. "report.js"), embedded at build
/// time; "" for a name that is not one of them.
std::string_view report_file(std::string_view name);

/// The whole report as one HTML page that needs nothing but itself. Its skeleton, style,
/// script and Vega chart definitions are the files of src/campaign/report/, embedded at build
/// time; this fills in the campaign's data as JSON. The page's elements and attributes that
/// tests and scripts rely on are described in docs/campaign.md ("The report").
std::string report_html(const std::vector<stored_recording>& recordings, const report_input& in);

/// `text` with &, <, > and " escaped for HTML.
std::string html_escape(const std::string& text);
