#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace tabulon::testing {
namespace {

long long NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

}  // namespace

void AddJobCount(std::vector<std::string>* args) {
  if (const char* jobs = std::getenv("TABULON_E2E_JOBS")) {
    args->push_back(std::string("--jobs=") + jobs);
  }
}

std::string ProgramUnderTest(const char* built_beside) {
  const char* portable = std::getenv("TABULON_E2E_PORTABLE_BINARY");
  return portable ? portable : built_beside;
}

bool PortableProgramUnderTest() {
  return std::getenv("TABULON_E2E_PORTABLE_BINARY") != nullptr;
}

ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const ProcessOptions& options) {
  int out[2], err[2];
  int pty_master = -1, pty_slave = -1;
  if (pipe(out) != 0) std::abort();
  if (options.stderr_to_pty) {
    if (openpty(&pty_master, &pty_slave, nullptr, nullptr, nullptr) != 0) std::abort();
    err[0] = pty_master;
    err[1] = pty_slave;
  } else if (pipe(err) != 0) {
    std::abort();
  }
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    close(out[0]);
    close(err[0]);
    // Only 1 and 2 may hold the write ends: a daemon the child starts with
    // its output elsewhere (Wine's server) must not keep them open.
    if (out[1] > 2) close(out[1]);
    if (err[1] > 2) close(err[1]);
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    for (const std::string& e : options.env) putenv(strdup(e.c_str()));
    if (options.in_child) options.in_child();
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  if (options.started) options.started(pid);
  ProcessResult result;
  const long long start = NowMs();
  bool killed = false;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open_streams = 2;
  while (open_streams > 0) {
    int timeout = -1;
    if (options.kill_after_ms > 0 && !killed) {
      timeout = static_cast<int>(start + options.kill_after_ms - NowMs());
      if (timeout <= 0) {
        kill(pid, options.kill_signal);
        killed = true;
        timeout = -1;
      }
    }
    if (poll(fds, 2, timeout) < 0) break;
    for (pollfd& f : fds) {
      if (f.fd < 0 || (f.revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      char buffer[65536];
      const ssize_t n = read(f.fd, buffer, sizeof buffer);
      if (n <= 0) {
        close(f.fd);
        f.fd = -1;
        --open_streams;
      } else {
        (f.fd == out[0] ? result.out : result.err).append(buffer, n);
      }
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

}  // namespace tabulon::testing
