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

  var FAILING_HEADINGS = ["chip", "configuration", "verdict", "flagged channels", "why"];
  var FAILING_CLASSES = [null, null, page.outcomeClass, null, function () { return "why"; }];

  // The failing table's rows of `failing`, each opening its chip on a click.
  function failingRows(failing) {
    var t = table("", FAILING_HEADINGS, failing.map(function (v) {
      return [v.chip, v.config, v.outcome, v.flagged, v.reasons.join("; ")];
    }), FAILING_CLASSES);
    return Array.from(t.tBodies[0].rows).map(function (row, i) {
      row.dataset.chip = failing[i].chip;
      row.title = "open chip " + failing[i].chip;
      row.addEventListener("click", function () { location.hash = page.chipAddress(failing[i].chip); });
      return row;
    });
  }

  // The table of failing verdicts; a click on a row opens its chip.
  function failingChipsTable(failing) {
    var t = table("failing-chips", FAILING_HEADINGS, [], FAILING_CLASSES);
    failingRows(failing).forEach(function (r) { t.tBodies[0].appendChild(r); });
    return t;
  }

  // On a served page whose table lacks rows, a button that fetches the next page of the
  // campaign's failing rows (GET /api/failing) and adds those not shown yet; `shown` keys the
  // rows the table has, `changed` is called after each page.
  function moreFailing(t, failing, changed) {
    var key = function (v) { return v.chip + "|" + v.config + "|" + v.outcome + "|" + v.reasons.join("; "); };
    var shown = {}, next = 0, button = make("button", { type: "button", id: "failing-more" }, ["Show more"]);
    failing.forEach(function (v) { shown[key(v)] = true; });
    button.addEventListener("click", function () {
      button.disabled = true;
      page.fetchJson("/api/failing?offset=" + next + "&limit=1000").then(function (got) {
        next += got.failing.length;
        var added = got.failing.filter(function (v) { return !shown[key(v)] && (shown[key(v)] = true); });
        failingRows(added).forEach(function (r) { t.tBodies[0].appendChild(r); });
        button.disabled = false;
        button.hidden = next >= got.total;
        changed();
      }, function (e) { page.report(String(e)); button.disabled = false; });
    });
    return button;
  }

  // The filter keeps the rows of `t` that contain every word typed; #failing-count says how many
  // of the campaign's `total` are shown. The filter applied again, as a function.
  function filterFailing(t, total) {
    var count = document.getElementById("failing-count"), filter = document.getElementById("filter");
    function apply() {
      var words = filter.value.toLowerCase().split(/\s+/).filter(Boolean);
      Array.from(t.tBodies[0].rows).forEach(function (r) {
        var text = r.textContent.toLowerCase();
        r.hidden = !words.every(function (w) { return text.indexOf(w) >= 0; });
      });
      count.textContent = page.shownRows(t).length + " of " + total + " verdicts shown; click a row to open its chip";
    }
    filter.addEventListener("input", apply);
    apply();
    return apply;
  }

  // The failing chips and retests into #failing-table, with their filter and CSV button.
  function showFailing(campaign) {
    var data = campaign.data, failing = data.failing, holder = document.getElementById("failing-table");
    if (!failing.length) { holder.appendChild(make("p", {}, ["Every chip passes."])); return; }
    var t = failingChipsTable(failing);
    holder.appendChild(t);
    document.getElementById("failing-csv").addEventListener("click", function () {
      page.download("failing-chips.csv", page.tableCsv(t));
    });
    var refilter = filterFailing(t, data.totals.failing);
    if (data.chip_url && failing.length < data.totals.failing)
      holder.after(moreFailing(t, failing, refilter));
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
