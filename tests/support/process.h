#ifndef TABULON_TESTS_SUPPORT_PROCESS_H_
#define TABULON_TESTS_SUPPORT_PROCESS_H_

#include <functional>
#include <string>
#include <vector>

namespace tabulon::testing {

struct ProcessResult {
  int exit_code = -1;  // -1 when killed by a signal
  int signal = 0;
  std::string out;
  std::string err;
};

struct ProcessOptions {
  std::string cwd;                     // empty: the test's own
  std::vector<std::string> env;        // NAME=value added or replacing
  std::function<void()> in_child;      // runs in the child before exec
  std::function<void(int)> started;    // gets the child's pid in the parent
  int kill_after_ms = 0;               // send kill_signal after this long
  int kill_signal = 15;
  bool stderr_to_pty = false;          // standard error is a terminal
};

// Adds "--jobs=N" to the arguments of the program under test when the
// variable TABULON_E2E_JOBS holds N, so that the suite can be run again
// with another job count.
void AddJobCount(std::vector<std::string>* args);

// The POSIX program under test: the one built on the portable backend when
// TABULON_E2E_PORTABLE_BINARY names it (the suite runs once more against
// it), else `built_beside`, the one this test program was built with.
std::string ProgramUnderTest(const char* built_beside);
// Whether that program takes the portable backend's ways.
bool PortableProgramUnderTest();

// Runs argv[0] with the arguments, collecting both output streams.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const ProcessOptions& options = {});

}  // namespace tabulon::testing

#endif  // TABULON_TESTS_SUPPORT_PROCESS_H_
