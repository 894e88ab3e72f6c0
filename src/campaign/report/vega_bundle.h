#pragma once

#include <string>

/// Where Debian's libjs-vega installs its modules.
inline constexpr const char* default_vega_dir = "/usr/share/javascript/vega";

/// The inline <script> elements that define a global `vega` (parse, View and every transform the
/// report's charts use) from the minified modules in `dir`, so that a page needs no network.
/// Each module is an anonymous AMD module; a small loader runs them in dependency order. False,
/// with the missing file in `error`, when a module cannot be read.
bool vega_scripts(const std::string& dir, std::string& html, std::string& error);

/// `text` made safe to place inside a <script> element: every "</script" (any case) becomes
/// "<\/script", which means the same in JavaScript strings, templates and regular expressions.
std::string script_safe(std::string text);
