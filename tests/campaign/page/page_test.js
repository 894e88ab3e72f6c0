// What the campaign page computes before it draws: the counts of its tables and charts, the
// campaign's indices, the CSV it saves, a chip's address, an opened chip's pulses and texts. The
// page's scripts run here as the browser runs them, one after the other in one global scope.
"use strict";
const test = require("node:test");
const assert = require("node:assert/strict");
const fs = require("node:fs");
const path = require("node:path");
const vm = require("node:vm");

const folder = path.join(__dirname, "../../../src/campaign/report");
for (const file of ["page.js", "shaper.js", "campaign.js", "table.js", "charts.js", "chip.js"])
  vm.runInThisContext(fs.readFileSync(path.join(folder, file), "utf8"), { filename: file });
const page = globalThis.varnelPage;

// A verdict of the page's data with what each test does not care about filled in.
function verdict(chip, config, outcome, more) {
  return Object.assign({ chip: chip, config: config, outcome: outcome, cause: "", day: "2026-12-08", flagged: 0,
                         flags: {}, reasons: [], recording: 0, path: "", superseded: [] }, more);
}

// A campaign of three chips in two configurations: 100001 fails in A for channel 13, 100002
// awaits a retest in B and was never tested in C, which it must pass.
function smallCampaign() {
  const flags = { 13: "channel 13: no pulse (fit verdict no_pulse)" };
  return {
    configs: ["A", "B"], required: ["A", "B", "C"], recordings: 5, failed_run_count: 0, failed_runs: [],
    verdicts: [verdict("100000", "A", "pass"), verdict("100000", "B", "pass"),
               verdict("100001", "A", "fail", { cause: "dead channel", flagged: 1, flags: flags, reasons: [flags[13]] }),
               verdict("100001", "B", "pass", { day: "2026-12-09" }),
               verdict("100002", "B", "retest", { cause: "too few events", day: "" })],
    chips: [{ chip: "100000", outcome: "pass", reasons: [] },
            { chip: "100001", outcome: "fail", reasons: ["A: " + flags[13]] },
            { chip: "100002", outcome: "incomplete", reasons: ["not tested in A", "not tested in C"] }],
    cells: { configs: ["A", "B"], verdicts: ["good", "no_pulse"],
             stats: [{ config: "A", quantity: "rise_time", channel: 13, median: 150 }],
             rows: [["100001", 0, 12, 151, 300, 800, 0, 0], ["100001", 0, 13, null, null, null, 1, 1],
                    ["100001", 1, 13, 149, 610, 801, 0, 0], ["100000", 0, 13, 150, 305, 799, 0, 0]] },
    bands: [{ config: "A", quantity: "rise_time", channel: 13, lo: 120, hi: 180, rule: "robust" }],
    characterisation: [["100001", 12, 30.5, 0.06, "", 1.5], ["100001", 13, null, null, "channel 13: no gain", null]],
    injections: { A: 10, B: 20 }, ranges: [], details: {},
    totals: { config: "B", failing: 4,
              per_config: { A: { pass: 1, fail: 1, retest: 0, "not judged": 0 },
                            B: { pass: 2, fail: 0, retest: 1, "not judged": 0 } } }
  };
}

test("a CSV cell a spreadsheet would run is written as text; numbers, quotes and blanks as they are", () => {
  const fields = ["=1+2", "+SUM(A1)", "-x", "@cmd", "\tx", "-5", "+1e3", "-.5", "plain", "say \"hi\", then", null, undefined, 0];
  assert.deepEqual(fields.map(page.csvField),
                   ["'=1+2", "'+SUM(A1)", "'-x", "'@cmd", "'\tx", "-5", "+1e3", "-.5", "plain", "\"say \"\"hi\"\", then\"",
                    "", "", "0"]);
  assert.equal(page.csvOf(["chip", "why"], [["100001", "a\nb"], ["=2", null]]), "chip,why\n100001,\"a\nb\"\n'=2,\n");
});

test("the causes' rows add each cause's counts across configurations, the commonest cause first", () => {
  const counts = [{ cause: "dead channel", config: "A", count: 1 }, { cause: "rise time", config: "B", count: 13 },
                  { cause: "too few events", config: "B", count: 1 }, { cause: "dead channel", config: "B", count: 1 }];
  assert.deepEqual(page.causeTotals(counts, ["A", "B"]),
                   [["rise time", 0, 13, 13], ["dead channel", 1, 1, 2], ["too few events", 0, 1, 1]]);
});

test("the configurations' rows and yield bars show each configuration's counts and yield", () => {
  const data = smallCampaign(), per = page.outcomesPerConfig(data);
  assert.deepEqual(page.configRows(data, per), [["A", 2, 1, 1, 0, 0, "50.0 %"], ["B", 3, 2, 0, 1, 0, "66.7 %"]]);
  assert.deepEqual(page.yieldBars(data, per).map((b) => [b.config, b.outcome, b.count, b.order]),
                   [["A", "pass", 1, 0], ["A", "fail", 1, 1], ["B", "pass", 2, 0], ["B", "retest", 1, 2]]);
});

test("a packed cell comes out with its chip's verdict and its channel's reason, found by chip, configuration and channel", () => {
  const campaign = page.readCampaign(smallCampaign());
  const dead = page.cellOf(campaign, page.rowOf(campaign, "100001", "A", 13));
  assert.deepEqual(dead, { chip: "100001", config: "A", channel: 13, rise_time: null, amplitude: null, time_stamp: null,
                           verdict: "no_pulse", flagged: true, outcome: "fail",
                           reason: "channel 13: no pulse (fit verdict no_pulse)" });
  assert.equal(page.cellOf(campaign, page.rowOf(campaign, "100001", "B", 13)).reason, "");
  assert.equal(page.rowOf(campaign, "100001", "B", 12), undefined);
  assert.deepEqual(campaign.flaggedCells, [dead]);
  assert.deepEqual(page.chipCells(campaign, "100000").map((c) => [c.config, c.channel, c.outcome]), [["A", 13, "pass"]]);
  assert.equal(campaign.limits["A|rise_time|13"], "120 to 180 (robust)");
  assert.equal(campaign.medians.A.rise_time[13], 150);
});

test("a chip the server sends is found like a carried one; a carried chip sent again is kept as it was", () => {
  const campaign = page.readCampaign(smallCampaign());
  page.addChip(campaign, { chip: "300000", outcome: "fail", reasons: ["A: channel 2: no pulse"],
                           verdicts: [verdict("300000", "A", "fail", { flags: { 2: "channel 2: no pulse" } })],
                           cells: [["300000", 0, 2, null, null, null, 1, 1]],
                           characterisation: [["300000", 2, 29.5, 0.07, "", 1.0]] });
  assert.equal(page.chipOutcome(campaign, "300000"), "fail");
  assert.deepEqual(page.chipCells(campaign, "300000").map((c) => [c.config, c.channel, c.outcome, c.reason]),
                   [["A", 2, "fail", "channel 2: no pulse"]]);
  assert.equal(page.cellOf(campaign, page.rowOf(campaign, "300000", "A", 2)).verdict, "no_pulse");
  assert.equal(page.linearityData(campaign, "300000").channels[0].gain, 29.5);
  page.addChip(campaign, { chip: "100001", outcome: "pass", reasons: [], verdicts: [], cells: [], characterisation: [] });
  assert.equal(page.chipOutcome(campaign, "100001"), "fail");
  assert.equal(campaign.byChip["100001"].length, 2);
});

test("a chip's address carries any name back; a stray % is taken as typed", () => {
  for (const name of ["100001", "a b/#?&%", "=2+2<!--", "\u00e9\u4e2d"])
    assert.equal(page.chipOfAddress(page.chipAddress(name).slice("chip-".length)), name);
  assert.equal(page.chipAddress("a b#"), "chip-a%20b%23");
  assert.equal(page.chipOfAddress("10%zz"), "10%zz");
});

// A recording's detail of two channels: 0 fitted on [100, 700] ns, 1 with no pulse; points at
// 0, 100, ..., 900 ns.
function recordingDetail() {
  const times = [0, 100, 200, 300, 400, 500, 600, 700, 800, 900];
  const fit = (channel, more) => Object.assign({ channel: channel, rise_time: 150, time_stamp: 250, amplitude: 400,
                                                 fit_min: 100, fit_max: 700, verdict: "good", chi2: 120.5, ndf: 110,
                                                 misfit: 0.01234, pedestal: 80.1, headroom: 60, why: "fine" }, more);
  return {
    fits: [fit(0), fit(1, { rise_time: null, time_stamp: null, amplitude: null, fit_min: 0, fit_max: 0,
                             verdict: "no_pulse", misfit: null, why: "" })],
    points: { 0: [times, times.map((t) => t / 10), times.map(() => 1)], 1: [times, times.map(() => 2), times.map(() => 1)] }
  };
}

test("a channel's curve is the shaper over its fit range in 61 steps; without a fit it has none", () => {
  const d = page.pulseData(recordingDetail(), { flags: { 1: "channel 1: no pulse (fit verdict no_pulse)" } });
  const curve = d.rows.filter((r) => r.kind === "curve");
  assert.equal(curve.length, 61);
  assert.ok(curve.every((r) => r.ch === 0));
  assert.deepEqual([curve[0].t, curve[60].t], [100, 700]);
  assert.equal(curve[30].t, 400);
  assert.equal(curve[30].y, page.shaper(400, 150, 250, 400));
  assert.equal(page.shaper(400, 150, 250, 400), 400);  // at the peak
  assert.equal(page.shaper(249, 150, 250, 400), 0);
  assert.equal(d.rows.filter((r) => r.kind === "point").length, 20);
  assert.deepEqual(d.rows[3], { ch: 0, kind: "point", t: 300, y: 30, ey: 1 });
  assert.deepEqual(d.channels.map((c) => [c.label, c.flagged, c.short_reason, c.misfit_pct]),
                   [["ch 0", false, "", 1.23], ["ch 1 no_pulse", true, "no pulse (fit verdict no_pulse)", null]]);
});

test("a fit without its range is drawn over its points' times", () => {
  const detail = recordingDetail();
  detail.fits[0].fit_min = detail.fits[0].fit_max = 0;
  const curve = page.pulseData(detail, { flags: {} }).rows.filter((r) => r.kind === "curve");
  assert.deepEqual([curve.length, curve[0].t, curve[60].t], [61, 0, 900]);
});

test("the channels' CSV has a row per channel with its misfit in percent and its flag", () => {
  const csv = page.channelsCsv({ chip: "100001", config: "A", flags: { 1: "channel 1: no pulse" } }, recordingDetail());
  assert.deepEqual(csv.split("\n"), [
    "chip,configuration,channel,fit verdict,rise time (ns),time stamp (ns),amplitude (ADC),chi2,ndf,misfit (%)," +
      "pedestal (ADC),headroom (ADC),why the fit judged so,flagged",
    "100001,A,0,good,150,250,400,120.5,110,1.23,80.1,60,fine,",
    "100001,A,1,no_pulse,,,,120.5,110,,80.1,60,,channel 1: no pulse",
    ""]);
});

test("the recording judged and the superseded ones are described with what the campaign knows of them", () => {
  const v = { path: "/data/r.txt" };
  assert.equal(page.judgedText(v, { recorded_at: "2026-12-08T12:35:10", events: 39, events_started: 40, common_mode_noise: 0.97 }),
               "Recording judged: /data/r.txt (recorded 2026-12-08T12:35:10, 39 of 40 events completed, common-mode noise 0.97 ADC)");
  assert.equal(page.judgedText(v, { recorded_at: "", events: 3, events_started: 3, common_mode_noise: null }),
               "Recording judged: /data/r.txt (recorded at an unknown time, 3 of 3 events completed)");
  assert.equal(page.judgedText({ path: "" }, undefined), "Recording judged: none");
  assert.equal(page.supersededText({ path: "/data/old.txt", recorded_at: "2026-12-07", events: 12, status: 0 }),
               "/data/old.txt (recorded 2026-12-07, 12 events)");
  assert.equal(page.supersededText({ path: "/data/bad.txt", recorded_at: "", status: 2, message: "Corrupt data" }),
               "/data/bad.txt: not analysed, Corrupt data");
});

test("a characterised chip's lines run from 0 to the largest injection, its points at each configuration's", () => {
  const campaign = page.readCampaign(smallCampaign());
  const d = page.linearityData(campaign, "100001");
  assert.deepEqual(d.channels.map((c) => [c.ch, c.flagged, c.label]),
                   [[12, false, "ch 12: 30.5 ADC/mV"], [13, true, "ch 13: null ADC/mV"]]);
  assert.deepEqual(d.rows.map((r) => [r.ch, r.kind, r.mV, r.amplitude]),
                   [[12, "line", 0, 1.5], [12, "line", 20, 611.5], [12, "point", 10, 300], [13, "point", 20, 610]]);
  assert.equal(page.linearityData(campaign, "100000"), null);
});
