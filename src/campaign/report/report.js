// The campaign report's page: builds the tables from the data the program wrote into
// #report-data, fills the Vega chart definitions of #chart-definitions with it, and opens a chip's
// pulses when its row is clicked or its #chip-<chip> anchor is the page's address.
(function () {
  "use strict";
  var errors = document.getElementById("errors");
  function report(message) { errors.textContent += message + "\n"; }
  window.addEventListener("error", function (e) { report(String(e.message)); });
  var consoleError = console.error;
  console.error = function () {
    report(Array.prototype.join.call(arguments, " "));
    consoleError.apply(console, arguments);
  };

  // Vega's scripts follow this one, so that the first screen need not wait for them.
  var vegaLoaded = new Promise(function (resolve) {
    if (document.readyState !== "loading") resolve();
    else document.addEventListener("DOMContentLoaded", function () { resolve(); });
  });
  function afterNextPaint(then) {
    // The frame after next has painted what the first one drew.
    requestAnimationFrame(function () { requestAnimationFrame(then); });
  }
  function now() { return String(Math.round(performance.now())); }

  // A served page's data comes fetched (live.js); a written report's is in the page.
  var data = window.campaignReportData || JSON.parse(document.getElementById("report-data").textContent);
  var definitions = JSON.parse(document.getElementById("chart-definitions").textContent);
  var OUTCOMES = ["pass", "fail", "retest", "not judged"];

  // An element with attributes and children (strings become text).
  function make(tag, attributes, children) {
    var e = document.createElement(tag);
    Object.keys(attributes || {}).forEach(function (k) { e.setAttribute(k, attributes[k]); });
    (children || []).forEach(function (c) {
      e.appendChild(typeof c === "string" || typeof c === "number" ? document.createTextNode(String(c)) : c);
    });
    return e;
  }
  function percent(part, whole) { return whole ? (100 * part / whole).toFixed(1) + " %" : "-"; }
  function copy(definition) { return JSON.parse(JSON.stringify(definition)); }
  // The minimum, quartiles, median and maximum of `values`, interpolated between neighbours.
  function quartiles(values) {
    var v = values.slice().sort(function (a, b) { return a - b; });
    function at(p) {
      var i = (v.length - 1) * p, low = Math.floor(i), high = Math.ceil(i);
      return v[low] + (v[high] - v[low]) * (i - low);
    }
    return { lo: v[0], q1: at(0.25), median: at(0.5), q3: at(0.75), hi: v[v.length - 1] };
  }
  function setData(definition, name, values) {
    definition.data.forEach(function (d) { if (d.name === name) d.values = values; });
  }
  function setSignal(definition, name, value, options) {
    definition.signals.forEach(function (s) {
      if (s.name !== name) return;
      s.value = value;
      if (options) s.bind.options = options;
    });
  }

  // ---- Tables: sorting on a click of a heading, CSV of the rows shown.
  function table(id, headings, rows, classes) {
    var body = make("tbody", {}, rows.map(function (row) {
      return make("tr", {}, row.map(function (cell, i) {
        return make("td", classes && classes[i] ? { "class": classes[i](cell) } : {},
                    [cell instanceof Node ? cell : String(cell)]);
      }));
    }));
    var t = make("table", { "class": "sortable", id: id },
                 [make("thead", {}, [make("tr", {}, headings.map(function (h) { return make("th", {}, [h]); }))]), body]);
    sortable(t);
    return t;
  }
  function sortable(t) {
    t.querySelectorAll("th").forEach(function (th, column) {
      th.addEventListener("click", function () {
        var body = t.tBodies[0], rows = Array.from(body.rows);
        var down = th.dataset.order !== "up";
        t.querySelectorAll("th").forEach(function (other) { delete other.dataset.order; });
        th.dataset.order = down ? "up" : "down";
        rows.sort(function (a, b) {
          var x = a.cells[column].textContent, y = b.cells[column].textContent;
          var n = parseFloat(x) - parseFloat(y);
          var c = isNaN(n) ? x.localeCompare(y) : n;
          return down ? c : -c;
        });
        rows.forEach(function (r) { body.appendChild(r); });
      });
    });
  }
  // A cell a spreadsheet would run as a formula (its text begins with =, +, -, @, a tab or a
  // carriage return, and it is not a number) is written with a leading quote, so it shows as text.
  var numberCell = /^[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?$/;
  function csvField(text) {
    text = String(text === null || text === undefined ? "" : text);
    if (/^[=+\-@\t\r]/.test(text) && !numberCell.test(text)) text = "'" + text;
    return /[",\r\n]/.test(text) ? "\"" + text.replace(/"/g, "\"\"") + "\"" : text;
  }
  function csvOf(headings, rows) {
    return [headings].concat(rows).map(function (r) { return r.map(csvField).join(","); }).join("\n") + "\n";
  }
  function tableCsv(t) {
    var headings = Array.from(t.tHead.rows[0].cells).map(function (c) { return c.textContent; });
    var rows = Array.from(t.tBodies[0].rows).filter(function (r) { return !r.hidden; }).map(function (r) {
      return Array.from(r.cells).map(function (c) { return c.textContent; });
    });
    return csvOf(headings, rows);
  }
  function download(name, text) {
    var a = make("a", { href: URL.createObjectURL(new Blob([text], { type: "text/csv" })), download: name });
    document.body.appendChild(a);
    a.click();
    a.remove();
  }

  // ---- The chips: each chip's worst outcome over its configurations.
  var byChip = {};
  data.verdicts.forEach(function (v) { (byChip[v.chip] || (byChip[v.chip] = [])).push(v); });
  // Each chip's verdict over the configurations it must pass, as the program judged it.
  var chipVerdicts = {};
  data.chips.forEach(function (c) { chipVerdicts[c.chip] = c; });
  function chipOutcome(verdicts) {
    var own = verdicts.length ? chipVerdicts[verdicts[0].chip] : null;
    return own ? own.outcome : "pass";
  }
  function summary() {
    var count = { pass: 0, fail: 0, retest: 0, incomplete: 0, "not judged": 0 }, chips = Object.keys(byChip);
    chips.forEach(function (c) { count[chipOutcome(byChip[c])]++; });
    function kpi(cls, value, label) {
      return make("div", { "class": "kpi " + cls, "data-value": String(value) }, [make("b", {}, [value]), label]);
    }
    var box = document.getElementById("kpis");
    [kpi("yield", percent(count.pass, chips.length), "chip yield"),
     kpi("tested", chips.length, "chips tested"),
     kpi("passing", count.pass, "pass every configuration"),
     kpi("failing", count.fail, "fail"),
     kpi("retests", count.retest, "await a retest"),
     kpi("incomplete", count.incomplete, "not tested in every required configuration"),
     kpi("unjudged", count["not judged"], "not judged")].forEach(function (k) { box.appendChild(k); });
    box.after(make("p", { "class": "note" }, [
      data.recordings + " recordings, " + data.failed_run_count + " failed runs, configurations " +
      data.configs.join(", ") + ". A chip passes when it passes in every required configuration (" +
      data.required.join(", ") + ") and in every other it was tested in."]));
  }

  function reasons(v) { return v.reasons.join("; "); }
  // A chip's address, "#chip-NAME" with NAME percent-encoded, and the chip an address names: the
  // text as it stands when it is no valid encoding (a "%" typed by hand).
  function chipAddress(chip) { return "chip-" + encodeURIComponent(chip); }
  function chipOfAddress(text) {
    try { return decodeURIComponent(text); } catch (e) { return text; }
  }
  function failingTable() {
    // Each configuration's verdict that is not a pass, and each chip never tested in a
    // configuration it must pass.
    var failing = data.verdicts.filter(function (v) { return v.outcome !== "pass"; });
    data.chips.forEach(function (c) {
      if (c.outcome !== "incomplete") return;
      c.reasons.forEach(function (r) {
        failing.push({ chip: c.chip, config: r.replace(/^not tested in /, ""), outcome: "incomplete",
                       flagged: "", reasons: [r] });
      });
    });
    var holder = document.getElementById("failing-table");
    if (!failing.length) { holder.appendChild(make("p", {}, ["Every chip passes."])); return; }
    var t = table("failing-chips", ["chip", "configuration", "verdict", "flagged channels", "why"],
      failing.map(function (v) { return [v.chip, v.config, v.outcome, v.flagged, reasons(v)]; }),
      [null, null, function (o) { return o.replace(" ", "-"); }, null, function () { return "why"; }]);
    Array.from(t.tBodies[0].rows).forEach(function (row, i) {
      row.dataset.chip = failing[i].chip;
      row.title = "open chip " + failing[i].chip;
      row.addEventListener("click", function () { location.hash = chipAddress(failing[i].chip); });
    });
    holder.appendChild(t);
    var count = document.getElementById("failing-count");
    function shown() {
      var n = Array.from(t.tBodies[0].rows).filter(function (r) { return !r.hidden; }).length;
      count.textContent = n + " of " + failing.length + " verdicts shown; click a row to open its chip";
    }
    document.getElementById("filter").addEventListener("input", function () {
      var words = this.value.toLowerCase().split(/\s+/).filter(Boolean);
      Array.from(t.tBodies[0].rows).forEach(function (r) {
        var text = r.textContent.toLowerCase();
        r.hidden = !words.every(function (w) { return text.indexOf(w) >= 0; });
      });
      shown();
    });
    document.getElementById("failing-csv").addEventListener("click", function () {
      download("failing-chips.csv", tableCsv(t));
    });
    shown();
  }

  // ---- Why chips fail, and yield per configuration and day.
  function causes() {
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
  function paretoCounts(rows) {
    var holder = document.getElementById("pareto-counts");
    if (!rows.length) { holder.appendChild(make("p", {}, ["No chip fails."])); return; }
    var totals = {};
    rows.forEach(function (r) { totals[r.cause] = (totals[r.cause] || 0) + r.count; });
    var causeOrder = Object.keys(totals).sort(function (a, b) { return totals[b] - totals[a]; });
    holder.appendChild(table("pareto-table", ["cause"].concat(data.configs, ["all"]),
      causeOrder.map(function (cause) {
        return [cause].concat(data.configs.map(function (config) {
          var r = rows.find(function (x) { return x.cause === cause && x.config === config; });
          return r ? r.count : 0;
        }), [totals[cause]]);
      })));
  }
  function configYield() {
    var per = {};
    data.verdicts.forEach(function (v) {
      (per[v.config] || (per[v.config] = { pass: 0, fail: 0, retest: 0, "not judged": 0 }))[v.outcome]++;
    });
    document.getElementById("config-yield").appendChild(table("config-table",
      ["configuration", "chips", "pass", "fail", "retest", "not judged", "yield"],
      data.configs.map(function (c) {
        var n = per[c], total = n.pass + n.fail + n.retest + n["not judged"];
        return [c, total, n.pass, n.fail, n.retest, n["not judged"], percent(n.pass, total)];
      })));
    var rows = [];
    data.configs.forEach(function (c) {
      OUTCOMES.forEach(function (o, i) { if (per[c][o]) rows.push({ config: c, outcome: o, count: per[c][o], order: i }); });
    });
    return rows;
  }
  function days() {
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

  // ---- The population: every judged recording's channels as compact rows [chip, configuration
  // index, channel, rise time, amplitude, time stamp, fit verdict index, flagged] (see
  // report_charts.cc), expanded into objects only where a chart needs them one by one.
  var packed = data.cells, QUANTITY_COLUMN = { rise_time: 3, amplitude: 4, time_stamp: 5 };
  var flagReason = {};
  data.verdicts.forEach(function (v) { flagReason[v.chip + "|" + v.config] = v; });
  var medians = {};
  packed.stats.forEach(function (s) {
    var byConfig = medians[s.config] || (medians[s.config] = {});
    (byConfig[s.quantity] || (byConfig[s.quantity] = []))[s.channel] = s.median;
  });
  var limits = {};
  data.bands.forEach(function (b) {
    limits[b.config + "|" + b.quantity + "|" + b.channel] = b.lo + " to " + b.hi + " (" + b.rule + ")";
  });
  function cell(r) {
    var config = packed.configs[r[1]], v = flagReason[r[0] + "|" + config];
    return { chip: r[0], config: config, channel: r[2], rise_time: r[3], amplitude: r[4],
             time_stamp: r[5], verdict: packed.verdicts[r[6]], flagged: r[7] === 1,
             outcome: v ? v.outcome : "", reason: v ? v.flags[r[2]] || "" : "" };
  }
  var flaggedCells = packed.rows.filter(function (r) { return r[7] === 1; }).map(cell);
  function chipCells(chip) { return packed.rows.filter(function (r) { return r[0] === chip; }).map(cell); }
  // The row of a chip's channel in a configuration, found through an index built on first use.
  var rowIndex = null;
  function rowOf(chip, config, channel) {
    if (!rowIndex) {
      rowIndex = {};
      packed.rows.forEach(function (r) { rowIndex[r[0] + "|" + r[1] + "|" + r[2]] = r; });
    }
    return rowIndex[chip + "|" + packed.configs.indexOf(config) + "|" + channel];
  }

  // The heat map's cells as an image, a pixel per chip (a row, in the order of the view's y
  // scale) and channel, coloured by the view's own colour scale: the value, or its deviation from
  // the channel's median. Cells without a number are grey, chips not tested in the
  // configuration blank. The image as a canvas and the number of cells painted.
  var GREY = [204, 204, 204];
  function palette(colour, lo, hi) {
    var probe = document.createElement("canvas").getContext("2d"), colours = [];
    for (var i = 0; i < 256; ++i) {
      probe.fillStyle = "#000000";
      probe.fillStyle = String(colour(lo + (hi - lo) * i / 255));
      var hex = probe.fillStyle;  // canvas normalises an opaque colour to #rrggbb
      colours.push([1, 3, 5].map(function (at) { return parseInt(hex.substr(at, 2), 16); }));
    }
    return colours;
  }
  function cellsImage(view) {
    var configIndex = packed.configs.indexOf(view.signal("config")), quantity = view.signal("quantity");
    var byValue = view.signal("by_value"), column = QUANTITY_COLUMN[quantity];
    var byChannel = (medians[view.signal("config")] || {})[quantity] || [];
    var chips = view.scale("y").domain(), colour = view.scale("colour"), domain = colour.domain();
    var lo = domain[0], hi = domain[domain.length - 1], colours = palette(colour, lo, hi);
    var row = {};
    chips.forEach(function (c, i) { row[c] = i; });
    var canvas = document.createElement("canvas");
    canvas.width = 32;
    canvas.height = Math.max(1, chips.length);
    var context = canvas.getContext("2d"), image = context.createImageData(32, canvas.height);
    var painted = 0;
    packed.rows.forEach(function (r) {
      var at = row[r[0]];
      if (r[1] !== configIndex || at === undefined || !(r[2] >= 0 && r[2] < 32)) return;
      var v = r[column];
      if (v !== null && !byValue) v = byChannel[r[2]] === undefined ? null : v - byChannel[r[2]];
      var c = GREY;
      if (v !== null && isFinite(v)) {
        var t = hi > lo ? (v - lo) / (hi - lo) : 0.5;
        c = colours[Math.round(255 * Math.min(1, Math.max(0, t)))];
      }
      var pixel = 4 * (at * 32 + r[2]);
      image.data[pixel] = c[0];
      image.data[pixel + 1] = c[1];
      image.data[pixel + 2] = c[2];
      image.data[pixel + 3] = 255;
      ++painted;
    });
    context.putImageData(image, 0, 0);
    return { canvas: canvas, cells: painted };
  }
  // Paints the heat map's cells for the menus' choice, and again whenever one changes. Vega's
  // image mark draws the `image` an item holds when that image's `url` is the item's own; the
  // painted canvas is handed over so, under a new name each time, rather than as a data URL
  // that would be encoded, loaded and decoded, and the chart drawn again once it arrived.
  var paintings = 0;
  function paintCells(view, element) {
    function paint() {
      var image = cellsImage(view);
      image.canvas.url = "data:,heat-map-cells-" + ++paintings;
      eachMark(view, function (node) {
        if (node.name === "cells") node.items.forEach(function (item) { item.image = image.canvas; });
      });
      element.setAttribute("data-cells", String(image.cells));
      view.signal("cells_image", image.canvas.url);
    }
    ["config", "quantity", "show"].forEach(function (name) {
      view.addSignalListener(name, function () {
        view.runAfter(function () { paint(); view.runAsync(); });
      });
    });
    paint();
  }
  // The heat map's cell under the pointer: its tooltip, and a click opens its chip.
  function cellTooltips(view, element) {
    function cellAt(event) {
      var box = view.container().querySelector("canvas").getBoundingClientRect(), origin = view.origin();
      var x = event.clientX - box.left - origin[0], y = event.clientY - box.top - origin[1];
      var xs = view.scale("x"), ys = view.scale("y");
      var channel = xs.domain()[Math.floor(x / xs.step())], chip = ys.domain()[Math.floor(y / ys.step())];
      if (x < 0 || y < 0 || channel === undefined || chip === undefined) return null;
      var config = view.signal("config"), quantity = view.signal("quantity");
      var r = rowOf(chip, config, channel);
      if (!r) return null;
      var c = cell(r);
      return { chip: chip, channel: channel, configuration: config, quantity: quantity,
               value: c[quantity], limit: limits[config + "|" + quantity + "|" + channel] || "none",
               "fit verdict": c.verdict, "chip verdict": c.outcome, flagged: c.reason || "no" };
    }
    element.addEventListener("mousemove", function (event) { tooltip(null, event, null, cellAt(event)); });
    element.addEventListener("mouseleave", function () { tip.style.display = "none"; });
    element.addEventListener("click", function (event) {
      var c = cellAt(event);
      if (c) location.hash = chipAddress(c.chip);
    });
  }
  // The configuration most chips were judged in.
  function commonestConfig() {
    var n = {};
    data.verdicts.forEach(function (v) { n[v.config] = (n[v.config] || 0) + 1; });
    return data.configs.slice().sort(function (a, b) { return n[b] - n[a] || a.localeCompare(b); })[0] || "";
  }

  // ---- Rendering: a tooltip of every field, and the marks each chart drew.
  var tip = document.getElementById("tooltip");
  function tooltip(handler, event, item, value) {
    if (value === null || value === undefined || value === "") { tip.style.display = "none"; return; }
    tip.textContent = "";
    if (typeof value === "object") {
      tip.appendChild(make("table", {}, Object.keys(value).map(function (k) {
        var v = value[k];
        return make("tr", {}, [make("td", {}, [k]), make("td", {}, [typeof v === "number" ? String(Math.round(v * 100) / 100) : String(v)])]);
      })));
    } else tip.textContent = String(value);
    tip.style.display = "block";
    var x = event.clientX + 14, y = event.clientY + 14;
    tip.style.left = Math.min(x, window.innerWidth - tip.offsetWidth - 8) + "px";
    tip.style.top = (y + tip.offsetHeight > window.innerHeight ? event.clientY - tip.offsetHeight - 8 : y) + "px";
  }
  // Calls `f` with every mark of a view's scene graph, its axes' and legends' too.
  function eachMark(view, f) {
    (function visit(node) {
      if (node.marktype) f(node);
      (node.items || []).forEach(function (item) { (item.items || []).forEach(visit); });
    })(view.scenegraph().root);
  }
  // The marks a chart drew, by type, from its scene graph: "rect:384 rule:32" on its element.
  function countMarks(view, element) {
    var counts = {};
    eachMark(view, function (node) {
      if (node.role === "mark" && node.marktype !== "group")
        counts[node.marktype] = (counts[node.marktype] || 0) + node.items.length;
    });
    element.setAttribute("data-marks", Object.keys(counts).sort().map(function (k) {
      return k + ":" + counts[k];
    }).join(" "));
  }
  // Canvas draws tens of thousands of cells far faster than SVG.
  // A chart's menus go above it, where they are seen before the chart is scrolled through.
  // The view runs its dataflow once before it has a place on the page, so that `prepare`, if
  // given, can read its scales and set its signals (view, element) before the one drawing.
  function render(element, definition, prepare) {
    var controls = null;
    if ((definition.signals || []).some(function (s) { return s.bind; })) {
      controls = make("div", { "class": "controls" });
      element.before(controls);
    }
    var view = new vega.View(vega.parse(definition), { renderer: "canvas", hover: true, tooltip: tooltip });
    return view.runAsync().then(function () {
      if (prepare) prepare(view, element);
      view.initialize(element, controls);
      return view.runAsync();
    }).then(function () { countMarks(view, element); return view; });
  }

  // ---- An opened chip: its verdicts, the recording's problems, superseded recordings, pulses.
  // The shaper's response with baseline 0: A u^4 e^(-4(u-1)), u = (t - time stamp) / peak time.
  function shaper(t, peakTime, timeStamp, amplitude) {
    if (t < timeStamp || !(peakTime > 0)) return 0;
    var u = (t - timeStamp) / peakTime;
    return amplitude * Math.pow(u, 4) * Math.exp(-4 * (u - 1));
  }
  // A stored fraction as a percentage to a hundredth; null stays null.
  function fractionPercent(fraction) {
    return fraction === null || fraction === undefined ? null : Math.round(fraction * 1e4) / 100;
  }
  function pulseData(detail, verdict) {
    var channels = [], rows = [];
    detail.fits.forEach(function (f) {
      var ch = f.channel, reason = verdict.flags[ch] || "";
      channels.push({ ch: ch, rise_time: f.rise_time, time_stamp: f.time_stamp, amplitude: f.amplitude,
                      verdict: f.verdict, chi2: f.chi2, ndf: f.ndf, why: f.why || "", flagged: reason !== "",
                      reason: reason, misfit_pct: fractionPercent(f.misfit), pedestal: f.pedestal, headroom: f.headroom,
                      short_reason: reason.replace(/^channel \d+: /, ""),
                      label: "ch " + ch + (f.verdict !== "good" ? " " + f.verdict : "") });
      var p = detail.points[ch];
      if (p) p[0].forEach(function (t, i) { rows.push({ ch: ch, kind: "point", t: t, y: p[1][i], ey: p[2][i] }); });
      var from = f.fit_min, to = f.fit_max;
      if (p && !(to > from)) { from = p[0][0]; to = p[0][p[0].length - 1]; }
      if (f.rise_time === null || f.time_stamp === null || f.amplitude === null || !(to > from)) return;
      for (var i = 0; i <= 60; ++i) {
        var t = from + (to - from) * i / 60;
        rows.push({ ch: ch, kind: "curve", t: t, y: shaper(t, f.rise_time, f.time_stamp, f.amplitude) });
      }
    });
    return { channels: channels, rows: rows };
  }
  function channelsCsv(verdict, detail) {
    return csvOf(["chip", "configuration", "channel", "fit verdict", "rise time (ns)", "time stamp (ns)",
                  "amplitude (ADC)", "chi2", "ndf", "misfit (%)", "pedestal (ADC)", "headroom (ADC)",
                  "why the fit judged so", "flagged"],
      detail.fits.map(function (f) {
        return [verdict.chip, verdict.config, f.channel, f.verdict, f.rise_time, f.time_stamp, f.amplitude,
                f.chi2, f.ndf, fractionPercent(f.misfit), f.pedestal, f.headroom, f.why || "", verdict.flags[f.channel] || ""];
      }));
  }
  function list(items, cls) {
    return make("ul", cls ? { "class": cls } : {}, items.map(function (i) { return make("li", {}, [i]); }));
  }
  function recordingPart(verdict, index, section) {
    var part = make("div", { "class": "config" }, [
      make("h3", {}, [verdict.config + ": ", make("span", { "class": verdict.outcome.replace(" ", "-") }, [verdict.outcome])])]);
    if (verdict.reasons.length) part.appendChild(list(verdict.reasons));
    var detail = data.details[String(verdict.recording)];
    part.appendChild(make("p", { "class": "note" }, [
      "Recording judged: " + (verdict.path || "none") +
      (detail ? " (recorded " + (detail.recorded_at || "at an unknown time") + ", " + detail.events + " of " +
                detail.events_started + " events completed" +
                (detail.common_mode_noise !== null && detail.common_mode_noise !== undefined ?
                 ", common-mode noise " + detail.common_mode_noise + " ADC" : "") + ")" : "")]));
    if (!detail && data.pulses_note) part.appendChild(make("p", { "class": "note pulses-note" }, [data.pulses_note]));
    if (detail && detail.problems.length) part.appendChild(make("div", {}, ["The recording's problems:", list(detail.problems, "problems")]));
    if (detail && detail.message) part.appendChild(make("p", { "class": "note" }, ["Analysis: " + detail.message]));
    if (verdict.superseded.length)
      part.appendChild(make("div", {}, ["Earlier recordings, superseded by the one judged:", list(verdict.superseded.map(function (s) {
        return s.path + (s.recorded_at ? " (recorded " + s.recorded_at + (s.events !== undefined ? ", " + s.events + " events" : "") + ")" : "") +
               (s.status ? ": not analysed, " + s.message : "");
      }))]));
    if (!detail || !detail.fits.length) {
      part.appendChild(make("p", { "class": "note" }, [detail ? "No pulses: the recording was not analysed." :
        "Its pulses are not in this report (the campaign is large; the report carries failing and retest chips)."]));
      return part;
    }
    var button = make("button", { type: "button" }, ["Save channels as CSV"]);
    button.addEventListener("click", function () { download("chip-" + verdict.chip + "-" + verdict.config + ".csv", channelsCsv(verdict, detail)); });
    part.appendChild(make("div", { "class": "tools" }, [button]));
    var chart = make("div", { "class": "chart pulses", id: "pulses-" + verdict.chip + "-" + index,
                              "data-flagged": String(Object.keys(verdict.flags).length) });
    part.appendChild(chart);
    var definition = copy(definitions.pulses), d = pulseData(detail, verdict);
    setData(definition, "channels", d.channels);
    setData(definition, "rows", d.rows);
    section.pending.push(function () { return render(chart, definition); });
    return part;
  }
  // The chip's amplitudes against the injected amplitudes, with the line of each channel's
  // gain and offset, when the campaign characterised it.
  var characterised = {};
  data.characterisation.forEach(function (r) { (characterised[r[0]] || (characterised[r[0]] = [])).push(r); });
  function linearityPart(chip, section) {
    var figures = characterised[chip];
    if (!figures) return null;
    var channels = {}, rows = [];
    var largest = Math.max.apply(null, Object.keys(data.injections).map(function (c) { return data.injections[c]; }));
    figures.forEach(function (r) {
      channels[r[1]] = { ch: r[1], gain: r[2], noise_mV: r[3], reason: r[4], flagged: r[4] !== "", offset: r[5],
                         label: "ch " + r[1] + ": " + r[2] + " ADC/mV" };
      if (r[5] !== null) [0, largest].forEach(function (mV) { rows.push({ ch: r[1], kind: "line", mV: mV, amplitude: r[5] + r[2] * mV }); });
    });
    chipCells(chip).forEach(function (c) {
      var mV = data.injections[c.config];
      if (mV === undefined || c.amplitude === null || !channels[c.channel]) return;
      rows.push({ ch: c.channel, kind: "point", config: c.config, mV: mV, amplitude: c.amplitude });
    });
    var chart = make("div", { "class": "chart linearity", id: "linearity-" + chip });
    var definition = copy(definitions.linearity);
    setData(definition, "channels", Object.keys(channels).map(function (k) { return channels[k]; }));
    setData(definition, "rows", rows);
    section.pending.push(function () { return render(chart, definition); });
    return make("div", {}, [make("h3", {}, ["Amplitude against the injected amplitude"]), chart]);
  }
  var sections = {};
  function chipSection(chip) {
    if (sections[chip]) return sections[chip];
    var verdicts = byChip[chip];
    if (!verdicts) return null;
    var close = make("a", { href: "#failing" }, ["close"]);
    var section = make("section", { "class": "chip", id: "chip-" + chip }, [
      make("h2", {}, ["Chip " + chip + " \u2014 ", make("span", { "class": chipOutcome(verdicts).replace(" ", "-") }, [chipOutcome(verdicts)]), " ", close])]);
    section.pending = [];
    verdicts.forEach(function (v, i) { section.appendChild(recordingPart(v, i, section)); });
    var linearity = linearityPart(chip, section);
    if (linearity) section.appendChild(linearity);
    document.getElementById("chips").appendChild(section);
    sections[chip] = section;
    return section;
  }
  // A served page fetches a chip's recordings from data.chip_url when it is first opened.
  var fetched = {};
  function fetchDetails(chip) {
    if (!data.chip_url || fetched[chip] || !byChip[chip]) return null;
    fetched[chip] = true;
    return fetch(data.chip_url + encodeURIComponent(chip)).then(function (r) {
      if (!r.ok) throw new Error("chip " + chip + ": " + r.status);
      return r.json();
    }).then(function (c) { Object.keys(c.details).forEach(function (id) { data.details[id] = c.details[id]; }); });
  }
  function openChip(chip, scroll) {
    var fetching = fetchDetails(chip);
    if (fetching) return fetching.then(function () { return openChip(chip, scroll); }, function (e) { report(String(e)); });
    var section = chipSection(chip);
    if (!section) { report("no chip " + chip + " in this campaign"); return; }
    Object.keys(sections).forEach(function (c) { sections[c].hidden = c !== chip; });
    var pending = section.pending;
    section.pending = [];
    if (scroll) section.scrollIntoView();
    return vegaLoaded.then(function () {
      return Promise.all(pending.map(function (draw) { return draw(); }));
    }).then(function () {
      section.setAttribute("data-rendered", String(section.querySelectorAll(".pulses").length));
      afterNextPaint(function () { section.setAttribute("data-rendered-ms", now()); });
    }, function (e) { report(String(e)); });
  }
  // The chip the address names opened; a promise of its drawing, if any.
  function followAddress(scroll) {
    var m = /^#chip-(.+)$/.exec(location.hash);
    if (m) return openChip(chipOfAddress(m[1]), scroll);
    Object.keys(sections).forEach(function (c) { sections[c].hidden = true; });
  }

  // ---- The page.
  document.getElementById("rule").textContent = data.rule;
  summary();
  failingTable();
  var causeRows = causes();
  paretoCounts(causeRows);
  var charts = {
    pareto: function (s) { setData(s, "causes", causeRows); },
    yield: function (s) { setData(s, "yield", configYield()); s.height = Math.max(60, 36 * data.configs.length); },
    byday: function (s) { setData(s, "days", days()); },
    heatmap: null,
    distribution: null
  };
  var config = commonestConfig(), chipCount = Object.keys(byChip).length;
  var prepareView = {};
  charts.heatmap = function (s) {
    var seen = {};
    setData(s, "chips", packed.rows.filter(function (r) {
      var key = r[0] + "|" + r[1];
      return seen[key] ? false : (seen[key] = true);
    }).map(function (r) { return { chip: r[0], config: packed.configs[r[1]] }; }));
    setData(s, "flagged", flaggedCells);
    setData(s, "range", data.ranges);
    setSignal(s, "config", config, data.configs);
    // Every chip keeps a labelled row; a large campaign scrolls.
    var step = chipCount > 400 ? 9 : chipCount > 60 ? 11 : 14;
    s.height = Math.max(60, step * chipCount);
    setSignal(s, "label_size", step > 10 ? 10 : 8);
  };
  prepareView.heatmap = function (view, element) {
    cellTooltips(view, element);
    paintCells(view, element);
  };
  charts.distribution = function (s) {
    setData(s, "flagged_cells", flaggedCells);
    setData(s, "stats", data.cells.stats);
    setData(s, "bands", data.bands);
    setSignal(s, "config", config, data.configs);
  };
  // Gain and noise, when the campaign has configurations of known injected amplitudes.
  if (data.characterisation.length) {
    document.getElementById("gains").hidden = false;
    charts.characterisation = function (s) {
      setData(s, "channels", data.characterisation.map(function (r) {
        return { chip: r[0], channel: r[1], gain: r[2], noise_mV: r[3], reason: r[4], flagged: r[4] !== "" };
      }));
      s.height = Math.max(60, (chipCount > 400 ? 9 : chipCount > 60 ? 11 : 14) * chipCount);
    };
    charts["gain-distribution"] = function (s) {
      var across = "across configurations", figures = ["gain", "noise_mV"];
      var rows = data.characterisation.map(function (r) {
        return { config: across, chip: r[0], channel: r[1], gain: r[2], noise_mV: r[3], reason: r[4] };
      });
      var stats = [];
      figures.forEach(function (figure) {
        for (var ch = 0; ch < 32; ++ch) {
          var values = rows.filter(function (r) {
            return r.channel === ch && r.reason === "" && typeof r[figure] === "number" && isFinite(r[figure]);
          }).map(function (r) { return r[figure]; });
          if (!values.length) continue;
          var box = quartiles(values);
          box.config = across;
          box.quantity = figure;
          box.channel = ch;
          stats.push(box);
        }
      });
      setData(s, "stats", stats);
      setData(s, "bands", []);
      setData(s, "flagged_cells", rows.filter(function (r) { return r.reason !== ""; }));
      setSignal(s, "config", across, [across]);
      setSignal(s, "quantity", "gain", figures);
    };
  }
  var failedRuns = document.getElementById("failed-runs-list");
  if (!data.failed_runs.length) failedRuns.appendChild(make("p", {}, ["No run failed."]));
  else {
    failedRuns.appendChild(table("failed-runs", ["chip", "configuration", "message", "recording"],
      data.failed_runs.map(function (r) { return [r.chip, r.config, r.message, r.path]; })));
    if (data.failed_run_count > data.failed_runs.length)
      failedRuns.appendChild(make("p", {}, ["and " + (data.failed_run_count - data.failed_runs.length) + " more (see the database)."]));
  }
  window.addEventListener("hashchange", function () { followAddress(true); });
  // A chip opened when the page loads is what the reader came for: it is drawn before the charts.
  var opened = followAddress(true) || (!location.hash && data.opened_chip ? openChip(data.opened_chip, false) : null);
  // The first screen (the yield and the failing chips) is painted before any chart is drawn; the
  // charts follow top to bottom, each in a task of its own so that the page answers in between.
  // Once all are drawn the body carries the times (ms after navigation) and the number drawn.
  function drawChart(id) {
    return new Promise(function (resolve) { setTimeout(resolve, 0); }).then(function () {
      var definition = copy(definitions[id === "gain-distribution" ? "distribution" : id]);
      charts[id](definition);
      return render(document.getElementById(id), definition, prepareView[id]);
    }).then(function (view) { views[id] = view; return true; }, function (e) { report(id + ": " + String(e)); return false; });
  }
  var ids = Object.keys(charts), views = {};
  afterNextPaint(function () { document.body.setAttribute("data-first-screen-ms", now()); });
  Promise.all([vegaLoaded, new Promise(afterNextPaint), opened]).then(function () {
    var drawn = 0;
    ids.reduce(function (previous, id) {
      return previous.then(function () { return drawChart(id); }).then(function (ok) { drawn += ok; });
    }, Promise.resolve()).then(function () {
      if (drawn !== ids.length) return;
      document.body.setAttribute("data-render-ms", now());
      document.body.setAttribute("data-rendered", String(drawn));
      afterNextPaint(function () { document.body.setAttribute("data-painted-ms", now()); });
    });
  });
  // What tests and scripts may ask of the page.
  window.campaignReport = {
    failingCsv: function () { var t = document.getElementById("failing-chips"); return t ? tableCsv(t) : ""; },
    openChip: function (chip) { location.hash = chipAddress(chip); },
    view: function (id) { return views[id] || null; }
  };
})();
