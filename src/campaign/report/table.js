// A table of the report: it sorts on a click of a heading, and its rows shown save as CSV.
(function (page) {
  "use strict";
  var make = page.make;

  // A sortable table `id` of `headings` and `rows` (cells of text, numbers or elements); a cell
  // of column i gets the class classes[i](cell) where that is given.
  function table(id, headings, rows, classes) {
    var body = make("tbody", {}, rows.map(function (row) {
      return make("tr", {}, row.map(function (cell, i) {
        return make("td", classes && classes[i] ? { "class": classes[i](cell) } : {},
                    [cell instanceof Node ? cell : String(cell)]);
      }));
    }));
    var head = make("thead", {}, [make("tr", {}, headings.map(function (h) { return make("th", {}, [h]); }))]);
    var t = make("table", { "class": "sortable", id: id }, [head, body]);
    sortable(t);
    return t;
  }

  // The order of two cells' texts: as numbers when both begin with one, else as text.
  function compareCells(x, y) {
    var n = parseFloat(x) - parseFloat(y);
    return isNaN(n) ? x.localeCompare(y) : n;
  }

  // A click on a heading of `t` sorts its rows by that column, up, and again down.
  function sortable(t) {
    t.querySelectorAll("th").forEach(function (th, column) {
      th.addEventListener("click", function () {
        var body = t.tBodies[0], rows = Array.from(body.rows);
        var down = th.dataset.order !== "up";
        t.querySelectorAll("th").forEach(function (other) { delete other.dataset.order; });
        th.dataset.order = down ? "up" : "down";
        rows.sort(function (a, b) {
          var c = compareCells(a.cells[column].textContent, b.cells[column].textContent);
          return down ? c : -c;
        });
        rows.forEach(function (r) { body.appendChild(r); });
      });
    });
  }

  // The rows of `t`'s body that a filter left shown.
  function shownRows(t) { return Array.from(t.tBodies[0].rows).filter(function (r) { return !r.hidden; }); }

  // A cell a spreadsheet would run as a formula (its text begins with =, +, -, @, a tab or a
  // carriage return, and it is not a number) is written with a leading quote, so it shows as text.
  var numberCell = /^[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?$/;
  // One CSV field of `text` (null and undefined are empty), quoted where it must be.
  function csvField(text) {
    text = String(text === null || text === undefined ? "" : text);
    if (/^[=+\-@\t\r]/.test(text) && !numberCell.test(text)) text = "'" + text;
    return /[",\r\n]/.test(text) ? "\"" + text.replace(/"/g, "\"\"") + "\"" : text;
  }

  // The CSV of a heading line and rows, each line ended by "\n".
  function csvOf(headings, rows) {
    return [headings].concat(rows).map(function (r) { return r.map(csvField).join(","); }).join("\n") + "\n";
  }

  // The CSV of `t`'s headings and of the rows it shows.
  function tableCsv(t) {
    var text = function (c) { return c.textContent; };
    var headings = Array.from(t.tHead.rows[0].cells).map(text);
    return csvOf(headings, shownRows(t).map(function (r) { return Array.from(r.cells).map(text); }));
  }

  // The browser saves `text` as the CSV file `name`.
  function download(name, text) {
    var a = make("a", { href: URL.createObjectURL(new Blob([text], { type: "text/csv" })), download: name });
    document.body.appendChild(a);
    a.click();
    a.remove();
  }

  Object.assign(page, { table: table, shownRows: shownRows, csvField: csvField, csvOf: csvOf, tableCsv: tableCsv,
                        download: download });
})(globalThis.varnelPage);
