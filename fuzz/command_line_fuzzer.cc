// The one-string command line: the splitter must end, make progress, agree
// with itself across its three entry points, take the switches out wherever
// they stand, and never lose the start directory's separator.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "driver/command_line.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  // Scanning never goes backwards nor past the end, and an empty parameter
  // comes only at the end of the line (up to its first NUL).
  const std::string_view line = input.substr(0, input.find('\0'));
  std::size_t pos = 0;
  for (;;) {
    const std::size_t before = pos;
    const std::string parameter = tabulon::NextParameter(line, &pos);
    FUZZ_CHECK(pos >= before && pos <= line.size());
    if (parameter.empty()) {
      FUZZ_CHECK(pos == line.size());
      break;
    }
    FUZZ_CHECK(pos > before);
    FUZZ_CHECK(parameter.find('"') == std::string::npos ||
               line.substr(before, pos - before).find('"') != std::string::npos);
  }

  tabulon::CommandLine command_line;
  command_line.one_string = true;
  command_line.line = std::string(input);
  const std::vector<std::string> parameters = tabulon::ParametersOf(command_line);
  const int count = tabulon::ParameterCount(input);
  FUZZ_CHECK(count == static_cast<int>(parameters.size()));
  for (int k = 1; k <= count && k <= 4; ++k) {
    FUZZ_CHECK(tabulon::Parameter(input, k) == parameters[k - 1]);
  }
  FUZZ_CHECK(tabulon::Parameter(input, count + 1).empty());

  for (const char separator : {'/', '\\'}) {
    const tabulon::RunSettings settings =
        tabulon::SettingsFrom(parameters, "C:\\work", separator);
    FUZZ_CHECK(!settings.FromDir.empty() && settings.FromDir.back() == separator);
    bool has_switch = false;
    std::vector<std::string> rest;
    std::vector<std::string> patterns;
    std::vector<std::string> job_counts;
    std::vector<std::string> charsets;
    std::vector<std::string> unknown;
    bool json = false;
    bool quiet = false;
    bool options_end = false;
    for (std::size_t i = 0; i < parameters.size(); ++i) {
      const std::string& p = parameters[i];
      const bool letter_option =
          p.size() == 2 && p[0] == '-' &&
          ((p[1] >= 'a' && p[1] <= 'z') || (p[1] >= 'A' && p[1] <= 'Z'));
      if (options_end) {
        rest.push_back(p);
      } else if (p == "--") {
        options_end = true;
      } else if (p == "/t" || p == "/T") {
        has_switch = true;
      } else if (p == "--json") {
        json = true;
      } else if (p == "--quiet" || p == "-q") {
        quiet = true;
      } else if (p == "--help" || p == "-h" || p == "--version" ||
                 (p == "/?" && i == 0)) {
      } else if (p.rfind("--charset=", 0) == 0) {
        charsets.push_back(p.substr(10));
      } else if (p.rfind("--exclude=", 0) == 0) {
        patterns.push_back(p.substr(10));
      } else if (p.rfind("--jobs=", 0) == 0) {
        job_counts.push_back(p.substr(7));
      } else if (p.rfind("--", 0) == 0 || letter_option) {
        unknown.push_back(p);
      } else if (p[0] == '-' && unknown.size() < settings.Unknown.size() &&
                 settings.Unknown[unknown.size()] == p) {
        // A long option that lost a dash ("-json") is unknown too; which
        // words those are is the usage's business, their order is not.
        unknown.push_back(p);
      } else {
        rest.push_back(p);
      }
    }
    FUZZ_CHECK(settings.Unknown == unknown);
    FUZZ_CHECK(settings.Quiet == quiet);
    FUZZ_CHECK(settings.RunMode == (has_switch ? tabulon::mTree : tabulon::mList));
    FUZZ_CHECK(settings.Exclude == patterns);
    FUZZ_CHECK(settings.JobCounts == job_counts);
    FUZZ_CHECK(settings.Charsets == charsets);
    FUZZ_CHECK(settings.Json == json);
    if (!rest.empty()) FUZZ_CHECK(settings.FromDir.starts_with(rest[0]));
    FUZZ_CHECK(settings.URL == (rest.size() >= 2 ? rest[1] : std::string()));
  }
  return 0;
}
