// The served campaign page: fetches the page's data from /api/summary, opens the chip a
// /chip/CHIP address names, and hands both to the report's script, which fetches an opened
// chip's pulses from the data's chip_url. Says so when newer results are in the database.
(function () {
  "use strict";
  var errors = document.getElementById("errors");
  function failed(message) { errors.textContent += message + "\n"; }
  function json(url) {
    return fetch(url).then(function (r) {
      if (!r.ok) throw new Error(url + ": " + r.status);
      return r.json();
    });
  }
  var parsed = new Promise(function (resolve) {
    if (document.readyState !== "loading") resolve();
    else document.addEventListener("DOMContentLoaded", function () { resolve(); });
  });
  var chip = /^\/chip\/(.+)$/.exec(location.pathname), loadedVersion = null;
  Promise.all([json("/api/summary"), json("/api/version"), parsed]).then(function (got) {
    var data = got[0];
    loadedVersion = got[1].version;
    if (chip) data.opened_chip = decodeURIComponent(chip[1]);
    window.campaignReportData = data;
    var script = document.createElement("script");
    script.src = "/assets/report.js";
    document.body.appendChild(script);
  }).catch(function (e) { failed(String(e)); });

  // Every few seconds: a line with a link when the database has changed since the page loaded.
  var notice = null;
  setInterval(function () {
    if (loadedVersion === null || notice) return;
    json("/api/version").then(function (v) {
      if (v.version === loadedVersion || notice) return;
      notice = document.createElement("p");
      notice.id = "newer-results";
      notice.className = "note";
      var link = document.createElement("a");
      link.href = location.pathname + location.hash;
      link.textContent = "reload";
      link.addEventListener("click", function (e) { e.preventDefault(); location.reload(); });
      notice.append("New results are in the database: ", link, ".");
      document.querySelector("h1").after(notice);
    }, function () {});
  }, 3000);
})();
