// Stop signals: a stop removes every temporary page before the process ends
// by the signal, so that its exit status shows it.
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <mutex>

#include "platform/posix/posix_internal.h"

namespace tabulon {

PendingFiles& Pending() {
  static PendingFiles* pending = new PendingFiles;  // outlives every thread
  return *pending;
}

namespace {

// Which signals there are differs from system to system.

// The end of the signal numbers sigismember takes.
#ifdef NSIG
constexpr int kSignalsEnd = NSIG;
#else
constexpr int kSignalsEnd = 128;  // sigismember refuses those past
#endif

// The stop signals every system has, and those of some.
constexpr int kStopSignals[] = {
    SIGHUP,    SIGINT,  SIGQUIT,   SIGTERM, SIGALRM,
    SIGUSR1,   SIGUSR2, SIGVTALRM, SIGPROF, SIGXCPU,
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};

// The real-time signals, first and last (none where first > last).
#ifdef SIGRTMIN
int FirstRealTimeSignal() { return SIGRTMIN; }
int LastRealTimeSignal() { return SIGRTMAX; }
#else
int FirstRealTimeSignal() { return 1; }
int LastRealTimeSignal() { return 0; }
#endif

// The signals that stop the run (see StopSignals), and whether a handler
// takes them, no thread having been started for them: a step on a
// temporary file then holds them back on its own thread, since the handler
// waits for the steps under way and can't wait for the one it interrupts.
// Both set before any other thread starts.
sigset_t g_stop_signals;
bool g_stops_by_handler = false;

// The thread that takes stop signals reaches the process's descriptors
// through /proc/self/fd rather than sharing them.
bool g_stop_reaches_through_proc = false;

// The signals whose default ends the process, but for those that come of a
// fault in the program itself (SIGSEGV, SIGABRT...) and those ignored at
// start (nohup; SIGINT of a background job), which stay as they are.
sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  const auto add = [&set](int sig) {
    struct sigaction current;
    if (::sigaction(sig, nullptr, &current) == 0 &&
        (current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_IGN) {
      return;
    }
    sigaddset(&set, sig);
  };
  for (const int sig : kStopSignals) add(sig);
  for (int sig = FirstRealTimeSignal(); sig <= LastRealTimeSignal(); ++sig) {
    add(sig);
  }
  return set;
}

// The stack of the thread below (or the system's least, if more).
constexpr std::size_t kStopStack = std::size_t{128} << 10;

// Takes the first stop signal, removes every temporary page, and ends the
// process by that signal, so that its exit status shows it.
void TakeStopSignals(sigset_t set, std::atomic<bool>* started) {
  // A table of descriptors of its own: while the other threads share theirs
  // with no one else (a run on one thread), the system gives them files
  // without counting references, which a walk does hundreds of thousands of
  // times. The copy holds only what was open when the process began.
  if (g_stop_reaches_through_proc) OwnDescriptors();
  started->store(true);
  started->notify_one();
  int sig = 0;
  while (::sigwait(&set, &sig) != 0) {
  }
  Pending().RemoveAllAndHold();
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(sig, &action, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, sig);
  ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  ::raise(sig);
  ::_exit(128 + sig);
}

// Where no thread could be started for them (a limit of processes), the
// stop signals come here, on whichever thread they land.
void OnStopSignal(int sig) {
  Pending().RemoveAllFromHandler([] {
    const struct timespec pause = {0, 1000000};
    ::nanosleep(&pause, nullptr);
  });
  ::signal(sig, SIG_DFL);
  // Held back while this runs: it ends the process once this returns.
  ::raise(sig);
}

// The stop signals are held back in this thread, and so in every thread it
// starts, and taken by one thread of their own: a signal handler could not
// wait for a thread that is between creating a temporary page and
// registering it, unless every such step holds them back (two calls of the
// system more a step), which is done only where no thread can be started.
// Called before any other thread is started.
}  // namespace

StopsHeldBack::StopsHeldBack() {
  if (g_stops_by_handler) ::pthread_sigmask(SIG_BLOCK, &g_stop_signals, &old_);
}

StopsHeldBack::~StopsHeldBack() {
  if (g_stops_by_handler) ::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
}

bool StopReachesThroughProc() { return g_stop_reaches_through_proc; }

void HandleStops() {
  static std::once_flag once;
  std::call_once(once, [] {
    // A report that can't be written (standard error piped into head) is
    // dropped: the run's output is its pages.
    ::signal(SIGPIPE, SIG_IGN);
    // Under a file-size limit a write past it fails with EFBIG and is
    // reported, the previous page kept, instead of the signal ending the run.
    ::signal(SIGXFSZ, SIG_IGN);
    g_stop_reaches_through_proc = StopThreadCanOwnDescriptors();
    Pending();  // made before a handler may need it
    g_stop_signals = StopSignals();
    static const sigset_t set = g_stop_signals;
    sigset_t old;
    ::pthread_sigmask(SIG_BLOCK, &set, &old);
    static std::atomic<bool> started{false};
    // The thread waits and removes files: a small stack will do. The
    // system's default (8 MiB) took most of a tight limit of address space,
    // and the run then ran out of memory before it could report it.
    pthread_attr_t attributes;
    pthread_t thread;
    bool running = false;
    if (::pthread_attr_init(&attributes) == 0) {
      const std::size_t stack =
          std::max(kStopStack, static_cast<std::size_t>(PTHREAD_STACK_MIN));
      running = ::pthread_attr_setstacksize(&attributes, stack) == 0 &&
                ::pthread_attr_setdetachstate(&attributes,
                                              PTHREAD_CREATE_DETACHED) == 0 &&
                ::pthread_create(
                    &thread, &attributes,
                    [](void*) -> void* {
                      TakeStopSignals(set, &started);
                      return nullptr;
                    },
                    nullptr) == 0;
      ::pthread_attr_destroy(&attributes);
    }
    if (running) {
      // Nothing is opened before the thread has its own table, so that it
      // keeps no file of the run open.
      started.wait(false);
    } else {
      g_stop_reaches_through_proc = false;  // the descriptors are shared
      g_stops_by_handler = true;
      struct sigaction action;
      std::memset(&action, 0, sizeof action);
      action.sa_handler = &OnStopSignal;
      action.sa_mask = set;
      action.sa_flags = SA_RESTART;
      for (int sig = 1; sig < kSignalsEnd; ++sig) {
        if (sigismember(&set, sig) == 1) ::sigaction(sig, &action, nullptr);
      }
      ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }
  });
}

}  // namespace tabulon
