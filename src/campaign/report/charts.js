// The report's charts: each one's definition filled with the campaign's data, then all drawn top
// to bottom, each in a task of its own so that the page answers in between.
(function (page) {
  "use strict";
  var setData = page.setData, setSignal = page.setSignal;

  // The height (px) of a chip's row in a chart of a row per chip: every chip keeps a labelled
  // row, and a large campaign scrolls.
  function chipRowStep(chips) { return chips > 400 ? 9 : chips > 60 ? 11 : 14; }

  // The heat map: a row per chip judged in a configuration, the flagged cells, the colour ranges,
  // opening on the commonest configuration.
  function fillHeatmap(campaign, s) {
    var packed = campaign.packed, seen = {};
    setData(s, "chips", packed.rows.filter(function (r) {
      var key = r[0] + "|" + r[1];
      return seen[key] ? false : (seen[key] = true);
    }).map(function (r) { return { chip: r[0], config: packed.configs[r[1]] }; }));
    setData(s, "flagged", campaign.flaggedCells);
    setData(s, "range", campaign.data.ranges);
    setSignal(s, "config", campaign.config, campaign.data.configs);
    var step = chipRowStep(campaign.chipCount);
    s.height = Math.max(60, step * campaign.chipCount);
    setSignal(s, "label_size", step > 10 ? 10 : 8);
  }

  // Each channel's distribution over the chips, the limits in force, the flagged cells.
  function fillDistribution(campaign, s) {
    setData(s, "flagged_cells", campaign.flaggedCells);
    setData(s, "stats", campaign.data.cells.stats);
    setData(s, "bands", campaign.data.bands);
    setSignal(s, "config", campaign.config, campaign.data.configs);
  }

  // The characterisation's rows [chip, channel, gain, noise (mV), reason] as objects.
  function characterisationRows(data) {
    return data.characterisation.map(function (r) {
      return { chip: r[0], channel: r[1], gain: r[2], noise_mV: r[3], reason: r[4], flagged: r[4] !== "" };
    });
  }

  // Each channel's gain or noise over the chips whose figures pass: the distribution's chart
  // with the program's boxes of those figures of the whole campaign, across the
  // configurations, and the flagged chips carried as dots.
  function fillGainDistribution(campaign, s) {
    var across = "across configurations";
    var rows = characterisationRows(campaign.data).map(function (r) { r.config = across; return r; });
    setData(s, "stats", campaign.data.gain_stats);
    setData(s, "bands", []);
    setData(s, "flagged_cells", rows.filter(function (r) { return r.reason !== ""; }));
    setSignal(s, "config", across, [across]);
    setSignal(s, "quantity", "gain", ["gain", "noise_mV"]);
  }

  // The page's charts in the order they are drawn: the element's id, the definition's name when
  // it is another, what fills the definition and what prepares the view before it is drawn.
  // Gain and noise only when the campaign has configurations of known injected amplitudes.
  function campaignCharts(campaign, counts, perConfig) {
    var data = campaign.data, bound = function (fill) { return function (s) { fill(campaign, s); }; };
    var charts = [
      { id: "pareto", fill: function (s) { setData(s, "causes", counts); } },
      { id: "yield", fill: function (s) {
        setData(s, "yield", page.yieldBars(data, perConfig));
        s.height = Math.max(60, 36 * data.configs.length);
      } },
      { id: "byday", fill: function (s) { setData(s, "days", page.yieldPerDay(data)); } },
      { id: "heatmap", fill: bound(fillHeatmap), prepare: page.prepareHeatmap(campaign) },
      { id: "distribution", fill: bound(fillDistribution) }
    ];
    if (!data.characterisation.length) return charts;
    return charts.concat([
      { id: "characterisation", fill: function (s) {
        setData(s, "channels", characterisationRows(data));
        s.height = Math.max(60, chipRowStep(campaign.chipCount) * campaign.chipCount);
      } },
      { id: "gain-distribution", definition: "distribution", fill: bound(fillGainDistribution) }
    ]);
  }

  // One chart drawn in a task of its own into its element, its view kept in views[id]; a promise
  // of whether it was drawn (its error listed on the page when not).
  function drawChart(chart, definitions, views) {
    return new Promise(function (resolve) { setTimeout(resolve, 0); }).then(function () {
      var definition = page.copy(definitions[chart.definition || chart.id]);
      chart.fill(definition);
      return page.render(document.getElementById(chart.id), definition, chart.prepare);
    }).then(function (view) { views[chart.id] = view; return true; },
            function (e) { page.report(chart.id + ": " + String(e)); return false; });
  }

  // Draws `charts` one after the other into `views`; once all are drawn the body carries the
  // time (ms after navigation) and the number drawn, and a frame later the time they painted.
  function drawCharts(charts, definitions, views) {
    var drawn = 0;
    return charts.reduce(function (previous, chart) {
      return previous.then(function () { return drawChart(chart, definitions, views); })
        .then(function (ok) { drawn += ok; });
    }, Promise.resolve()).then(function () {
      if (drawn !== charts.length) return;
      document.body.setAttribute("data-render-ms", page.now());
      document.body.setAttribute("data-rendered", String(drawn));
      page.afterNextPaint(function () { document.body.setAttribute("data-painted-ms", page.now()); });
    });
  }

  Object.assign(page, { chipRowStep: chipRowStep, campaignCharts: campaignCharts,
                        drawCharts: drawCharts });
})(globalThis.varnelPage);
