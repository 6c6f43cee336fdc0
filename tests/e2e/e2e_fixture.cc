#include "e2e/e2e_fixture.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <sstream>
#include <thread>

namespace tabulon::testing {

std::string Head(const std::string& title) {
  return "<html><head><meta http-equiv=\"Content-Language\" content=\"ru\">\r\n"
         "<meta http-equiv=\"Content-Type\" content=\"text/html; "
         "charset=windows-1251\">\r\n<title>" +
         title + "</title></head><body>\r\n<table><th>" + title +
         "/files</th><tr><td><b>name</b></td><td align=right><b>size</b></td>"
         "<td align=center><b>&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;date&nbsp;&nbsp;"
         "&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;</b></td><td align=center><b>"
         "description</b></td></tr>";
}

std::string Stamp() {
  const std::time_t now = std::time(nullptr);
  std::tm parts;
  gmtime_r(&now, &parts);
  char text[32];
  std::snprintf(text, sizeof text, "Created %02d-%02d-%02d", parts.tm_mon + 1,
                parts.tm_mday, parts.tm_year % 100);
  return text;
}

void E2eTest::SetUp() {
  constexpr std::time_t kDay = 24 * 60 * 60;
  const std::time_t left = kDay - std::time(nullptr) % kDay;
  if (left <= 60) std::this_thread::sleep_for(std::chrono::seconds(left + 1));
}

std::string Foot(const std::string& bytes, int files) {
  std::string padded = bytes;
  if (padded.size() < 10) padded.insert(0, 10 - padded.size(), ' ');
  return "</table>\r\n<b>" + padded + " bytes in " + std::to_string(files) +
         " files.</b><br>\r\n<i>" + Stamp() + ".</i>\r\n</body></html>\r\n";
}

std::string FileRow(const std::string& link, const std::string& name,
                    const std::string& size, const std::string& date,
                    const std::optional<std::string>& description) {
  return "<tr><td><a href=\"" + link + "\">" + name +
         "</a></td><td align=right>" + size + " </td><td>" + date + "</td>" +
         (description ? "<td> " + *description + "</td></tr>\r\n"
                      : std::string("<td></td></tr>\r\n"));
}

std::string DirRow(const std::string& name_link, const std::string& name,
                   const std::string& date,
                   const std::optional<std::string>& description) {
  return "<tr><td><a href=\"" + name_link + "/FILES.HTM\"><b>" + name +
         "</b></a></td><td align=center><b>DIR</b></td><td>" + date + "</td>" +
         (description ? "<td> " + *description + "</td></tr>\r\n"
                      : std::string("<td></td></tr>\r\n"));
}

#ifdef TABULON_WINDOWS_BUILD

namespace {

const std::string kPrefix = std::string(TABULON_WINDOWS_BUILD) + "/wine-prefix";

std::vector<std::string> WineEnvironment() {
  // LC_ALL empty so that LANG decides: OEM 866 and ANSI 1251, the code pages
  // of the program's Russian users.
  return {"WINEPREFIX=" + kPrefix,
          "WINEDEBUG=-all",
          "WINEDLLOVERRIDES=mscoree,mshtml=",
          "LANG=ru_RU.UTF-8",
          "LC_ALL=",
          "TZ=UTC"};
}

// Starts one wineserver for the whole suite, and Wine's own services with it,
// detached from the test's pipes: a process that inherited them would keep
// every later run's output open until it ends. Test programs run in
// parallel take turns, since two first starts at once can hang Wine.
void StartWineOnce() {
  static const bool started = [] {
    ProcessOptions options;
    options.env = WineEnvironment();
    const ProcessResult r = RunProcess(
        {"flock", "-o", kPrefix + ".lock", "/bin/sh", "-c",
         "wineserver -p 300 </dev/null >/dev/null 2>&1; "
         "exec \"$0\" \"$1\" --version </dev/null >/dev/null 2>&1",
         TABULON_WINE, std::string(TABULON_WINDOWS_BUILD) + "/src/tabulon.exe"},
        options);
    return r.exit_code == 0;
  }();
  // A suite that can't start Wine fails; it never passes by skipping.
  if (!started) {
    ADD_FAILURE() << "Wine did not start with the prefix " << kPrefix;
  }
}

}  // namespace

std::string Native(const std::string& path) {
  std::string native = "Z:" + path;
  std::replace(native.begin(), native.end(), '/', '\\');
  return native;
}

ProcessResult RunUnderWine(const std::string& program,
                           std::vector<std::string> args,
                           ProcessOptions options) {
  StartWineOnce();
  args.insert(args.begin(), {TABULON_WINE, program});
  for (std::string& e : WineEnvironment()) options.env.push_back(std::move(e));
  return RunProcess(args, options);
}

ProcessResult E2eTest::Run(std::vector<std::string> args,
                           ProcessOptions options) {
  AddJobCount(&args);
  return RunUnderWine(std::string(TABULON_WINDOWS_BUILD) + "/src/tabulon.exe",
                      std::move(args), std::move(options));
}

#else

std::string Native(const std::string& path) { return path; }

ProcessResult E2eTest::Run(std::vector<std::string> args,
                           ProcessOptions options) {
  AddJobCount(&args);
  args.insert(args.begin(), ProgramUnderTest(TABULON_BINARY));
  // UTC unless the test names a zone of its own.
  if (std::none_of(options.env.begin(), options.env.end(),
                   [](const std::string& e) { return e.starts_with("TZ="); })) {
    options.env.push_back("TZ=UTC");
  }
  return RunProcess(args, options);
}

#endif

namespace {

// The order a page lists names of Latin and Russian letters, digits and
// ASCII signs in, written out by hand for the tests: letters compare as
// capitals (a-z as A-Z, а-я and ѐ-џ as А-Я and Ѐ-Џ), UTF-16 units as
// numbers, a name before its longer extensions, equal names by their bytes.
std::u16string OrderKey(const std::string& name) {
  std::u16string key;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const unsigned char b = static_cast<unsigned char>(name[i]);
    char16_t unit = b;
    if (b >= 0x80) {
      const unsigned char next =
          i + 1 < name.size() ? static_cast<unsigned char>(name[i + 1]) : 0;
      if ((b != 0xD0 && b != 0xD1) || (next & 0xC0) != 0x80) {
        ADD_FAILURE() << "no test order for the name " << name;
        return key;
      }
      unit = static_cast<char16_t>((b & 0x1F) << 6 | (next & 0x3F));
      ++i;
    }
    if (unit >= u'a' && unit <= u'z') unit -= 0x20;
    if (unit >= 0x430 && unit <= 0x44F) unit -= 0x20;
    if (unit >= 0x450 && unit <= 0x45F) unit -= 0x50;
    key.push_back(unit);
  }
  return key;
}

}  // namespace

std::string InNameOrder(const std::map<std::string, std::string>& rows) {
  std::vector<std::string> names;
  for (const auto& [name, row] : rows) names.push_back(name);
  std::stable_sort(names.begin(), names.end(),
                   [](const std::string& a, const std::string& b) {
                     return OrderKey(a) < OrderKey(b);
                   });
  std::string joined;
  for (const std::string& name : names) joined += rows.at(name);
  return joined;
}

}  // namespace tabulon::testing
