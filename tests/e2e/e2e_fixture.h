#ifndef TABULON_TESTS_E2E_E2E_FIXTURE_H_
#define TABULON_TESTS_E2E_E2E_FIXTURE_H_

// The pieces of an expected page, and a fixture that runs the program under
// test: the POSIX build directly, or (built with TABULON_WINDOWS_BUILD) the
// Windows build under Wine, on the same trees with the same expectations.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/process.h"
#include "support/tree.h"

namespace tabulon::testing {

inline constexpr char kBanner[] =
    "Tabulon [FromDir] [URL] [/t]\r\n"
    "Lists a directory tree with the descriptions of its FILES.BBS into "
    "FILES.HTM.\r\n";

#ifdef TABULON_WINDOWS_BUILD
inline constexpr bool kUnderWine = true;
inline constexpr char kSeparator = '\\';
#else
inline constexpr bool kUnderWine = false;
inline constexpr char kSeparator = '/';
#endif

std::string Head(const std::string& title);
// The creation stamp of a page written today (the children run in UTC).
std::string Stamp();
std::string Foot(const std::string& bytes, int files);
std::string FileRow(const std::string& link, const std::string& name,
                    const std::string& size, const std::string& date,
                    const std::optional<std::string>& description = {});
// Joins rows in the order a page lists their names; `rows` maps a name to
// its row. For names of Latin and Russian letters, digits and signs.
std::string InNameOrder(const std::map<std::string, std::string>& rows);

std::string DirRow(const std::string& name_link, const std::string& name,
                   const std::string& date,
                   const std::optional<std::string>& description = {});

// A path of the test's file system as the program under test takes it:
// unchanged on POSIX, on Wine's drive Z: with backslashes.
std::string Native(const std::string& path);

// Runs the Windows build inside Wine: `program` and `args` go to wine as
// they are (so Native paths are the caller's business).
ProcessResult RunUnderWine(const std::string& program,
                           std::vector<std::string> args,
                           ProcessOptions options = {});

class E2eTest : public ::testing::Test {
 protected:
  // A test that would start in the last minute of a day (UTC) waits for the
  // next: its pages and the expected stamp then fall on the same day.
  void SetUp() override;

  // Runs the program under test with these arguments (each a whole
  // argument; Wine quotes those with blanks when it builds the command line).
  ProcessResult Run(std::vector<std::string> args, ProcessOptions options = {});


  TempTree tree_;
};

}  // namespace tabulon::testing

#endif  // TABULON_TESTS_E2E_E2E_FIXTURE_H_
