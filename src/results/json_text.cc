#include "results/json_text.h"

#include <string_view>

std::string json_text(const nlohmann::json& j, int indent) {
  return j.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string script_json_text(const nlohmann::json& j) {
  const std::string text = json_text(j);
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '<') {
      out += "\\u003c";
    } else if (c == '>') {
      out += "\\u003e";
    } else if (c == '&') {
      out += "\\u0026";
    } else if (c == '\xe2' && i + 2 < text.size() && text[i + 1] == '\x80' &&
               (text[i + 2] == '\xa8' || text[i + 2] == '\xa9')) {
      // The line and paragraph separators end a line in older script parsers.
      out += text[i + 2] == '\xa8' ? "\\u2028" : "\\u2029";
      i += 2;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string valid_utf8(const std::string& text) {
  const std::string quoted = json_text(nlohmann::json(text));
  // The quoted string decodes back to the same text with only the bad bytes replaced.
  return nlohmann::json::parse(quoted).get<std::string>();
}
