// A chart of the report drawn with Vega: its definition filled in, a tooltip of every field, and
// the marks it drew counted on its element.
(function (page) {
  "use strict";
  var make = page.make;

  // The chart definitions the program put into #chart-definitions, by name.
  function chartDefinitions() { return JSON.parse(document.getElementById("chart-definitions").textContent); }

  // A definition of its own to fill in, leaving the one it came from as it is.
  function copy(definition) { return JSON.parse(JSON.stringify(definition)); }

  // The data set `name` of a definition given `values`.
  function setData(definition, name, values) {
    definition.data.forEach(function (d) { if (d.name === name) d.values = values; });
  }

  // The signal `name` of a definition starting at `value`, its menu offering `options` if given.
  function setSignal(definition, name, value, options) {
    definition.signals.forEach(function (s) {
      if (s.name !== name) return;
      s.value = value;
      if (options) s.bind.options = options;
    });
  }

  // The tooltip, hidden.
  function hideTooltip() { document.getElementById("tooltip").style.display = "none"; }

  // Vega's tooltip handler: `value` (a field's text, or an object's fields as a table, numbers
  // to a hundredth) beside the pointer of `event`, inside the window; nothing hides it.
  function tooltip(handler, event, item, value) {
    if (value === null || value === undefined || value === "") { hideTooltip(); return; }
    var tip = document.getElementById("tooltip");
    tip.textContent = "";
    if (typeof value === "object") {
      tip.appendChild(make("table", {}, Object.keys(value).map(function (k) {
        var v = value[k], text = typeof v === "number" ? String(Math.round(v * 100) / 100) : String(v);
        return make("tr", {}, [make("td", {}, [k]), make("td", {}, [text])]);
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

  // The chart of `definition` drawn into `element`; a promise of its view. Canvas draws tens of
  // thousands of cells far faster than SVG. A chart's menus go above it, where they are seen
  // before the chart is scrolled through. The view runs its dataflow once before it has a place
  // on the page, so that `prepare`, if given, can read its scales and set its signals (view,
  // element) before the one drawing.
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

  Object.assign(page, { chartDefinitions: chartDefinitions, copy: copy, setData: setData, setSignal: setSignal,
                        hideTooltip: hideTooltip, tooltip: tooltip, eachMark: eachMark, render: render });
})(globalThis.varnelPage);
