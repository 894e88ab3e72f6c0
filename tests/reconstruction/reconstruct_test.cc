#include "reconstruction/reconstruct.h"

#include <gtest/gtest.h>

#include "support/rows.h"

namespace {

struct outcome {
  bool ok;
  snapshot_table table;
  reconstruction_summary summary;
  diagnostics notes;
};

outcome run(const std::string& text, int window_offset = 15, int skipped = 0,
            int delay_steps = 10) {
  memory_source source(text, 4096);
  outcome o{};
  o.ok = reconstruct(source, "rec.txt", 20.0, window_offset, delay_steps, skipped, o.table,
                     o.summary, o.notes);
  return o;
}

TEST(Reconstruct, ReportsARecordingWithoutEventsAndKeepsZeroPoints) {
  for (const std::string& text : {std::string(), std::string("  \n\t"),
                                  row_stream().data(500).text(), row_stream().gap(400).text()}) {
    outcome o = run(text);
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.notes, diagnostics{"Corrupt data, likely due to connection problems."});
    ASSERT_EQ(o.table.size(), 32u);
    for (const channel_points& ch : o.table) {
      ASSERT_EQ(ch.size(), 150u);
      for (const snapshot_point& p : ch) EXPECT_EQ(p, snapshot_point{});
    }
  }
}

TEST(Reconstruct, ReportsAnEventCutBeforeItsWindow) {
  row_stream s;
  s.gap(10).data(5).gap(10).data(1);
  EXPECT_EQ(run(s.text()).notes, diagnostics{"Corrupt data, likely due to connection problems."});
}

TEST(Reconstruct, ReportsNoBinsWhenEveryStepIsSkipped) {
  outcome o = run(two_events().text(), 15, 10);
  EXPECT_FALSE(o.ok);
  EXPECT_EQ(o.notes, diagnostics{"Corrupt data, likely due to connection problems."});
}

TEST(Reconstruct, HandlesTheLastRowOnceWhenItsDigitEndsTheInput) {
  std::string text = two_events().text();
  text.pop_back();  // the final newline
  outcome o = run(text);
  EXPECT_TRUE(o.ok);
  EXPECT_TRUE(o.notes.empty());
  EXPECT_EQ(o.summary.rows_handled, two_events().rows());
  EXPECT_EQ(o.summary.events_completed, 2);
  EXPECT_EQ(o.summary.event_rows, 414.0);
}

TEST(Reconstruct, DropsAnIncompleteLastRow) {
  outcome o = run(two_events().text() + "1 2 3 4 5 6 7");
  EXPECT_TRUE(o.ok);
  EXPECT_EQ(o.notes,
            diagnostics{"Last row of rec.txt is incomplete (7 of 32 values); it is ignored."});
  EXPECT_EQ(o.summary.rows_handled, two_events().rows());
}

TEST(Reconstruct, StopsAtTextThatIsNotANumber) {
  row_stream s = two_events();
  outcome o = run(s.text() + "5 6 x 8");
  EXPECT_TRUE(o.ok);
  uint64_t n = s.values().size() + 3;
  EXPECT_EQ(o.notes, (diagnostics{"Reading stopped at value " + std::to_string(n) +
                                      " of rec.txt: not a number.",
                                  "Last row of rec.txt is incomplete (2 of 32 values); it is "
                                  "ignored."}));
  EXPECT_EQ(o.summary.rows_handled, s.rows());
}

TEST(Reconstruct, StopsAtANumberOutOfRange) {
  row_stream s = two_events();
  std::string text = s.text() + row_stream().data(1).text() + "2147483648\n";
  outcome o = run(text);
  EXPECT_TRUE(o.ok);
  EXPECT_EQ(o.notes,
            diagnostics{"Reading stopped at value " + std::to_string(s.values().size() + 33) +
                        " of rec.txt: number out of range."});
  EXPECT_EQ(o.summary.rows_handled, s.rows() + 1);
}

class failing_source : public byte_source {
 public:
  explicit failing_source(std::string text) : text_(std::move(text)), inner_(text_, 1000) {}
  long read(char* buffer, size_t size) override {
    if (calls_++ == 3) return -1;
    return inner_.read(buffer, size);
  }

 private:
  std::string text_;
  memory_source inner_;
  int calls_ = 0;
};

TEST(Reconstruct, FailsOnAnInputError) {
  failing_source source(two_events().text());
  snapshot_table table;
  reconstruction_summary summary;
  diagnostics notes;
  EXPECT_FALSE(reconstruct(source, "rec.txt", 20.0, 15, 10, 0, table, summary, notes));
  EXPECT_EQ(notes, diagnostics{"Cannot read file named rec.txt."});
}

}  // namespace
