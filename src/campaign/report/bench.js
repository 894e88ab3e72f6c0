// The bench view: the chip stored last, its verdict per configuration with the reasons and its
// 32 pulses, drawn again whenever /api/version says the database has changed (it is asked every
// 300 ms). The body's data-version, data-chip and data-recording say what is shown.
(function () {
  "use strict";
  var errors = document.getElementById("errors");
  function report(message) { errors.textContent += message + "\n"; }
  window.addEventListener("error", function (e) { report(String(e.message)); });
  var consoleError = console.error;
  console.error = function () { report(Array.prototype.join.call(arguments, " ")); consoleError.apply(console, arguments); };
  var POLL_MS = 300, shownVersion = null, busy = false;

  function make(tag, cls, text) {
    var e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  }
  function json(url) {
    return fetch(url, { cache: "no-store" }).then(function (r) {
      if (r.status === 404) return null;
      if (!r.ok) throw new Error(url + ": " + r.status);
      return r.json();
    });
  }
  function outcomeClass(outcome) { return String(outcome).replace(" ", "-"); }

  // The shaper's response with baseline 0: A u^4 e^(-4(u-1)), u = (t - time stamp) / peak time.
  function shaper(t, peakTime, timeStamp, amplitude) {
    if (t < timeStamp || !(peakTime > 0)) return 0;
    var u = (t - timeStamp) / peakTime;
    return amplitude * Math.pow(u, 4) * Math.exp(-4 * (u - 1));
  }

  // One channel's points and fitted curve in the box x, y, w, h of `g`; flagged channels in red.
  function drawChannel(g, box, fit, points, flagged) {
    var t = points ? points[0] : [], y = points ? points[1] : [];
    var t0 = t.length ? t[0] : 0, t1 = t.length ? t[t.length - 1] : 1;
    // A fitted pulse is shown from shortly before it starts to well after its peak.
    if (fit.rise_time > 0 && fit.time_stamp !== null) {
      t0 = Math.max(t0, fit.time_stamp - 1.5 * fit.rise_time);
      t1 = Math.min(t1, fit.time_stamp + 5 * fit.rise_time);
    }
    if (!(t1 > t0)) t1 = t0 + 1;
    var shown = y.filter(function (v, i) { return t[i] >= t0 && t[i] <= t1; });
    var lo = Math.min.apply(null, shown.concat([0])), hi = Math.max.apply(null, shown.concat([1]));
    function px(v) { return box.x + 4 + (box.w - 8) * (v - t0) / (t1 - t0); }
    function py(v) { return box.y + box.h - 4 - (box.h - 28) * (v - lo) / (hi - lo || 1); }
    g.fillStyle = flagged ? "#3a1412" : "#1c1c1c";
    g.fillRect(box.x, box.y, box.w, box.h);
    g.fillStyle = flagged ? "#ff8a80" : "#f2f2f2";
    g.font = "bold " + Math.max(15, Math.round(box.h / 6)) + "px sans-serif";
    g.fillText("ch " + fit.channel + (fit.verdict !== "good" ? " " + fit.verdict : ""), box.x + 6, box.y + Math.max(15, box.h / 6) + 2);
    g.fillStyle = "#8ab4f8";
    t.forEach(function (ti, i) { if (ti >= t0 && ti <= t1) g.fillRect(px(ti) - 2, py(y[i]) - 2, 4, 4); });
    if (fit.rise_time === null || fit.time_stamp === null || fit.amplitude === null) return;
    g.strokeStyle = flagged ? "#ff5252" : "#ffd54f";
    g.lineWidth = 2;
    g.beginPath();
    for (var i = 0; i <= 80; ++i) {
      var ti = t0 + (t1 - t0) * i / 80, v = shaper(ti, fit.rise_time, fit.time_stamp, fit.amplitude);
      if (i) g.lineTo(px(ti), py(v)); else g.moveTo(px(ti), py(v));
    }
    g.stroke();
  }
  function drawPulses(detail, verdict) {
    var canvas = document.getElementById("pulses"), ratio = window.devicePixelRatio || 1;
    // The four rows of channels fill the screen's width and what is left of its height.
    var width = canvas.clientWidth || 1200, top = canvas.getBoundingClientRect().top + window.scrollY;
    var height = Math.round(Math.max(width * 0.2, Math.min(width * 0.42, window.innerHeight - top - 40)));
    canvas.width = width * ratio;
    canvas.height = height * ratio;
    canvas.style.height = height + "px";
    var g = canvas.getContext("2d");
    g.scale(ratio, ratio);
    g.clearRect(0, 0, width, height);
    var fits = detail ? detail.fits : [], columns = 8, w = width / columns, h = height / 4;
    fits.forEach(function (fit, i) {
      var box = { x: (i % columns) * w + 2, y: Math.floor(i / columns) * h + 2, w: w - 4, h: h - 4 };
      drawChannel(g, box, fit, detail.points[String(fit.channel)], !!(verdict && verdict.flags[fit.channel]));
    });
    canvas.setAttribute("data-channels", String(fits.length));
  }

  function verdictBox(v) {
    var box = make("div", "verdict " + outcomeClass(v.outcome));
    box.setAttribute("data-config", v.config);
    box.setAttribute("data-outcome", v.outcome);
    box.appendChild(make("h2", "", v.config + ": " + v.outcome));
    if (v.reasons.length) {
      var list = make("ul");
      v.reasons.forEach(function (r) { list.appendChild(make("li", "", r)); });
      box.appendChild(list);
    }
    return box;
  }
  function show(latest, version) {
    document.getElementById("chip").textContent = "Chip " + latest.chip;
    var outcome = document.getElementById("outcome");
    outcome.textContent = latest.outcome || "";
    outcome.className = outcomeClass(latest.outcome || "");
    document.getElementById("when").textContent =
      "Stored " + (latest.analysed_at || "") + " (" + latest.config + ")";
    var verdicts = document.getElementById("verdicts");
    verdicts.textContent = "";
    latest.verdicts.forEach(function (v) { verdicts.appendChild(verdictBox(v)); });
    // The pulses of the recording stored last, else of its configuration's judged one.
    var verdict = latest.verdicts.find(function (v) { return v.config === latest.config; }) || latest.verdicts[0];
    var detail = latest.details[String(latest.recording)] || (verdict && latest.details[String(verdict.recording)]);
    document.getElementById("pulses-title").textContent = detail && detail.fits.length ?
      "Pulses of " + latest.config + ": points and fit, flagged channels in red" : "No pulses: the recording was not analysed.";
    drawPulses(detail, verdict);
    document.body.setAttribute("data-chip", latest.chip);
    document.body.setAttribute("data-recording", String(latest.recording));
    document.body.setAttribute("data-version", String(version));
  }
  function poll() {
    if (busy) return;
    busy = true;
    json("/api/version").then(function (v) {
      document.getElementById("status").textContent = v.recordings + " recordings of " + v.chips +
        " chips; checked " + new Date().toLocaleTimeString();
      if (v.version === shownVersion) return null;
      return json("/api/latest").then(function (latest) {
        if (latest) show(latest, v.version);
        shownVersion = v.version;
      });
    }).catch(function (e) {
      document.getElementById("status").textContent = "The server does not answer: " + String(e.message || e);
    }).then(function () { busy = false; });
  }
  poll();
  setInterval(poll, POLL_MS);
})();
