// The heat map of chips and channels: its cells painted by the page as one image, a pixel per
// chip and channel, and the cell under the pointer named in the tooltip.
(function (page) {
  "use strict";

  var GREY = [204, 204, 204];
  // The 256 colours of the view's colour scale `colour` from lo to hi, as [r, g, b].
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

  // What the view's menus choose: the configuration's index, the quantity's column, whether the
  // value or its deviation from the channel's median, and the channels' medians.
  function shownQuantity(campaign, view) {
    var quantity = view.signal("quantity");
    return { configIndex: campaign.packed.configs.indexOf(view.signal("config")),
             column: page.QUANTITY_COLUMN[quantity], byValue: view.signal("by_value"),
             medians: (campaign.medians[view.signal("config")] || {})[quantity] || [] };
  }

  // A packed row's value as the menus show it: the value or its deviation from the median; null
  // when there is none.
  function shownValue(r, shown) {
    var v = r[shown.column];
    if (v !== null && !shown.byValue) v = shown.medians[r[2]] === undefined ? null : v - shown.medians[r[2]];
    return v;
  }

  // The heat map's cells as an image, a pixel per chip (a row, in the order of the view's y
  // scale) and channel, coloured by the view's own colour scale. Cells without a number are grey,
  // chips not tested in the configuration blank. The image as a canvas and the cells painted.
  function cellsImage(campaign, view) {
    var shown = shownQuantity(campaign, view);
    var chips = view.scale("y").domain(), colour = view.scale("colour"), domain = colour.domain();
    var lo = domain[0], hi = domain[domain.length - 1], colours = palette(colour, lo, hi);
    var row = {};
    chips.forEach(function (c, i) { row[c] = i; });
    var canvas = document.createElement("canvas");
    canvas.width = 32;
    canvas.height = Math.max(1, chips.length);
    var context = canvas.getContext("2d"), image = context.createImageData(32, canvas.height);
    var painted = 0;
    campaign.packed.rows.forEach(function (r) {
      var at = row[r[0]];
      if (r[1] !== shown.configIndex || at === undefined || !(r[2] >= 0 && r[2] < 32)) return;
      var v = shownValue(r, shown), c = GREY;
      if (v !== null && isFinite(v)) {
        var t = hi > lo ? (v - lo) / (hi - lo) : 0.5;
        c = colours[Math.round(255 * Math.min(1, Math.max(0, t)))];
      }
      image.data.set([c[0], c[1], c[2], 255], 4 * (at * 32 + r[2]));
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
  function paintCells(campaign, view, element) {
    function paint() {
      var image = cellsImage(campaign, view);
      image.canvas.url = "data:,heat-map-cells-" + ++paintings;
      page.eachMark(view, function (node) {
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

  // The chip and channel of the cell under the pointer of `event`; null outside the cells.
  function pointedCell(view, event) {
    var box = view.container().querySelector("canvas").getBoundingClientRect(), origin = view.origin();
    var x = event.clientX - box.left - origin[0], y = event.clientY - box.top - origin[1];
    var xs = view.scale("x"), ys = view.scale("y");
    var channel = xs.domain()[Math.floor(x / xs.step())], chip = ys.domain()[Math.floor(y / ys.step())];
    return x < 0 || y < 0 || channel === undefined || chip === undefined ? null : { chip: chip, channel: channel };
  }

  // The tooltip's fields of the cell under the pointer; null where there is none.
  function cellFields(campaign, view, event) {
    var at = pointedCell(view, event);
    if (!at) return null;
    var config = view.signal("config"), quantity = view.signal("quantity");
    var r = page.rowOf(campaign, at.chip, config, at.channel);
    if (!r) return null;
    var c = page.cellOf(campaign, r);
    return { chip: at.chip, channel: at.channel, configuration: config, quantity: quantity,
             value: c[quantity], limit: campaign.limits[config + "|" + quantity + "|" + at.channel] || "none",
             "fit verdict": c.verdict, "chip verdict": c.outcome, flagged: c.reason || "no" };
  }

  // The heat map's cell under the pointer: its tooltip, and a click opens its chip.
  function cellTooltips(campaign, view, element) {
    element.addEventListener("mousemove", function (event) {
      page.tooltip(null, event, null, cellFields(campaign, view, event));
    });
    element.addEventListener("mouseleave", page.hideTooltip);
    element.addEventListener("click", function (event) {
      var c = cellFields(campaign, view, event);
      if (c) location.hash = page.chipAddress(c.chip);
    });
  }

  // What the heat map's view needs before its one drawing: the pointer's cells and the image.
  function prepareHeatmap(campaign) {
    return function (view, element) {
      cellTooltips(campaign, view, element);
      paintCells(campaign, view, element);
    };
  }

  Object.assign(page, { prepareHeatmap: prepareHeatmap });
})(globalThis.varnelPage);
