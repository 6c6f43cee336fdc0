#include "driver/command_line.h"

#include <algorithm>

namespace tabulon {
namespace {

unsigned char At(std::string_view line, std::size_t pos) {
  return pos < line.size() ? static_cast<unsigned char>(line[pos]) : 0;
}

std::string_view UpToNul(std::string_view line) {
  return line.substr(0, std::min(line.find('\0'), line.size()));
}

}  // namespace

std::string NextParameter(std::string_view line, std::size_t* pos) {
  std::size_t p = *pos;
  for (;;) {
    const unsigned char c = At(line, p);
    if (c >= 1 && c <= 32) {
      ++p;
    } else if (c == '"' && At(line, p + 1) == '"') {
      p += 2;
    } else {
      break;
    }
  }
  std::string parameter;
  for (;;) {
    const unsigned char c = At(line, p);
    if (c <= 32) break;
    if (c == '"') {
      ++p;
      while (p < line.size() && line[p] != '"') parameter.push_back(line[p++]);
      if (p < line.size()) ++p;
    } else {
      parameter.push_back(static_cast<char>(c));
      ++p;
    }
  }
  *pos = p;
  return parameter;
}

// Every parameter after the program's own name, up to the first empty one.
static std::vector<std::string> Split(std::string_view line) {
  line = UpToNul(line);
  std::vector<std::string> parameters;
  std::size_t pos = 0;
  NextParameter(line, &pos);
  for (std::string p = NextParameter(line, &pos); !p.empty();
       p = NextParameter(line, &pos)) {
    parameters.push_back(std::move(p));
  }
  return parameters;
}

int ParameterCount(std::string_view line) {
  return static_cast<int>(Split(line).size());
}

std::string Parameter(std::string_view line, int k) {
  const std::vector<std::string> parameters = Split(line);
  return k >= 1 && k <= static_cast<int>(parameters.size()) ? parameters[k - 1]
                                                            : std::string();
}

std::vector<std::string> ParametersOf(const CommandLine& command_line) {
  if (command_line.one_string) return Split(command_line.line);
  std::vector<std::string> parameters;
  for (const std::string& arg : command_line.args) {
    if (!arg.empty()) parameters.push_back(arg);
  }
  return parameters;
}

Request RequestOf(const std::vector<std::string>& parameters) {
  if (parameters.empty()) return Request::kRun;
  const std::string& first = parameters.front();
  if (first == "--help" || first == "-h" || first == "/?") {
    return Request::kShowHelp;
  }
  if (first == "--version") return Request::kShowVersion;
  return Request::kRun;
}

RunSettings SettingsFrom(std::vector<std::string> parameters,
                         const std::string& current_directory, char separator) {
  RunSettings settings;
  const auto is_switch = [](const std::string& p) {
    return p == "/t" || p == "/T";
  };
  if (std::any_of(parameters.begin(), parameters.end(), is_switch)) {
    settings.RunMode = mTree;
    parameters.erase(
        std::remove_if(parameters.begin(), parameters.end(), is_switch),
        parameters.end());
  }
  settings.FromDir = parameters.empty() ? current_directory : parameters[0];
  if (parameters.size() >= 2) settings.URL = parameters[1];
  if (settings.FromDir.empty() || settings.FromDir.back() != separator) {
    settings.FromDir.push_back(separator);
  }
  return settings;
}

}  // namespace tabulon
