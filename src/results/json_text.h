#pragma once

#include <nlohmann/json.hpp>
#include <string>

// JSON as text for files and pages whose names and notes come from outside: file names are
// bytes, not necessarily UTF-8, and a page's script must not be ended by the data it embeds.

/// `j` as text (`indent` spaces per level, -1 for one line); a string that is not valid UTF-8
/// is written with U+FFFD in place of each bad byte sequence, so the text is always valid JSON
/// and writing it never throws for its strings.
std::string json_text(const nlohmann::json& j, int indent = -1);

/// json_text(j) for embedding in an HTML <script> element: every `<`, `>`, `&`, U+2028 and
/// U+2029 is written as its \u escape, so neither "</script" nor "<!--" can appear in it.
std::string script_json_text(const nlohmann::json& j);

/// `text` with its bytes that are not valid UTF-8 replaced by U+FFFD, as json_text writes them.
std::string valid_utf8(const std::string& text);
