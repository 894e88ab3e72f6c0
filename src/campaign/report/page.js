// What the campaign's pages share (the report, the served page and the bench view): elements
// made in one call, errors listed on the page, JSON fetched, an outcome's class. Every script of
// this folder adds its functions to the one object varnelPage, this one first; each page's own
// script, loaded last, starts it.
(function (page) {
  "use strict";

  // An element with attributes and children (strings and numbers become text).
  function make(tag, attributes, children) {
    var e = document.createElement(tag);
    Object.keys(attributes || {}).forEach(function (k) { e.setAttribute(k, attributes[k]); });
    (children || []).forEach(function (c) {
      e.appendChild(typeof c === "string" || typeof c === "number" ? document.createTextNode(String(c)) : c);
    });
    return e;
  }

  // A line in the page's #errors.
  function report(message) { document.getElementById("errors").textContent += message + "\n"; }

  // Every uncaught error and console.error of the page listed in #errors too; called once, by
  // the page's own script.
  function listErrors() {
    window.addEventListener("error", function (e) { report(String(e.message)); });
    var consoleError = console.error;
    console.error = function () {
      report(Array.prototype.join.call(arguments, " "));
      consoleError.apply(console, arguments);
    };
  }

  // The JSON `url` answers (fetch's `init`); rejected with "URL: STATUS", the error's `status`
  // the answer's, when it is no success.
  function fetchJson(url, init) {
    return fetch(url, init).then(function (r) {
      if (r.ok) return r.json();
      var e = new Error(url + ": " + r.status);
      e.status = r.status;
      throw e;
    });
  }

  // A promise kept once the document is parsed: the scripts after the page's own (Vega's) ran.
  function documentParsed() {
    return new Promise(function (resolve) {
      if (document.readyState !== "loading") resolve();
      else document.addEventListener("DOMContentLoaded", function () { resolve(); });
    });
  }

  // Calls `then` once the frame after next has painted what the next one drew.
  function afterNextPaint(then) {
    requestAnimationFrame(function () { requestAnimationFrame(then); });
  }

  // The time since navigation in whole ms, as the page's data-*-ms attributes carry it.
  function now() { return String(Math.round(performance.now())); }

  // The class of an outcome's colour: "pass", "fail", "retest", "not-judged", "incomplete".
  function outcomeClass(outcome) { return String(outcome).replace(" ", "-"); }

  Object.assign(page, { make: make, report: report, listErrors: listErrors, fetchJson: fetchJson,
                        documentParsed: documentParsed, afterNextPaint: afterNextPaint, now: now,
                        outcomeClass: outcomeClass });
})(globalThis.varnelPage = {});
