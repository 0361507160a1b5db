#include "host/kivhost_options.h"

#include <utility>

namespace kivhost {

bool ParseKivhostOptions(const std::vector<std::string>& args, KivhostOptions* options,
                         std::string* error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    bool takes_value = arg == "--plugin" || arg == "--host-version" || arg == "--region-file";
    if (takes_value) {
      if (i + 1 >= args.size()) {
        *error = "'" + arg + "' needs a value";
        return false;
      }
      const std::string& value = args[++i];
      if (arg == "--plugin") {
        options->plugin = value;
      } else if (arg == "--host-version") {
        options->version_text = value;
      } else {
        options->region_file = value;
      }
    } else if (arg == "--xml-events") {
      options->xml_events = true;
    } else if (arg == "--help" || arg == "-h") {
      options->help = true;
    } else if (size_t equals = arg.find('='); arg.size() > 2 && arg.starts_with("--") &&
                                              equals != std::string::npos && equals > 2) {
      std::string name = arg.substr(2, equals - 2);
      std::string value = arg.substr(equals + 1);
      // kivhost's own options keep their meaning when written with "=".
      if (name == "plugin") {
        options->plugin = value;
      } else if (name == "host-version") {
        options->version_text = value;
      } else if (name == "region-file") {
        options->region_file = value;
      } else if (name == "xml-events" || name == "help") {
        *error = "'--" + name + "' takes no value";
        return false;
      } else {
        options->client_args.emplace_back(std::move(name), std::move(value));
      }
    } else {
      *error = "unknown argument '" + arg + "'";
      return false;
    }
  }
  return true;
}

}  // namespace kivhost
