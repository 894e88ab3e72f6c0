// The campaign as the page reads it: the data the program embedded or served (see
// campaign_report.cc), indexed by chip, configuration and channel, and the counts the tables and
// charts show. Nothing here touches the page.
(function (page) {
  "use strict";

  // The verdicts' outcomes in the order the yield chart stacks them.
  var OUTCOMES = ["pass", "fail", "retest", "not judged"];
  // The column of each quantity in a row of data.cells.rows: [chip, configuration index, channel,
  // rise time, amplitude, time stamp, fit verdict index, flagged] (see report_charts.cc).
  var QUANTITY_COLUMN = { rise_time: 3, amplitude: 4, time_stamp: 5 };

  // `items` grouped into lists under key(item), in the order they come.
  function groupBy(items, key) {
    var groups = {};
    items.forEach(function (i) { (groups[key(i)] || (groups[key(i)] = [])).push(i); });
    return groups;
  }

  // Each item of `items` under key(item); a later one replaces an earlier of the same key.
  function indexBy(items, key) {
    var index = {};
    items.forEach(function (i) { index[key(i)] = i; });
    return index;
  }

  // The channels' medians by configuration and quantity: medians[config][quantity][channel].
  function mediansOf(stats) {
    var medians = {};
    stats.forEach(function (s) {
      var byConfig = medians[s.config] || (medians[s.config] = {});
      (byConfig[s.quantity] || (byConfig[s.quantity] = []))[s.channel] = s.median;
    });
    return medians;
  }

  // The limit in force as a tooltip says it, "LO to HI (RULE)", by "config|quantity|channel".
  function limitTexts(bands) {
    var limits = {};
    bands.forEach(function (b) {
      limits[b.config + "|" + b.quantity + "|" + b.channel] = b.lo + " to " + b.hi + " (" + b.rule + ")";
    });
    return limits;
  }

  // The configuration most chips were judged in; of those as common, the first by name.
  function commonestConfig(data) {
    var n = {};
    data.verdicts.forEach(function (v) { n[v.config] = (n[v.config] || 0) + 1; });
    return data.configs.slice().sort(function (a, b) { return n[b] - n[a] || a.localeCompare(b); })[0] || "";
  }

  // The campaign of the page's data `data`, with the indices every section reads.
  function readCampaign(data) {
    var campaign = {
      data: data,
      packed: data.cells,
      byChip: groupBy(data.verdicts, function (v) { return v.chip; }),
      chipSummary: indexBy(data.chips, function (c) { return c.chip; }),
      verdictOf: indexBy(data.verdicts, function (v) { return v.chip + "|" + v.config; }),
      characterised: groupBy(data.characterisation, function (r) { return r[0]; }),
      medians: mediansOf(data.cells.stats),
      limits: limitTexts(data.bands),
      config: commonestConfig(data),
      rowIndex: null
    };
    campaign.chipCount = Object.keys(campaign.byChip).length;
    campaign.flaggedCells = campaign.packed.rows.filter(function (r) { return r[7] === 1; }).map(function (r) {
      return cellOf(campaign, r);
    });
    return campaign;
  }

  // A chip's verdict over the configurations it must pass, as the program judged it.
  function chipOutcome(campaign, chip) {
    var own = campaign.chipSummary[chip];
    return own ? own.outcome : "pass";
  }

  // A packed row of data.cells.rows as an object, with its chip's verdict and the channel's flag.
  function cellOf(campaign, r) {
    var config = campaign.packed.configs[r[1]], v = campaign.verdictOf[r[0] + "|" + config];
    return { chip: r[0], config: config, channel: r[2], rise_time: r[3], amplitude: r[4],
             time_stamp: r[5], verdict: campaign.packed.verdicts[r[6]], flagged: r[7] === 1,
             outcome: v ? v.outcome : "", reason: v ? v.flags[r[2]] || "" : "" };
  }

  // Every channel of `chip` in every configuration, as objects.
  function chipCells(campaign, chip) {
    return campaign.packed.rows.filter(function (r) { return r[0] === chip; }).map(function (r) {
      return cellOf(campaign, r);
    });
  }

  // The packed row of a chip's channel in a configuration, through an index built on first use;
  // undefined when there is none.
  function rowOf(campaign, chip, config, channel) {
    if (!campaign.rowIndex)
      campaign.rowIndex = indexBy(campaign.packed.rows, function (r) { return r[0] + "|" + r[1] + "|" + r[2]; });
    return campaign.rowIndex[chip + "|" + campaign.packed.configs.indexOf(config) + "|" + channel];
  }

  // The chips counted by their outcome: { pass, fail, retest, incomplete, "not judged" } and
  // `tested`, the chips with a verdict.
  function outcomeCounts(campaign) {
    var count = { pass: 0, fail: 0, retest: 0, incomplete: 0, "not judged": 0 };
    var chips = Object.keys(campaign.byChip);
    chips.forEach(function (c) { count[chipOutcome(campaign, c)]++; });
    count.tested = chips.length;
    return count;
  }

  // Each configuration's verdict that is not a pass, then one row per configuration a chip must
  // pass and was never tested in.
  function failingVerdicts(data) {
    var failing = data.verdicts.filter(function (v) { return v.outcome !== "pass"; });
    data.chips.forEach(function (c) {
      if (c.outcome !== "incomplete") return;
      c.reasons.forEach(function (r) {
        failing.push({ chip: c.chip, config: r.replace(/^not tested in /, ""), outcome: "incomplete",
                       flagged: "", reasons: [r] });
      });
    });
    return failing;
  }

  // The failing and retest verdicts counted by cause and configuration, each with the first 12
  // chips' names ("..." after them when there are more).
  function causeCounts(data) {
    var counts = {};
    data.verdicts.forEach(function (v) {
      if (v.outcome !== "fail" && v.outcome !== "retest") return;
      var key = v.cause + "|" + v.config;
      (counts[key] || (counts[key] = { cause: v.cause, config: v.config, count: 0, chips: [] })).count++;
      counts[key].chips.push(v.chip);
    });
    return Object.keys(counts).map(function (k) {
      var c = counts[k];
      c.chips = c.chips.slice(0, 12).join(", ") + (c.chips.length > 12 ? ", ..." : "");
      return c;
    });
  }

  // The counts' rows by cause, the commonest first: [cause, a count per configuration, total].
  function causeTotals(counts, configs) {
    var totals = {};
    counts.forEach(function (r) { totals[r.cause] = (totals[r.cause] || 0) + r.count; });
    return Object.keys(totals).sort(function (a, b) { return totals[b] - totals[a]; }).map(function (cause) {
      return [cause].concat(configs.map(function (config) {
        var r = counts.find(function (x) { return x.cause === cause && x.config === config; });
        return r ? r.count : 0;
      }), [totals[cause]]);
    });
  }

  // The verdicts of each configuration counted by outcome: per[config].pass and so on.
  function outcomesPerConfig(data) {
    var per = {};
    data.configs.forEach(function (c) { per[c] = { pass: 0, fail: 0, retest: 0, "not judged": 0 }; });
    data.verdicts.forEach(function (v) {
      (per[v.config] || (per[v.config] = { pass: 0, fail: 0, retest: 0, "not judged": 0 }))[v.outcome]++;
    });
    return per;
  }

  // "12.5 %" of part in whole, to a tenth; "-" of nothing.
  function percent(part, whole) { return whole ? (100 * part / whole).toFixed(1) + " %" : "-"; }

  // The configurations' table rows: configuration, chips, a count per outcome, yield.
  function configRows(data, per) {
    return data.configs.map(function (c) {
      var n = per[c], total = n.pass + n.fail + n.retest + n["not judged"];
      return [c, total, n.pass, n.fail, n.retest, n["not judged"], percent(n.pass, total)];
    });
  }

  // The yield chart's bars: one per configuration and outcome that has verdicts.
  function yieldBars(data, per) {
    var rows = [];
    data.configs.forEach(function (c) {
      OUTCOMES.forEach(function (o, i) {
        if (per[c][o]) rows.push({ config: c, outcome: o, count: per[c][o], order: i });
      });
    });
    return rows;
  }

  // The yield (%) of each day of recording and configuration, of the verdicts with a day.
  function yieldPerDay(data) {
    var per = {};
    data.verdicts.forEach(function (v) {
      if (!v.day) return;
      var key = v.day + "|" + v.config;
      var d = per[key] || (per[key] = { day: v.day, config: v.config, pass: 0, chips: 0 });
      d.chips++;
      if (v.outcome === "pass") d.pass++;
    });
    return Object.keys(per).map(function (k) {
      per[k].yield = 100 * per[k].pass / per[k].chips;
      return per[k];
    });
  }

  // A chip's address, "chip-NAME" with NAME percent-encoded.
  function chipAddress(chip) { return "chip-" + encodeURIComponent(chip); }

  // The chip an address's NAME names: the text as it stands when it is no valid encoding (a "%"
  // typed by hand).
  function chipOfAddress(text) {
    try { return decodeURIComponent(text); } catch (e) { return text; }
  }

  Object.assign(page, { QUANTITY_COLUMN: QUANTITY_COLUMN, readCampaign: readCampaign, chipOutcome: chipOutcome,
                        cellOf: cellOf, chipCells: chipCells, rowOf: rowOf, outcomeCounts: outcomeCounts,
                        failingVerdicts: failingVerdicts, causeCounts: causeCounts, causeTotals: causeTotals,
                        outcomesPerConfig: outcomesPerConfig, percent: percent, configRows: configRows,
                        yieldBars: yieldBars, yieldPerDay: yieldPerDay, chipAddress: chipAddress,
                        chipOfAddress: chipOfAddress });
})(globalThis.varnelPage);
