#include "driver/command_line.h"

#include <algorithm>
#include <utility>

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

namespace {

enum class OptionKind {
  kTree,
  kExclude,
  kJobs,
  kCharset,
  kJson,
  kQuiet,
  kEndOfOptions,
  kHelp,
  kVersion
};

// One name of an option. A name that ends with "=" takes the rest of the
// parameter as its value, which the usage calls `value`; any other is a
// whole parameter.
struct OptionName {
  std::string_view name;
  std::string_view value;
  OptionKind kind;
  // The usage's words, "\n" between lines; empty for a further name of the
  // option before.
  std::string_view usage;
  bool only_first = false;
};

// Every option the program reads, in the order the usage lists them: the
// parameters, the usage and the option meant by a mistyped one all come
// from here.
constexpr OptionName kOptions[] = {
    {"/t", "", OptionKind::kTree,
     "a FILES.HTM in every directory, listing its own files;\n"
     "without it one FILES.HTM in FromDir lists the whole tree"},
    {"/T", "", OptionKind::kTree, ""},
    {"--exclude=", "PATTERN", OptionKind::kExclude,
     "leave out entries whose name matches: * ? [a-z]\n"
     "[!x], letter case aside; with \"/\" the path below FromDir,\n"
     "where ** crosses \"/\" and * ? [...] do not"},
    {"--jobs=", "N", OptionKind::kJobs,
     "threads that read directories, 1-256 (default: one a\n"
     "processor and one more, 2 to 16, where the system tells\n"
     "disk reads, else 3 a processor, 4 to 16; more while they\n"
     "wait: up to 16 on a disk, 64 on a slow file system); the\n"
     "pages are the same for any N"},
    {"--charset=", "utf-8", OptionKind::kCharset,
     "write the pages in UTF-8 (default: windows-1251)"},
    {"--json", "", OptionKind::kJson,
     "also a FILES.JSON beside each FILES.HTM: the same rows as\n"
     "UTF-8 JSON for programs"},
    {"--quiet", "", OptionKind::kQuiet,
     "no banner and no progress line, for cron; the reports\n"
     "and the exit code stay"},
    {"-q", "", OptionKind::kQuiet, ""},
    {"--", "", OptionKind::kEndOfOptions,
     "the end of the options: what follows is FromDir and URL\n"
     "as typed, even when it begins with a dash"},
    {"--help", "", OptionKind::kHelp, "this text (/? only as the first)"},
    {"-h", "", OptionKind::kHelp, ""},
    {"/?", "", OptionKind::kHelp, "", /*only_first=*/true},
    {"--version", "", OptionKind::kVersion, "the version"},
};

bool TakesValue(const OptionName& option) { return option.name.ends_with('='); }

bool IsAsciiLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// A name as it is compared with a mistyped one: no dashes or slashes in
// front, nothing from "=" on, small letters.
std::string Bare(std::string_view name) {
  name.remove_prefix(std::min(name.find_first_not_of("-/"), name.size()));
  name = name.substr(0, name.find('='));
  std::string bare(name);
  for (char& c : bare) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return bare;
}

// Edits from `a` to `b`, two neighbours swapped counting as one.
std::size_t Distance(std::string_view a, std::string_view b) {
  std::vector<std::vector<std::size_t>> d(
      a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                          d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

// The first option that `test` accepts, when every option it accepts is a
// name of that one.
const OptionName* OnlyOption(const auto& test) {
  const OptionName* found = nullptr;
  for (const OptionName& option : kOptions) {
    if (option.kind == OptionKind::kEndOfOptions || !test(option)) continue;
    if (found != nullptr && found->kind != option.kind) return nullptr;
    if (found == nullptr) found = &option;
  }
  return found;
}

// The option `parameter` is, or nullptr.
const OptionName* OptionOf(std::string_view parameter, bool first) {
  for (const OptionName& option : kOptions) {
    if (option.only_first && !first) continue;
    if (TakesValue(option) ? parameter.starts_with(option.name)
                           : parameter == option.name) {
      return &option;
    }
  }
  return nullptr;
}

// Whether `parameter`, no option of the program, is shaped like one.
bool LooksLikeOption(std::string_view parameter) {
  if (parameter.starts_with("--")) return true;
  if (parameter.size() < 2 || parameter[0] != '-') return false;
  if (parameter.size() == 2) return IsAsciiLetter(parameter[1]);
  // A long option with one dash lost: not a name that merely begins with one.
  const std::string bare = Bare(parameter);
  return OnlyOption([&](const OptionName& option) {
           return option.name.starts_with("--") && Bare(option.name) == bare;
         }) != nullptr;
}

// The parameters as the table reads them: the options with their values,
// the unknown ones, and the ordinary ones, each in order.
struct Read {
  std::vector<std::pair<OptionKind, std::string>> options;
  std::vector<std::string> unknown;
  std::vector<std::string> ordinary;
};

Read ReadParameters(std::vector<std::string> parameters) {
  Read read;
  bool options_end = false;
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    std::string& p = parameters[i];
    const OptionName* option = options_end ? nullptr : OptionOf(p, i == 0);
    if (option != nullptr && option->kind == OptionKind::kEndOfOptions) {
      options_end = true;
    } else if (option != nullptr) {
      read.options.emplace_back(option->kind, p.substr(option->name.size()));
    } else if (!options_end && LooksLikeOption(p)) {
      read.unknown.push_back(std::move(p));
    } else {
      read.ordinary.push_back(std::move(p));
    }
  }
  return read;
}

}  // namespace

Request RequestOf(const std::vector<std::string>& parameters) {
  for (const auto& [kind, value] : ReadParameters(parameters).options) {
    if (kind == OptionKind::kHelp) return Request::kShowHelp;
    if (kind == OptionKind::kVersion) return Request::kShowVersion;
  }
  return Request::kRun;
}

RunSettings SettingsFrom(std::vector<std::string> parameters,
                         const std::string& current_directory, char separator) {
  Read read = ReadParameters(std::move(parameters));
  RunSettings settings;
  for (auto& [kind, value] : read.options) {
    switch (kind) {
      case OptionKind::kTree:
        settings.RunMode = mTree;
        break;
      case OptionKind::kExclude:
        settings.Exclude.push_back(std::move(value));
        break;
      case OptionKind::kJobs:
        settings.JobCounts.push_back(std::move(value));
        break;
      case OptionKind::kCharset:
        settings.Charsets.push_back(std::move(value));
        break;
      case OptionKind::kJson:
        settings.Json = true;
        break;
      case OptionKind::kQuiet:
        settings.Quiet = true;
        break;
      case OptionKind::kEndOfOptions:
      case OptionKind::kHelp:
      case OptionKind::kVersion:
        break;
    }
  }
  settings.Unknown = std::move(read.unknown);
  const std::vector<std::string>& rest = read.ordinary;
  settings.FromDir = rest.empty() ? current_directory : rest[0];
  if (rest.size() >= 2) settings.URL = rest[1];
  if (settings.FromDir.empty() || settings.FromDir.back() != separator) {
    settings.FromDir.push_back(separator);
  }
  return settings;
}

std::string OptionMeant(std::string_view parameter) {
  const std::string bare = Bare(parameter);
  if (bare.empty()) return "";
  const OptionName* meant = OnlyOption(
      [&](const OptionName& option) { return Bare(option.name) == bare; });
  if (meant == nullptr) {
    meant = OnlyOption([&](const OptionName& option) {
      const std::string name = Bare(option.name);
      // A name of one letter begins too many words to tell.
      return name.starts_with(bare) ||
             (name.size() >= 2 && bare.starts_with(name));
    });
  }
  if (meant == nullptr) {
    // Short names are too close to one another for a slip to say which.
    const std::size_t slips = bare.size() <= 2 ? 0 : bare.size() <= 5 ? 1 : 2;
    std::size_t best = slips + 1;
    for (const OptionName& option : kOptions) {
      const std::size_t d = Distance(bare, Bare(option.name));
      if (d < best) {
        best = d;
        meant = &option;
      } else if (d == best && meant != nullptr && meant->kind != option.kind) {
        meant = nullptr;
      }
    }
    if (best > slips) meant = nullptr;
  }
  return meant == nullptr
             ? ""
             : std::string(meant->name) + std::string(meant->value);
}

std::string OptionsUsage() {
  // The words start in this column, after a short name.
  constexpr std::size_t kColumn = 12;
  std::string usage;
  for (std::size_t i = 0; i < std::size(kOptions); ++i) {
    if (kOptions[i].usage.empty()) continue;
    std::string line = "  ";
    for (std::size_t j = i;
         j < std::size(kOptions) && (j == i || kOptions[j].usage.empty());
         ++j) {
      if (j > i) line.append(", ");
      line.append(kOptions[j].name).append(kOptions[j].value);
    }
    line.resize(std::max(line.size() + 2, kColumn), ' ');
    std::string_view words = kOptions[i].usage;
    for (;;) {
      const std::size_t end = std::min(words.find('\n'), words.size());
      usage.append(line).append(words.substr(0, end)).append("\r\n");
      if (end == words.size()) break;
      words.remove_prefix(end + 1);
      line.assign(kColumn, ' ');
    }
  }
  return usage;
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
  for (const std::string& parameter : settings->Unknown) {
    const std::string meant = OptionMeant(parameter);
    refused.push_back(Status::Failed(meant.empty()
                                         ? "tabulon --help lists the options"
                                         : "did you mean '" + meant + "'?")
                          .At("unknown option", parameter));
  }
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
