#include "driver/command_line.h"

#include <algorithm>

namespace tabulon {
namespace {

unsigned char At(std::string_view line, std::size_t pos) {
  return pos < line.size() ? static_cast<unsigned char>(line[pos]) : 0;
}

constexpr int kMaxJobs = 256;

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
  static constexpr std::string_view kExclude = "--exclude=";
  static constexpr std::string_view kJobs = "--jobs=";
  static constexpr std::string_view kCharset = "--charset=";
  RunSettings settings;
  std::vector<std::string> rest;
  for (std::string& p : parameters) {
    if (p == "/t" || p == "/T") {
      settings.RunMode = mTree;
    } else if (p == "--json") {
      settings.Json = true;
    } else if (p.starts_with(kExclude)) {
      settings.Exclude.push_back(p.substr(kExclude.size()));
    } else if (p.starts_with(kJobs)) {
      settings.JobCounts.push_back(p.substr(kJobs.size()));
    } else if (p.starts_with(kCharset)) {
      settings.Charsets.push_back(p.substr(kCharset.size()));
    } else {
      rest.push_back(std::move(p));
    }
  }
  parameters = std::move(rest);
  settings.FromDir = parameters.empty() ? current_directory : parameters[0];
  if (parameters.size() >= 2) settings.URL = parameters[1];
  if (settings.FromDir.empty() || settings.FromDir.back() != separator) {
    settings.FromDir.push_back(separator);
  }
  return settings;
}

Status ParseJobCount(std::string_view text, int* jobs) {
  const auto refused = [text](const char* why) {
    return Status::Failed(why).At("bad job count", std::string(text));
  };
  if (text.empty()) return refused("no number");
  const bool negative = text.front() == '-' && text.size() > 1;
  std::string_view digits = text.substr(negative ? 1 : 0);
  if (!std::all_of(digits.begin(), digits.end(),
                   [](char c) { return c >= '0' && c <= '9'; })) {
    return refused("not a whole number");
  }
  const std::size_t first = digits.find_first_not_of('0');
  if (negative || first == std::string_view::npos) {
    return refused("less than 1");
  }
  digits.remove_prefix(first);
  // Counted in digits first, so that no length of number can overflow.
  int value = 0;
  if (digits.size() <= 3) {
    for (const char c : digits) value = value * 10 + (c - '0');
  }
  if (digits.size() > 3 || value > kMaxJobs) return refused("more than 256");
  *jobs = value;
  return Status::Ok();
}

Status ParseCharset(std::string_view text, TCharset* charset) {
  const auto refused = [text](const char* why) {
    return Status::Failed(why).At("bad charset", std::string(text));
  };
  if (text.empty()) return refused("no charset named");
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (lower == "utf-8") {
    *charset = cUtf8;
  } else if (lower == "windows-1251") {
    *charset = cWindows1251;
  } else {
    return refused("not utf-8 or windows-1251");
  }
  return Status::Ok();
}

int DefaultJobCount(int processors, bool sees_storage_reads) {
  return sees_storage_reads ? std::clamp(processors + 1, 2, 16)
                            : std::clamp(3 * processors, 4, 16);
}

std::vector<Status> ApplySwitches(RunSettings* settings, int processors,
                                  bool sees_storage_reads,
                                  Exclusions* exclusions) {
  std::vector<Status> refused;
  for (const std::string& pattern : settings->Exclude) {
    Status added = exclusions->Add(pattern);
    if (!added.ok()) refused.push_back(std::move(added));
  }
  settings->Jobs = DefaultJobCount(processors, sees_storage_reads);
  settings->MostJobs = kMostDefaultJobs;
  for (const std::string& text : settings->JobCounts) {
    Status read = ParseJobCount(text, &settings->Jobs);
    if (!read.ok()) refused.push_back(std::move(read));
    settings->MostJobs = settings->Jobs;
  }
  for (const std::string& text : settings->Charsets) {
    Status read = ParseCharset(text, &settings->Charset);
    if (!read.ok()) refused.push_back(std::move(read));
  }
  return refused;
}

}  // namespace tabulon
