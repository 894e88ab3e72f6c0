// An opened chip: per configuration its verdict, the recording judged and its problems, the
// superseded recordings and the 32 pulses (points and fitted shaper), then its amplitudes
// against the injected amplitudes. A served page fetches a chip's recordings when it opens.
(function (page) {
  "use strict";
  var make = page.make;

  // A stored fraction as a percentage to a hundredth; null stays null.
  function fractionPercent(fraction) {
    return fraction === null || fraction === undefined ? null : Math.round(fraction * 1e4) / 100;
  }

  // The pulses chart's row of fit `f` of a channel that `reason` flags ("" when none).
  function pulseChannel(f, reason) {
    return { ch: f.channel, rise_time: f.rise_time, time_stamp: f.time_stamp, amplitude: f.amplitude,
             verdict: f.verdict, chi2: f.chi2, ndf: f.ndf, why: f.why || "", flagged: reason !== "",
             reason: reason, misfit_pct: fractionPercent(f.misfit), pedestal: f.pedestal, headroom: f.headroom,
             short_reason: reason.replace(/^channel \d+: /, ""),
             label: "ch " + f.channel + (f.verdict !== "good" ? " " + f.verdict : "") };
  }

  // The fitted curve of `f` as 61 rows over its fit range, else over the points `p` (times,
  // values); none without a fit.
  function pulseCurve(f, p) {
    var from = f.fit_min, to = f.fit_max, rows = [];
    if (p && !(to > from)) { from = p[0][0]; to = p[0][p[0].length - 1]; }
    if (f.rise_time === null || f.time_stamp === null || f.amplitude === null || !(to > from)) return rows;
    for (var i = 0; i <= 60; ++i) {
      var t = from + (to - from) * i / 60;
      rows.push({ ch: f.channel, kind: "curve", t: t, y: page.shaper(t, f.rise_time, f.time_stamp, f.amplitude) });
    }
    return rows;
  }

  // The pulses chart's data of a recording's `detail` judged by `verdict`: a row per channel and
  // the rows of every channel's points (time, value, error) and curve.
  function pulseData(detail, verdict) {
    var channels = [], rows = [];
    detail.fits.forEach(function (f) {
      var ch = f.channel, p = detail.points[ch];
      channels.push(pulseChannel(f, verdict.flags[ch] || ""));
      if (p) p[0].forEach(function (t, i) { rows.push({ ch: ch, kind: "point", t: t, y: p[1][i], ey: p[2][i] }); });
      Array.prototype.push.apply(rows, pulseCurve(f, p));
    });
    return { channels: channels, rows: rows };
  }

  // The CSV of a recording's channel results, as *Save channels as CSV* saves it.
  function channelsCsv(verdict, detail) {
    return page.csvOf(["chip", "configuration", "channel", "fit verdict", "rise time (ns)", "time stamp (ns)",
                       "amplitude (ADC)", "chi2", "ndf", "misfit (%)", "pedestal (ADC)", "headroom (ADC)",
                       "why the fit judged so", "flagged"],
      detail.fits.map(function (f) {
        return [verdict.chip, verdict.config, f.channel, f.verdict, f.rise_time, f.time_stamp, f.amplitude,
                f.chi2, f.ndf, fractionPercent(f.misfit), f.pedestal, f.headroom, f.why || "",
                verdict.flags[f.channel] || ""];
      }));
  }

  // "Recording judged: PATH (recorded WHEN, N of M events completed, common-mode noise X ADC)",
  // of what the campaign knows of it.
  function judgedText(verdict, detail) {
    var noise = detail && detail.common_mode_noise !== null && detail.common_mode_noise !== undefined ?
      ", common-mode noise " + detail.common_mode_noise + " ADC" : "";
    return "Recording judged: " + (verdict.path || "none") +
      (detail ? " (recorded " + (detail.recorded_at || "at an unknown time") + ", " + detail.events + " of " +
                detail.events_started + " events completed" + noise + ")" : "");
  }

  // A superseded recording's line: its path, when it was recorded and its events, and why it
  // was not analysed.
  function supersededText(s) {
    var events = s.events !== undefined ? ", " + s.events + " events" : "";
    return s.path + (s.recorded_at ? " (recorded " + s.recorded_at + events + ")" : "") +
           (s.status ? ": not analysed, " + s.message : "");
  }

  // A list of `items`, of class `cls` if given.
  function list(items, cls) {
    return make("ul", cls ? { "class": cls } : {}, items.map(function (i) { return make("li", {}, [i]); }));
  }

  // The verdict's heading and reasons, the recording judged, its problems, the analysis's
  // message and the superseded recordings, into `part`.
  function recordingFacts(part, verdict, detail) {
    var outcome = make("span", { "class": page.outcomeClass(verdict.outcome) }, [verdict.outcome]);
    part.appendChild(make("h3", {}, [verdict.config + ": ", outcome]));
    if (verdict.reasons.length) part.appendChild(list(verdict.reasons));
    part.appendChild(make("p", { "class": "note" }, [judgedText(verdict, detail)]));
    if (detail && detail.problems.length)
      part.appendChild(make("div", {}, ["The recording's problems:", list(detail.problems, "problems")]));
    if (detail && detail.message) part.appendChild(make("p", { "class": "note" }, ["Analysis: " + detail.message]));
    if (verdict.superseded.length)
      part.appendChild(make("div", {}, ["Earlier recordings, superseded by the one judged:",
                                        list(verdict.superseded.map(supersededText))]));
  }

  // The recording's pulses into `part`, with their CSV button; the chart is drawn by a function
  // put on section.pending.
  function recordingPulses(part, verdict, detail, index, section, definitions) {
    var button = make("button", { type: "button" }, ["Save channels as CSV"]);
    button.addEventListener("click", function () {
      page.download("chip-" + verdict.chip + "-" + verdict.config + ".csv", channelsCsv(verdict, detail));
    });
    part.appendChild(make("div", { "class": "tools" }, [button]));
    var chart = make("div", { "class": "chart pulses", id: "pulses-" + verdict.chip + "-" + index,
                              "data-flagged": String(Object.keys(verdict.flags).length) });
    part.appendChild(chart);
    var definition = page.copy(definitions.pulses), d = pulseData(detail, verdict);
    page.setData(definition, "channels", d.channels);
    page.setData(definition, "rows", d.rows);
    section.pending.push(function () { return page.render(chart, definition); });
  }

  // The part of an opened chip's section of one configuration's verdict (the index-th).
  function recordingPart(campaign, verdict, index, section, definitions) {
    var part = make("div", { "class": "config" }), detail = campaign.data.details[String(verdict.recording)];
    recordingFacts(part, verdict, detail);
    if (!detail && campaign.data.pulses_note)
      part.appendChild(make("p", { "class": "note pulses-note" }, [campaign.data.pulses_note]));
    if (detail && detail.fits.length) recordingPulses(part, verdict, detail, index, section, definitions);
    else part.appendChild(make("p", { "class": "note" }, [detail ? "No pulses: the recording was not analysed." :
      "Its pulses are not in this report (the campaign is large; the report carries failing and retest chips)."]));
    return part;
  }

  // The linearity chart's data of a characterised chip: a row per channel with its gain, noise,
  // offset and flag, and the rows of each channel's line (from 0 to the largest injected
  // amplitude) and its amplitudes per configuration. Null when the chip was not characterised.
  function linearityData(campaign, chip) {
    var figures = campaign.characterised[chip], data = campaign.data;
    if (!figures) return null;
    var channels = {}, rows = [];
    var largest = Math.max.apply(null, Object.keys(data.injections).map(function (c) { return data.injections[c]; }));
    figures.forEach(function (r) {
      channels[r[1]] = { ch: r[1], gain: r[2], noise_mV: r[3], reason: r[4], flagged: r[4] !== "", offset: r[5],
                         label: "ch " + r[1] + ": " + r[2] + " ADC/mV" };
      if (r[5] === null) return;
      [0, largest].forEach(function (mV) {
        rows.push({ ch: r[1], kind: "line", mV: mV, amplitude: r[5] + r[2] * mV });
      });
    });
    page.chipCells(campaign, chip).forEach(function (c) {
      var mV = data.injections[c.config];
      if (mV === undefined || c.amplitude === null || !channels[c.channel]) return;
      rows.push({ ch: c.channel, kind: "point", config: c.config, mV: mV, amplitude: c.amplitude });
    });
    return { channels: Object.keys(channels).map(function (k) { return channels[k]; }), rows: rows };
  }

  // The chip's amplitudes against the injected amplitudes, with the line of each channel's gain
  // and offset, when the campaign characterised it; else null.
  function linearityPart(campaign, chip, section, definitions) {
    var d = linearityData(campaign, chip);
    if (!d) return null;
    var chart = make("div", { "class": "chart linearity", id: "linearity-" + chip });
    var definition = page.copy(definitions.linearity);
    page.setData(definition, "channels", d.channels);
    page.setData(definition, "rows", d.rows);
    section.pending.push(function () { return page.render(chart, definition); });
    return make("div", {}, [make("h3", {}, ["Amplitude against the injected amplitude"]), chart]);
  }

  // A chip's section added to #chips, its charts to draw on section.pending; null for a chip
  // the campaign does not have.
  function chipSection(campaign, chip, definitions) {
    var verdicts = campaign.byChip[chip];
    if (!verdicts) return null;
    var outcome = page.chipOutcome(campaign, chip), close = make("a", { href: "#failing" }, ["close"]);
    var shown = make("span", { "class": page.outcomeClass(outcome) }, [outcome]);
    var heading = make("h2", {}, ["Chip " + chip + " \u2014 ", shown, " ", close]);
    var section = make("section", { "class": "chip", id: "chip-" + chip }, [heading]);
    section.pending = [];
    verdicts.forEach(function (v, i) { section.appendChild(recordingPart(campaign, v, i, section, definitions)); });
    var linearity = linearityPart(campaign, chip, section, definitions);
    if (linearity) section.appendChild(linearity);
    document.getElementById("chips").appendChild(section);
    return section;
  }

  // The opened chips of the page: open(chip, scroll) shows one (scrolled to if `scroll`) and
  // hides the others, follow(scroll) the one the address names; each a promise of its drawing.
  function openedChips(campaign, definitions, chartsReady) {
    var sections = {}, fetched = {};
    // A served page fetches a chip's recordings from data.chip_url when it is first opened.
    function fetchDetails(chip) {
      var data = campaign.data;
      if (!data.chip_url || fetched[chip]) return null;
      fetched[chip] = true;
      return page.fetchJson(data.chip_url + encodeURIComponent(chip)).then(function (c) {
        page.addChip(campaign, c);
        Object.keys(c.details).forEach(function (id) { data.details[id] = c.details[id]; });
      }, function (e) { if (e.status !== 404) throw e; });
    }
    // The section's pending charts drawn, then its data-rendered and data-rendered-ms set.
    function draw(section) {
      var pending = section.pending;
      section.pending = [];
      return chartsReady.then(function () {
        return Promise.all(pending.map(function (d) { return d(); }));
      }).then(function () {
        section.setAttribute("data-rendered", String(section.querySelectorAll(".pulses").length));
        page.afterNextPaint(function () { section.setAttribute("data-rendered-ms", page.now()); });
      }, function (e) { page.report(String(e)); });
    }
    function open(chip, scroll) {
      var fetching = fetchDetails(chip);
      if (fetching)
        return fetching.then(function () { return open(chip, scroll); }, function (e) { page.report(String(e)); });
      var section = sections[chip] || (sections[chip] = chipSection(campaign, chip, definitions));
      if (!section) {
        delete sections[chip];
        page.report(campaign.data.left_out && !campaign.data.chip_url ? "chip " + chip + " is not carried by this page (" +
                    "varnel-campaign serve opens every chip)" : "no chip " + chip + " in this campaign");
        return;
      }
      Object.keys(sections).forEach(function (c) { sections[c].hidden = c !== chip; });
      if (scroll) section.scrollIntoView();
      return draw(section);
    }
    function follow(scroll) {
      var m = /^#chip-(.+)$/.exec(location.hash);
      if (m) return open(page.chipOfAddress(m[1]), scroll);
      Object.keys(sections).forEach(function (c) { sections[c].hidden = true; });
    }
    return { open: open, follow: follow };
  }

  Object.assign(page, { pulseData: pulseData, channelsCsv: channelsCsv, judgedText: judgedText,
                        supersededText: supersededText, linearityData: linearityData, openedChips: openedChips });
})(globalThis.varnelPage);
