// The served campaign page's own script (`varnel-campaign serve`), after the scripts every
// campaign page shares: fetches the page's data from /api/summary, opens the chip a /chip/CHIP
// address names, and shows them; an opened chip's pulses come from the data's chip_url. Says
// so when newer results are in the database.
(function (page) {
  "use strict";
  var POLL_MS = 3000;

  // A line under the title with a link that reloads the page.
  function noteNewerResults() {
    var link = page.make("a", { href: location.pathname + location.hash }, ["reload"]);
    link.addEventListener("click", function (e) { e.preventDefault(); location.reload(); });
    var notice = page.make("p", { id: "newer-results", "class": "note" },
                           ["New results are in the database: ", link, "."]);
    document.querySelector("h1").after(notice);
  }

  // Every few seconds, until it says so: whether the database has changed since `version`.
  function watchVersion(version) {
    var noted = false;
    var timer = setInterval(function () {
      page.fetchJson("/api/version").then(function (v) {
        if (v.version === version || noted) return;
        noted = true;
        clearInterval(timer);
        noteNewerResults();
      }, function () {});
    }, POLL_MS);
  }

  page.listErrors();
  var chip = /^\/chip\/(.+)$/.exec(location.pathname);
  // The first screen needs the summary alone: Vega's scripts, parsed meanwhile, wait for the
  // charts only (showCampaign).
  var loaded = [page.fetchJson("/api/summary"), page.fetchJson("/api/version")];
  Promise.all(loaded).then(function (got) {
    var data = got[0];
    if (chip) data.opened_chip = decodeURIComponent(chip[1]);
    watchVersion(got[1].version);
    page.showCampaign(data);
  }).catch(function (e) { page.report(String(e)); });
})(globalThis.varnelPage);
