#include "campaign/report/vega_bundle.h"

#include <cctype>
#include <fstream>
#include <iterator>

namespace {

// In dependency order. "vega-functions" asks for "vega-selections", which the package ships as
// "vega-selection".
constexpr const char* modules[] = {
    "vega-util",       "vega-canvas",          "vega-format",    "vega-time",
    "vega-loader",     "vega-statistics",      "vega-dataflow",  "vega-scale",
    "vega-scenegraph", "vega-expression",      "vega-selection", "vega-event-selector",
    "vega-functions",  "vega-parser",          "vega-runtime",   "vega-view",
    "vega-transforms", "vega-view-transforms", "vega-encode",
};

// The modules' browser builds each overwrite one global; as AMD modules they name their
// dependencies instead, which this loader hands them.
constexpr const char* loader = R"js(<script>
var vegaModules = {}, vegaLoading = "";
function define(deps, factory) {
  if (typeof deps === "function") { factory = deps; deps = []; }
  var exports = {};
  factory.apply(null, deps.map(function (d) {
    return d === "exports" ? exports : vegaModules[d === "vega-selections" ? "vega-selection" : d];
  }));
  vegaModules[vegaLoading] = exports;
}
define.amd = true;
</script>
)js";

constexpr const char* assemble = R"js(<script>
var vega = Object.assign({}, ...Object.values(vegaModules));
Object.assign(vegaModules["vega-dataflow"].transforms, vegaModules["vega-transforms"],
              vegaModules["vega-view-transforms"], vegaModules["vega-encode"]);
</script>
)js";

}  // namespace

std::string script_safe(std::string text) {
  for (size_t at = 0; (at = text.find("</", at)) != std::string::npos; at += 3) {
    std::string next = text.substr(at + 2, 6);
    for (char& c : next) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (next == "script") text.replace(at, 2, "<\\/");
  }
  return text;
}

namespace {}  // namespace

bool vega_scripts(const std::string& dir, std::string& html, std::string& error) {
  html = loader;
  for (const char* m : modules) {
    std::string path = dir + "/" + m + ".min.js";
    std::ifstream in(path);
    std::string js((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in && !in.eof()) {
      error = "cannot read " + path;
      return false;
    }
    html += "<script>vegaLoading = \"" + std::string(m) + "\";</script>\n<script>" +
            script_safe(std::move(js)) + "</script>\n";
  }
  html += assemble;
  return true;
}
