// Runs of the tool on broken, hostile and degenerate recordings. Each checks the exit status,
// every line on standard error, that standard output stays empty, that the recording is left as
// it was, and what is in the directory afterwards: the new log, or the earlier log byte for byte,
// and never a temporary file.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "support/bench_recording.h"
#include "support/tool_run.h"

namespace {

const std::string chip = "7";
const std::string config = "20mV_delay-all";
const std::string log_name = "rise_time_korvi7_20mV_delay-all.log";
const std::string earlier_log = "An earlier log, which a failed run must leave as it is.\n";
const std::string corrupt = "Corrupt data, likely due to connection problems.";
const std::string header =
    "Channel #  Rise time (ns)         Amplitude (ADC)          Timestamp (ns)";

constexpr int events = 40;
constexpr size_t row_values_count = 32;
constexpr size_t all_values = size_t{events} * bench_event_spacing * row_values_count;

run_options in_dir(const std::string& dir) {
  run_options o;
  o.cwd = dir;
  return o;
}

const std::vector<int32_t>& plain_values() {
  static const std::vector<int32_t> values = bench_rows(events);
  return values;
}

std::vector<int32_t> first_values(size_t n) {
  return std::vector<int32_t>(plain_values().begin(), plain_values().begin() + n);
}

std::vector<int32_t> values_from(size_t n) {
  return std::vector<int32_t>(plain_values().begin() + n, plain_values().end());
}

std::string line_of_zeros(int channel) {
  std::string n = std::to_string(channel);
  return std::string(2 - n.size(), ' ') + n +
         "          0.00 +/- 0.00           0.00 +/- 0.00           0.00 +/- 0.00";
}

std::vector<std::string> split_lines(const std::string& text) {
  program_run r;
  r.err = text;
  return r.err_lines();
}

// The log that the tool writes for `text`, from a run that must succeed without a note.
std::string log_for(const std::string& text) {
  temp_dir dir;
  EXPECT_TRUE(write_file(dir / "rec.txt", text));
  program_run r = run_tool({chip, config, "rec.txt"}, in_dir(dir.path()));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  return read_file(dir / log_name).value_or("no log");
}

const std::string& plain_log() {
  static const std::string log = log_for(recording_text(plain_values()));
  return log;
}

// A value written with leading zeros to `digits` digits.
std::function<std::string(int32_t)> zero_padded(size_t digits) {
  return [digits](int32_t v) {
    std::string magnitude = std::to_string(v < 0 ? -static_cast<int64_t>(v) : v);
    std::string token(v < 0 ? "-" : "");
    token.append(digits - magnitude.size(), '0');
    token.append(magnitude);
    return token;
  };
}

// The plain recording with the value at index `at` (counted from 0) written as `token`.
std::string with_token(size_t at, const std::string& token) {
  return recording_text(first_values(at)) + token + " " + recording_text(values_from(at + 1));
}

// The plain recording with each value of every gap row replaced by `row(channel, value)`.
std::vector<int32_t> with_gap_rows(const std::function<int32_t(int channel, int32_t)>& row) {
  std::vector<int32_t> v = plain_values();
  for (size_t r = 0; r < v.size() / row_values_count; ++r)
    if (is_bench_gap(r))
      for (int ch = 0; ch < 32; ++ch) row_values(v, r)[ch] = row(ch, row_values(v, r)[ch]);
  return v;
}

// The plain recording with channel `channel` set by `value(row)` in every row.
std::vector<int32_t> with_channel(int channel, const std::function<int32_t(size_t row)>& value) {
  std::vector<int32_t> v = plain_values();
  for (size_t r = 0; r < v.size() / row_values_count; ++r) row_values(v, r)[channel] = value(r);
  return v;
}

std::string garbage(size_t size) {
  std::string s(size, '\0');
  uint32_t state = 7;
  for (char& c : s) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 24);
  }
  s[0] = '\xff';
  return s;
}

// The stop note for value `number` (counted from 1) of rec.txt.
std::string stopped(size_t number, const char* reason) {
  return "Reading stopped at value " + std::to_string(number) + " of rec.txt: " + reason + ".";
}

std::string incomplete(size_t values) {
  return "Last row of rec.txt is incomplete (" + std::to_string(values) +
         " of 32 values); it is ignored.";
}

// Where a broken token goes: into event 20, row 30 of it, as the row's value `in_row`.
size_t middle_value(size_t in_row) {
  return (20 * bench_event_spacing + 30) * 32 + in_row;
}

struct hostile_case {
  std::string name;
  // Puts "rec.txt" into the directory, or leaves it out.
  std::function<void(const std::string& dir)> make_input;
  int status;
  std::vector<std::string> err;
  // For a run that writes its log: what the log must be, when it is known.
  std::function<std::string()> expected_log;
};

// gtest prints the parameter in listings and failures; the case's name is what identifies it.
void PrintTo(const hostile_case& c, std::ostream* os) {
  *os << c.name;
}

std::function<void(const std::string&)> text(std::function<std::string()> make) {
  return [make](const std::string& dir) { ASSERT_TRUE(write_file(dir + "/rec.txt", make())); };
}

std::function<std::string()> log_of_rows(size_t rows) {
  return [rows] { return log_for(recording_text(first_values(rows * row_values_count))); };
}

std::function<std::string()> the_plain_log() {
  return [] { return plain_log(); };
}

std::vector<hostile_case> hostile_cases() {
  return {
      // Nothing to read, or nothing that the framing can use.
      {"EmptyFile", text([] { return std::string(); }), 1, {corrupt}, {}},
      {"OnlyWhitespace",
       text([] { return std::string(1000, ' ') + "\t\n\v\f\r\n"; }),
       1,
       {corrupt},
       {}},
      {"EveryChannelConstant",
       text([] { return recording_text(std::vector<int32_t>(all_values, 100)); }),
       1,
       {corrupt},
       {}},
      {"EveryChannelBelowTheThreshold",
       text([] { return recording_text(std::vector<int32_t>(all_values, 29)); }),
       1,
       {corrupt},
       {}},
      {"GapsOnly",
       text([] {
         std::vector<int32_t> row(32, 5);
         for (int ch = 21; ch < 32; ++ch) row[ch] = 100;
         std::vector<int32_t> v;
         for (size_t r = 0; r < all_values / 32; ++r) v.insert(v.end(), row.begin(), row.end());
         return recording_text(v);
       }),
       1,
       {corrupt},
       {}},
      {"NoGapEver",
       text([] { return recording_text(with_gap_rows([](int ch, int32_t) { return 100 + ch; })); }),
       1,
       {corrupt},
       {}},
      {"GapRowsOneLowValueShort",
       text([] {
         return recording_text(with_gap_rows([](int ch, int32_t v) { return ch < 20 ? v : 100; }));
       }),
       1,
       {corrupt},
       {}},

      // Input that is no recording at all.
      {"Directory",
       [](const std::string& dir) { ASSERT_EQ(::mkdir((dir + "/rec.txt").c_str(), 0755), 0); },
       1,
       {"Cannot open file named rec.txt."},
       {}},
      {"MissingFile", [](const std::string&) {}, 1, {"Cannot open file named rec.txt."}, {}},
      {"BinaryGarbage",
       text([] { return garbage(100000); }),
       1,
       {stopped(1, "not a number"), corrupt},
       {}},
      {"NulByteFirst",
       text([] { return std::string(1, '\0') + recording_text(plain_values()); }),
       1,
       {stopped(1, "not a number"), corrupt},
       {}},
      {"MillionDigitNumber",
       text([] { return std::string(1000000, '9') + "\n"; }),
       1,
       {stopped(1, "number out of range"), corrupt},
       {}},
      {"MillionDigitZero",
       text([] { return std::string(1000000, '0') + "\n"; }),
       1,
       {incomplete(1), corrupt},
       {}},

      // Damage part way: what came before stands.
      {"NulByteInTheMiddle",
       text([] {
         std::string s = recording_text(first_values(middle_value(5)));
         s.back() = '\0';
         return s + recording_text(values_from(middle_value(5)));
       }),
       0,
       {stopped(middle_value(5) + 1, "not a number"), incomplete(5)},
       log_of_rows(middle_value(0) / 32)},
      {"GarbageAfterTheRecording",
       text([] { return recording_text(plain_values()) + garbage(5000); }),
       0,
       {stopped(all_values + 1, "not a number")},
       the_plain_log()},
      {"CutInTheMiddleOfANumber",
       text([] {
         std::string last = std::to_string(plain_values()[middle_value(9)]);
         return recording_text(first_values(middle_value(9))) + last.substr(0, last.size() - 1);
       }),
       0,
       {incomplete(10)},
       log_of_rows(middle_value(0) / 32)},
      {"TenDigitsOutOfRange",
       text([] { return with_token(middle_value(3), "2147483648"); }),
       0,
       {stopped(middle_value(3) + 1, "number out of range"), incomplete(3)},
       log_of_rows(middle_value(0) / 32)},
      {"TenDigitsBelowTheRange",
       text([] { return with_token(middle_value(3), "-2147483649"); }),
       0,
       {stopped(middle_value(3) + 1, "number out of range"), incomplete(3)},
       log_of_rows(middle_value(0) / 32)},
      {"ElevenDigitsOutOfRange",
       text([] { return with_token(middle_value(0), "99999999999"); }),
       0,
       {stopped(middle_value(0) + 1, "number out of range")},
       log_of_rows(middle_value(0) / 32)},
      {"FortyDigitsOutOfRange",
       text([] { return with_token(middle_value(31), std::string("1").append(39, '0')); }),
       0,
       {stopped(middle_value(31) + 1, "number out of range"), incomplete(31)},
       log_of_rows(middle_value(0) / 32)},

      // Long numbers that are in range: read as their value.
      {"ElevenDigitValues",
       text([] { return recording_text(plain_values(), zero_padded(11)); }),
       0,
       {},
       the_plain_log()},
      {"FortyDigitValues",
       text([] { return recording_text(plain_values(), zero_padded(40)); }),
       0,
       {},
       the_plain_log()},
      {"MillionDigitValue",
       text([] { return std::string(1000000, '0') + recording_text(plain_values()); }),
       0,
       {},
       the_plain_log()},

      // Values at the 32-bit limits, where the framing looks but nothing is binned.
      {"GapRowsAtTheLimits",
       text([] {
         return recording_text(
             with_gap_rows([](int ch, int32_t) { return ch < 21 ? INT32_MIN : INT32_MAX; }));
       }),
       0,
       {},
       the_plain_log()},
      {"TenDigitLimitsInTheGap",
       text([] {
         std::string s = recording_text(first_values(2 * 32));
         s += "-2147483648 2147483647 ";
         return s + recording_text(values_from(2 * 32 + 2));
       }),
       0,
       {},
       the_plain_log()},
  };
}

class HostileInput : public testing::TestWithParam<hostile_case> {};

TEST_P(HostileInput, EndsAsTheRulesSay) {
  const hostile_case& c = GetParam();
  temp_dir dir;
  c.make_input(dir.path());
  std::optional<std::string> input = read_file(dir / "rec.txt");
  bool writes_log = c.status == 0;
  if (!writes_log) {
    ASSERT_TRUE(write_file(dir / log_name, earlier_log));
  }
  std::set<std::string> before = tree(dir.path());

  program_run r = run_tool({chip, config, "rec.txt"}, in_dir(dir.path()));

  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.err_lines(), c.err);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(read_file(dir / "rec.txt"), input);
  std::set<std::string> after = before;
  after.insert(log_name);
  EXPECT_EQ(tree(dir.path()), after);
  std::string log = read_file(dir / log_name).value_or("no log");
  if (!writes_log) {
    EXPECT_EQ(log, earlier_log);
    return;
  }
  std::vector<std::string> lines = split_lines(log);
  ASSERT_EQ(lines.size(), 33u);
  EXPECT_EQ(lines[0], header);
  if (c.expected_log) {
    EXPECT_EQ(log, c.expected_log());
  }
}

INSTANTIATE_TEST_SUITE_P(Catalogue, HostileInput, testing::ValuesIn(hostile_cases()),
                         [](const testing::TestParamInfo<hostile_case>& param) {
                           return param.param.name;
                         });

// Runs on the plain recording changed by `change`; the log, which must be written with exactly
// the notes `expected_err`.
std::vector<std::string> log_lines_with(const std::vector<int32_t>& values,
                                        std::vector<std::string> expected_err = {}) {
  temp_dir dir;
  EXPECT_TRUE(write_file(dir / "rec.txt", recording_text(values)));
  program_run r = run_tool({chip, config, "rec.txt"}, in_dir(dir.path()));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err_lines(), expected_err);
  EXPECT_EQ(tree(dir.path()), (std::set<std::string>{"rec.txt", log_name}));
  return split_lines(read_file(dir / log_name).value_or(""));
}

TEST(DegenerateChannels, AChannelStuckAtALimitHasNoPointsToFitAndTheOthersAreUnchanged) {
  std::vector<std::string> plain = split_lines(plain_log());
  ASSERT_EQ(plain.size(), 33u);
  for (int32_t limit : {INT32_MAX, INT32_MIN}) {
    SCOPED_TRACE(limit);
    std::vector<std::string> lines = log_lines_with(
        with_channel(5, [limit](size_t) { return limit; }), {"Channel 5 has no point to fit."});
    ASSERT_EQ(lines.size(), 33u);
    for (int ch = 0; ch < 32; ++ch)
      EXPECT_EQ(lines[ch + 1], ch == 5 ? line_of_zeros(5) : plain[ch + 1]) << "channel " << ch;
  }
}

TEST(DegenerateChannels, ChannelsConstantBetweenTheGapsGiveALogOfZeros) {
  std::vector<int32_t> v = plain_values();
  for (size_t r = 0; r < v.size() / 32; ++r)
    if (!is_bench_gap(r))
      for (int ch = 0; ch < 32; ++ch) row_values(v, r)[ch] = 100 + ch;
  std::vector<std::string> every_channel;
  for (int ch = 0; ch < 32; ++ch) {
    std::string note = "Channel ";
    note += std::to_string(ch);
    note += " has no point to fit.";
    every_channel.push_back(note);
  }
  std::vector<std::string> lines = log_lines_with(v, every_channel);
  ASSERT_EQ(lines.size(), 33u);
  EXPECT_EQ(lines[0], header);
  for (int ch = 0; ch < 32; ++ch) EXPECT_EQ(lines[ch + 1], line_of_zeros(ch));
}

TEST(DegenerateChannels, AChannelWithTooFewVaryingPointsFailsItsFitWhichIsNoted) {
  // Channel 5 is flat but for two rows of every event that differ from one event to the next:
  // two usable points, fewer than the fit's three free parameters.
  std::vector<int32_t> v = plain_values();
  for (size_t r = 0; r < v.size() / 32; ++r) {
    if (is_bench_gap(r)) continue;
    size_t in_event = r % bench_event_spacing;
    bool varies = in_event == 60 || in_event == 61;
    row_values(v, r)[5] =
        varies ? 105 + static_cast<int32_t>(r / bench_event_spacing % 2) * 10 : 105;
  }
  std::vector<std::string> plain = split_lines(plain_log());
  std::vector<std::string> lines = log_lines_with(v, {"Channel 5 has too few points to fit (2)."});
  ASSERT_EQ(lines.size(), 33u);
  ASSERT_EQ(plain.size(), 33u);
  for (int ch = 0; ch < 32; ++ch) {
    if (ch == 5) continue;
    EXPECT_EQ(lines[ch + 1], plain[ch + 1]) << "channel " << ch;
  }
}

TEST(Usage, FewerThanThreeArgumentsPrintTheUsageAndTouchNothing) {
  const std::string rest =
      "Syntax should be:\n./varnel.exe chipstring config adcfilename\nExample:\n./varnel.exe "
      "100000 20mV_delay-all "
      "/home/frell/robot/20180725/123510_korvi100000/"
      "123510_korvi100000_dessel00_link00_20mV_delay-all_adc.txt\n";
  std::vector<std::vector<std::string>> short_args = {{}, {"7"}, {"7", config}};
  for (const std::vector<std::string>& args : short_args) {
    temp_dir dir;
    ASSERT_TRUE(write_file(dir / "rec.txt", "1 2 3\n"));
    program_run r = run_tool(args, in_dir(dir.path()));
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out,
              "Not enough arguments: argc = " + std::to_string(args.size() + 1) + "\n" + rest);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(tree(dir.path()), std::set<std::string>{"rec.txt"});
  }
}

// The recording without read permission: as a user, directly; as root, who may read anything,
// through a copy of the tool run as "nobody" in a directory that anyone may write.
TEST(Permissions, AnUnreadableRecordingIsNotOpenedAndNothingIsWritten) {
  temp_dir dir;
  ASSERT_TRUE(write_file(dir / "rec.txt", recording_text(plain_values())));
  ASSERT_TRUE(write_file(dir / log_name, earlier_log));
  ASSERT_EQ(::chmod((dir / "rec.txt").c_str(), 0200), 0);
  run_options options = in_dir(dir.path());
  std::optional<std::string> exe = unprivileged_tool(options, dir);
  if (!exe) GTEST_SKIP() << "running as root and there is no user nobody";
  if (!exe->empty()) {
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);  // so that nobody may write it
  }
  std::set<std::string> before = tree(dir.path());
  program_run r = run_tool({chip, config, "rec.txt"}, options, *exe);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err_lines(), std::vector<std::string>{"Cannot open file named rec.txt."});
  EXPECT_EQ(tree(dir.path()), before);
  EXPECT_EQ(read_file(dir / log_name), earlier_log);
}

TEST(ReadErrors, AnInputFailingWithAnIOErrorIsReportedAndWritesNothing) {
  // The process's own memory reads with EIO at offset 0, where nothing is mapped.
  temp_dir dir;
  program_run r = run_tool({chip, config, "/proc/self/mem"}, in_dir(dir.path()));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err_lines(), std::vector<std::string>{"Cannot read file named /proc/self/mem."});
  EXPECT_EQ(tree(dir.path()), std::set<std::string>{});
}

TEST(OtherPaths, AnEmptyPathAndDeviceFilesFailWithoutWritingAnything) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"", {"Cannot open file named ."}},
      {"/dev/null", {corrupt}},
      {"/dev/zero", {"Reading stopped at value 1 of /dev/zero: not a number.", corrupt}},
  };
  for (const auto& [path, err] : cases) {
    SCOPED_TRACE(path);
    temp_dir dir;
    program_run r = run_tool({chip, config, path}, in_dir(dir.path()));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err_lines(), err);
    EXPECT_EQ(tree(dir.path()), std::set<std::string>{});
  }
}

TEST(LogFailures, ALogPathTakenByADirectoryIsReportedAndTheDirectoryKept) {
  temp_dir dir;
  ASSERT_TRUE(write_file(dir / "rec.txt", recording_text(plain_values())));
  ASSERT_EQ(::mkdir((dir / log_name).c_str(), 0755), 0);
  ASSERT_TRUE(write_file(dir / (log_name + "/inside"), earlier_log));
  std::set<std::string> before = tree(dir.path());
  program_run r = run_tool({chip, config, "rec.txt"}, in_dir(dir.path()));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err_lines(),
            std::vector<std::string>{"Cannot write log file named ./" + log_name + "."});
  EXPECT_EQ(tree(dir.path()), before);
  EXPECT_EQ(read_file(dir / (log_name + "/inside")), earlier_log);
}

TEST(LogFailures, ALogThatCannotBeWrittenWholeLeavesTheEarlierOne) {
  // With files limited to 1000 bytes the log, some 2400 bytes, fails part way.
  temp_dir dir;
  ASSERT_TRUE(write_file(dir / "rec.txt", recording_text(plain_values())));
  ASSERT_TRUE(write_file(dir / log_name, earlier_log));
  std::set<std::string> before = tree(dir.path());
  run_options limited = in_dir(dir.path());
  limited.file_size_limit = 1000;
  program_run r = run_tool({chip, config, "rec.txt"}, limited);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err_lines(),
            std::vector<std::string>{"Cannot write log file named ./" + log_name + "."});
  EXPECT_EQ(tree(dir.path()), before);
  EXPECT_EQ(read_file(dir / log_name), earlier_log);
}

}  // namespace
