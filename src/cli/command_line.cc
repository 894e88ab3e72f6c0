#include "cli/command_line.h"

#include "varnel_version.h"

void add_version_flag(CLI::App& app) {
  app.set_version_flag("--version", app.get_name() + " " + varnel_version,
                       "Print the program's name and version and exit");
}

std::optional<command_line_stop> parse_command_line(CLI::App& app, int argc, char** argv) {
  try {
    app.parse(argc, argv);
    return std::nullopt;
  } catch (const CLI::CallForHelp&) {
    return command_line_stop{0, app.help(), ""};
  } catch (const CLI::CallForAllHelp&) {
    return command_line_stop{0, app.help("", CLI::AppFormatMode::All), ""};
  } catch (const CLI::CallForVersion& e) {
    return command_line_stop{0, std::string(e.what()) + "\n", ""};
  } catch (const CLI::ParseError& e) {
    return usage_error(app, e.what());
  }
}

command_line_stop usage_error(const CLI::App& app, const std::string& message) {
  return command_line_stop{exit_usage_error, "", app.get_name() + ": " + message + "\n"};
}
