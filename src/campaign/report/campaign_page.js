// The campaign's page from its data: the tables first, then a chip the address opens, then the
// charts top to bottom once the first screen is painted.
(function (page) {
  "use strict";

  // The sections of figures and tables; the gain and noise section shown when the campaign was
  // characterised. The counts the charts need too, { causes, perConfig }.
  function showTables(campaign) {
    var data = campaign.data, counts = { causes: page.causeCounts(data), perConfig: page.outcomesPerConfig(data) };
    document.getElementById("rule").textContent = data.rule;
    page.showYield(campaign);
    page.showFailing(campaign);
    page.showCauses(campaign, counts.causes);
    page.showConfigs(campaign, counts.perConfig);
    if (data.characterisation.length) document.getElementById("gains").hidden = false;
    page.showFailedRuns(data);
    return counts;
  }

  // The chip the address names opened, now and whenever the address changes; else
  // data.opened_chip, unscrolled. A promise of its drawing, if any.
  function openAddressedChip(chips, data) {
    window.addEventListener("hashchange", function () { chips.follow(true); });
    return chips.follow(true) || (!location.hash && data.opened_chip ? chips.open(data.opened_chip, false) : null);
  }

  // What tests and scripts may ask of the page: the failing table's CSV, a chip opened, a drawn
  // chart's Vega view.
  function exposeReport(views) {
    window.campaignReport = {
      failingCsv: function () { var t = document.getElementById("failing-chips"); return t ? page.tableCsv(t) : ""; },
      openChip: function (chip) { location.hash = page.chipAddress(chip); },
      view: function (id) { return views[id] || null; }
    };
  }

  // The page of the campaign `data` (see campaign_report.cc). The first screen (the yield and the
  // failing chips) is painted before any chart is drawn, and a chip opened when the page loads,
  // what the reader came for, is drawn before the charts; Vega's scripts follow the page's own.
  function showCampaign(data) {
    var campaign = page.readCampaign(data), definitions = page.chartDefinitions(), views = {};
    var counts = showTables(campaign), vegaLoaded = page.documentParsed();
    var opened = openAddressedChip(page.openedChips(campaign, definitions, vegaLoaded), data);
    var charts = page.campaignCharts(campaign, counts.causes, counts.perConfig);
    page.afterNextPaint(function () { document.body.setAttribute("data-first-screen-ms", page.now()); });
    Promise.all([vegaLoaded, new Promise(page.afterNextPaint), opened]).then(function () {
      page.drawCharts(charts, definitions, views);
    });
    exposeReport(views);
  }

  page.showCampaign = showCampaign;
})(globalThis.varnelPage);
