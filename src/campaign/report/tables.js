// The report's sections of figures and tables, drawn before any chart: the chip yield, the
// failing chips and retests, the causes' counts, the configurations and the failed runs.
(function (page) {
  "use strict";
  var make = page.make, table = page.table;

  // One figure of the yield's row: its value large, its label under it.
  function kpi(cls, value, label) {
    return make("div", { "class": "kpi " + cls, "data-value": String(value) }, [make("b", {}, [value]), label]);
  }

  // The chip yield's figures into #kpis, and the line of the campaign's recordings under them.
  function showYield(campaign) {
    var count = page.outcomeCounts(campaign), data = campaign.data, box = document.getElementById("kpis");
    [kpi("yield", page.percent(count.pass, count.tested), "chip yield"),
     kpi("tested", count.tested, "chips tested"),
     kpi("passing", count.pass, "pass every configuration"),
     kpi("failing", count.fail, "fail"),
     kpi("retests", count.retest, "await a retest"),
     kpi("incomplete", count.incomplete, "not tested in every required configuration"),
     kpi("unjudged", count["not judged"], "not judged")].forEach(function (k) { box.appendChild(k); });
    box.after(make("p", { "class": "note" }, [
      data.recordings + " recordings, " + data.failed_run_count + " failed runs, configurations " +
      data.configs.join(", ") + ". A chip passes when it passes in every required configuration (" +
      data.required.join(", ") + ") and in every other it was tested in."]));
    if (data.left_out) box.after(make("p", { "class": "note", id: "left-out" }, [data.left_out]));
  }

  // The table of failing verdicts; a click on a row opens its chip.
  function failingChipsTable(failing) {
    var t = table("failing-chips", ["chip", "configuration", "verdict", "flagged channels", "why"],
      failing.map(function (v) { return [v.chip, v.config, v.outcome, v.flagged, v.reasons.join("; ")]; }),
      [null, null, page.outcomeClass, null, function () { return "why"; }]);
    Array.from(t.tBodies[0].rows).forEach(function (row, i) {
      row.dataset.chip = failing[i].chip;
      row.title = "open chip " + failing[i].chip;
      row.addEventListener("click", function () { location.hash = page.chipAddress(failing[i].chip); });
    });
    return t;
  }

  // The filter keeps the rows of `t` that contain every word typed; #failing-count says how many
  // of the campaign's `total` are shown.
  function filterFailing(t, total) {
    var count = document.getElementById("failing-count");
    function shown() {
      count.textContent = page.shownRows(t).length + " of " + total + " verdicts shown; click a row to open its chip";
    }
    document.getElementById("filter").addEventListener("input", function () {
      var words = this.value.toLowerCase().split(/\s+/).filter(Boolean);
      Array.from(t.tBodies[0].rows).forEach(function (r) {
        var text = r.textContent.toLowerCase();
        r.hidden = !words.every(function (w) { return text.indexOf(w) >= 0; });
      });
      shown();
    });
    shown();
  }

  // The failing chips and retests into #failing-table, with their filter and CSV button.
  function showFailing(campaign) {
    var failing = page.failingVerdicts(campaign.data), holder = document.getElementById("failing-table");
    if (!failing.length) { holder.appendChild(make("p", {}, ["Every chip passes."])); return; }
    var t = failingChipsTable(failing);
    holder.appendChild(t);
    document.getElementById("failing-csv").addEventListener("click", function () {
      page.download("failing-chips.csv", page.tableCsv(t));
    });
    filterFailing(t, campaign.data.totals.failing);
  }

  // The causes' counts per configuration into #pareto-counts.
  function showCauses(campaign, counts) {
    var holder = document.getElementById("pareto-counts"), configs = campaign.data.configs;
    if (!counts.length) { holder.appendChild(make("p", {}, ["No chip fails."])); return; }
    holder.appendChild(table("pareto-table", ["cause"].concat(configs, ["all"]),
                             page.causeTotals(counts, configs)));
  }

  // The verdicts per configuration into #config-yield.
  function showConfigs(campaign, perConfig) {
    document.getElementById("config-yield").appendChild(table("config-table",
      ["configuration", "chips", "pass", "fail", "retest", "not judged", "yield"],
      page.configRows(campaign.data, perConfig)));
  }

  // The failed runs into #failed-runs-list, and how many more the database has.
  function showFailedRuns(data) {
    var holder = document.getElementById("failed-runs-list");
    if (!data.failed_runs.length) { holder.appendChild(make("p", {}, ["No run failed."])); return; }
    holder.appendChild(table("failed-runs", ["chip", "configuration", "message", "recording"],
      data.failed_runs.map(function (r) { return [r.chip, r.config, r.message, r.path]; })));
    var more = data.failed_run_count - data.failed_runs.length;
    if (more > 0) holder.appendChild(make("p", {}, ["and " + more + " more (see the database)."]));
  }

  Object.assign(page, { showYield: showYield, showFailing: showFailing, showCauses: showCauses,
                        showConfigs: showConfigs, showFailedRuns: showFailedRuns });
})(globalThis.varnelPage);
