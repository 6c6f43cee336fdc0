#include "support/link_check.h"

#include <vector>

#include "support/page_check.h"
#include "support/process.h"

namespace tabulon::testing {

std::string CheckLinks(const std::string& root, const std::string& url,
                       bool tree_mode) {
  std::string report = CheckPages(PagesIn(root));
  std::vector<std::string> argv = {TABULON_PYTHON, TABULON_LINK_CHECKER, root,
                                   "--url", url};
  if (tree_mode) argv.push_back("--tree");
  const ProcessResult result = RunProcess(argv);
  if (result.exit_code == 0 && result.out.empty()) return report;
  return report + result.out + result.err + "(checker exit " +
         std::to_string(result.exit_code) + ")";
}

}  // namespace tabulon::testing
