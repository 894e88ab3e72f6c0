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
      config: data.totals.config,
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

  // The chips counted by their outcome, of the whole campaign as the program counted them:
  // { pass, fail, retest, incomplete, "not judged" } and `tested`, the chips with a verdict.
  function outcomeCounts(campaign) { return campaign.data.totals.chips; }

  // The failing and retest verdicts of the whole campaign counted by cause and configuration,
  // each with the first chips' names ("..." after them when there are more).
  function causeCounts(data) { return data.totals.causes; }

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

  // The verdicts of each configuration of the whole campaign counted by outcome:
  // per[config].pass and so on.
  function outcomesPerConfig(data) { return data.totals.per_config; }

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
  function yieldPerDay(data) { return data.totals.days; }

  // A chip's verdicts, summary, heat-map cells and characterisation as the server sent them
  // (GET /api/chip/CHIP) added to a campaign that did not carry it.
  function addChip(campaign, c) {
    if (campaign.byChip[c.chip]) return;
    var data = campaign.data;
    campaign.byChip[c.chip] = c.verdicts;
    c.verdicts.forEach(function (v) { campaign.verdictOf[v.chip + "|" + v.config] = v; });
    if (c.outcome) campaign.chipSummary[c.chip] = { chip: c.chip, outcome: c.outcome, reasons: c.reasons };
    if (c.characterisation.length) campaign.characterised[c.chip] = c.characterisation;
    c.cells.forEach(function (r) { campaign.packed.rows.push(r); });
    campaign.rowIndex = null;
    data.verdicts = data.verdicts.concat(c.verdicts);
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
                        causeCounts: causeCounts, causeTotals: causeTotals,
                        outcomesPerConfig: outcomesPerConfig, percent: percent, configRows: configRows,
                        yieldBars: yieldBars, yieldPerDay: yieldPerDay, addChip: addChip, chipAddress: chipAddress,
                        chipOfAddress: chipOfAddress });
})(globalThis.varnelPage);
