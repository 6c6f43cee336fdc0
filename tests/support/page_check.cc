#include "support/page_check.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "support/process.h"

namespace tabulon::testing {

std::string CheckPages(const std::vector<std::string>& pages, int rows) {
  if (pages.empty()) return std::string();
  // Pages are handed over as files of their own: a page's real path may be
  // longer than the system lets a script open.
  const char* tmp = std::getenv("TMPDIR");
  std::string dir =
      std::string(tmp && *tmp ? tmp : "/tmp") + "/tabulon-pages-XXXXXX";
  if (mkdtemp(dir.data()) == nullptr)
    return "cannot make a directory for the pages";
  std::vector<std::string> argv = {TABULON_PYTHON, TABULON_PAGE_CHECKER};
  if (rows >= 0) {
    argv.push_back("--rows");
    argv.push_back(std::to_string(rows));
  }
  for (std::size_t i = 0; i < pages.size(); ++i) {
    const std::string path = dir + "/" + std::to_string(i) + ".htm";
    std::ofstream(path, std::ios::binary) << pages[i];
    argv.push_back(path);
  }
  const ProcessResult result = RunProcess(argv);
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  if (result.exit_code == 0 && result.out.empty()) return std::string();
  return result.out + result.err + "(checker exit " +
         std::to_string(result.exit_code) + ")";
}

std::string CheckLinks(const std::string& root, const std::string& url,
                       bool tree_mode) {
  std::vector<std::string> argv = {
      TABULON_PYTHON, TABULON_PAGE_CHECKER, "--links", root, "--url", url};
  if (tree_mode) argv.push_back("--tree");
  const ProcessResult result = RunProcess(argv);
  if (result.exit_code == 0 && result.out.empty()) return std::string();
  return result.out + result.err + "(checker exit " +
         std::to_string(result.exit_code) + ")";
}

}  // namespace tabulon::testing
