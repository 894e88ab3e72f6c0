// The bench view's own script, after page.js and shaper.js: the chip stored last, its verdict per
// configuration with the reasons and its 32 pulses, drawn again whenever /api/version says the
// database has changed (it is asked every 300 ms). The body's data-version, data-chip and
// data-recording say what is shown.
(function (page) {
  "use strict";
  var make = page.make, POLL_MS = 300, NO_STORE = { cache: "no-store" };

  // The times shown of a channel's points `t`: a fitted pulse from shortly before it starts to
  // well after its peak, else all; [from, to] with to > from.
  function shownTimes(fit, t) {
    var t0 = t.length ? t[0] : 0, t1 = t.length ? t[t.length - 1] : 1;
    if (fit.rise_time > 0 && fit.time_stamp !== null) {
      t0 = Math.max(t0, fit.time_stamp - 1.5 * fit.rise_time);
      t1 = Math.min(t1, fit.time_stamp + 5 * fit.rise_time);
    }
    return [t0, t1 > t0 ? t1 : t0 + 1];
  }

  // The place in `box` of a time and a value: px(t), py(v), scaled to the shown times and values.
  function boxScales(box, times, t, y) {
    var t0 = times[0], t1 = times[1];
    var shown = y.filter(function (v, i) { return t[i] >= t0 && t[i] <= t1; });
    var lo = Math.min.apply(null, shown.concat([0])), hi = Math.max.apply(null, shown.concat([1]));
    return { px: function (v) { return box.x + 4 + (box.w - 8) * (v - t0) / (t1 - t0); },
             py: function (v) { return box.y + box.h - 4 - (box.h - 28) * (v - lo) / (hi - lo || 1); } };
  }

  // A channel's box and its label, "ch N" and its fit verdict when not good; red when flagged.
  function drawLabel(g, box, fit, flagged) {
    g.fillStyle = flagged ? "#3a1412" : "#1c1c1c";
    g.fillRect(box.x, box.y, box.w, box.h);
    g.fillStyle = flagged ? "#ff8a80" : "#f2f2f2";
    g.font = "bold " + Math.max(15, Math.round(box.h / 6)) + "px sans-serif";
    g.fillText("ch " + fit.channel + (fit.verdict !== "good" ? " " + fit.verdict : ""),
               box.x + 6, box.y + Math.max(15, box.h / 6) + 2);
  }

  // The fit's shaper curve over the shown times, in 80 steps; none without a fit.
  function drawCurve(g, fit, times, at, flagged) {
    if (fit.rise_time === null || fit.time_stamp === null || fit.amplitude === null) return;
    g.strokeStyle = flagged ? "#ff5252" : "#ffd54f";
    g.lineWidth = 2;
    g.beginPath();
    for (var i = 0; i <= 80; ++i) {
      var ti = times[0] + (times[1] - times[0]) * i / 80;
      var v = page.shaper(ti, fit.rise_time, fit.time_stamp, fit.amplitude);
      if (i) g.lineTo(at.px(ti), at.py(v)); else g.moveTo(at.px(ti), at.py(v));
    }
    g.stroke();
  }

  // One channel's points and fitted curve in the box x, y, w, h of `g`; flagged channels in red.
  function drawChannel(g, box, fit, points, flagged) {
    var t = points ? points[0] : [], y = points ? points[1] : [];
    var times = shownTimes(fit, t), at = boxScales(box, times, t, y);
    drawLabel(g, box, fit, flagged);
    g.fillStyle = "#8ab4f8";
    t.forEach(function (ti, i) {
      if (ti >= times[0] && ti <= times[1]) g.fillRect(at.px(ti) - 2, at.py(y[i]) - 2, 4, 4);
    });
    drawCurve(g, fit, times, at, flagged);
  }

  // The canvas #pulses sized to the screen's width and what is left of its height (the four rows
  // of channels); its 2D context in CSS pixels, cleared, and that size.
  function pulsesCanvas() {
    var canvas = document.getElementById("pulses"), ratio = window.devicePixelRatio || 1;
    var width = canvas.clientWidth || 1200, top = canvas.getBoundingClientRect().top + window.scrollY;
    var height = Math.round(Math.max(width * 0.2, Math.min(width * 0.42, window.innerHeight - top - 40)));
    canvas.width = width * ratio;
    canvas.height = height * ratio;
    canvas.style.height = height + "px";
    var g = canvas.getContext("2d");
    g.scale(ratio, ratio);
    g.clearRect(0, 0, width, height);
    return { canvas: canvas, g: g, width: width, height: height };
  }

  // The 32 channels of a recording's `detail` in 4 rows of 8, flagged as `verdict` flags them.
  function drawPulses(detail, verdict) {
    var c = pulsesCanvas(), fits = detail ? detail.fits : [], columns = 8;
    var w = c.width / columns, h = c.height / 4;
    fits.forEach(function (fit, i) {
      var box = { x: (i % columns) * w + 2, y: Math.floor(i / columns) * h + 2, w: w - 4, h: h - 4 };
      drawChannel(c.g, box, fit, detail.points[String(fit.channel)], !!(verdict && verdict.flags[fit.channel]));
    });
    c.canvas.setAttribute("data-channels", String(fits.length));
  }

  // A configuration's verdict in its colour, with its reasons.
  function verdictBox(v) {
    var box = make("div", { "class": "verdict " + page.outcomeClass(v.outcome), "data-config": v.config,
                            "data-outcome": v.outcome }, [make("h2", {}, [v.config + ": " + v.outcome])]);
    var reasons = v.reasons.map(function (r) { return make("li", {}, [r]); });
    if (reasons.length) box.appendChild(make("ul", {}, reasons));
    return box;
  }

  // The chip, its outcome, when it was stored and its verdicts.
  function showChip(latest) {
    document.getElementById("chip").textContent = "Chip " + latest.chip;
    var outcome = document.getElementById("outcome");
    outcome.textContent = latest.outcome || "";
    outcome.className = page.outcomeClass(latest.outcome || "");
    document.getElementById("when").textContent =
      "Stored " + (latest.analysed_at || "") + " (" + latest.config + ")";
    var verdicts = document.getElementById("verdicts");
    verdicts.textContent = "";
    latest.verdicts.forEach(function (v) { verdicts.appendChild(verdictBox(v)); });
  }

  // The result stored last (/api/latest) of the database's `version`.
  function show(latest, version) {
    showChip(latest);
    // The pulses of the recording stored last, else of its configuration's judged one.
    var verdict = latest.verdicts.find(function (v) { return v.config === latest.config; }) || latest.verdicts[0];
    var detail = latest.details[String(latest.recording)] || (verdict && latest.details[String(verdict.recording)]);
    document.getElementById("pulses-title").textContent = detail && detail.fits.length ?
      "Pulses of " + latest.config + ": points and fit, flagged channels in red" :
      "No pulses: the recording was not analysed.";
    drawPulses(detail, verdict);
    document.body.setAttribute("data-chip", latest.chip);
    document.body.setAttribute("data-recording", String(latest.recording));
    document.body.setAttribute("data-version", String(version));
  }

  // The result stored last; null while the database has none.
  function latestResult() {
    return page.fetchJson("/api/latest", NO_STORE).catch(function (e) {
      if (e.status === 404) return null;
      throw e;
    });
  }

  // Asks the database's version and, when it is new, shows the result stored last; one question
  // at a time.
  var shownVersion = null, busy = false;
  function poll() {
    if (busy) return;
    busy = true;
    page.fetchJson("/api/version", NO_STORE).then(function (v) {
      document.getElementById("status").textContent = v.recordings + " recordings of " + v.chips +
        " chips; checked " + new Date().toLocaleTimeString();
      if (v.version === shownVersion) return null;
      return latestResult().then(function (latest) {
        if (latest) show(latest, v.version);
        shownVersion = v.version;
      });
    }).catch(function (e) {
      document.getElementById("status").textContent = "The server does not answer: " + String(e.message || e);
    }).then(function () { busy = false; });
  }

  page.listErrors();
  poll();
  setInterval(poll, POLL_MS);
})(globalThis.varnelPage);
