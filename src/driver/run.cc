#include "driver/run.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <new>
#include <optional>

#include "common/per_thread.h"
#include "common/version.h"
#include "driver/command_line.h"
#include "driver/page_sink.h"
#include "driver/progress.h"
#include "driver/walk.h"
#include "driver/work_pool.h"
#include "html/json_listing.h"
#include "html/text.h"

namespace tabulon {
namespace {

constexpr char kNotice[] =
    "Lists a directory tree with the descriptions of its FILES.BBS into "
    "FILES.HTM.";

// The usage: these, the options, then the closing words.
constexpr char kParameters[] =
    "\r\n"
    "  FromDir   the directory to list; the current directory when left out\r\n"
    "  URL       put in front of every file link, exactly as typed\r\n";

constexpr char kClosingWords[] =
    "\r\n"
    "Descriptions come from the FILES.BBS of each directory, or else its\r\n"
    "DESCRIPT.ION (code page 866, windows-1251, KOI8-R, UTF-8 or UTF-16);\r\n"
    "pages are written in windows-1251 (or UTF-8), in name order, and a\r\n"
    "page that comes out the same is left as it is.\r\n"
    "Exit code: 0 all went well, 2 a failure was reported on standard\r\n"
    "error, 1 out of memory.\r\n";

// Memory set aside at start, given back when an allocation first fails, so
// that the run can still unwind and report. Atomic: directories are read on
// several threads, which may run out of memory at the same time.
std::atomic<char*> g_reserve{nullptr};
std::atomic<const void*> g_failed_at{nullptr};

// Stays in place: a shortage the run recovers from (a directory read again
// with fewer jobs) may come before the one that ends it, whose place the
// report must name.
void OnOutOfMemory() {
  if (char* reserve = g_reserve.exchange(nullptr)) {
    delete[] reserve;
    return;  // the allocation is tried again
  }
  g_failed_at = __builtin_return_address(0);
  throw std::bad_alloc();
}

int RunGuarded(Platform& platform) {
  const std::vector<std::string> parameters =
      ParametersOf(platform.ReadCommandLine());
  const Request request = RequestOf(parameters);
  if (request == Request::kShowVersion) {
    // The system's own line end, so that $(tabulon --version) holds no CR
    // on POSIX: CR LF where paths take backslashes.
    platform.WriteStdout(std::string("Tabulon ") + kVersion +
                         (platform.Separator() == '\\' ? "\r\n" : "\n"));
    return 0;
  }
  std::string current = platform.CurrentDirectory();
  if (current.empty()) current.push_back('.');
  const char separator = platform.Separator();
  RunSettings settings = SettingsFrom(parameters, current, separator);
  if (!settings.Quiet || request == Request::kShowHelp) {
    platform.WriteStdout(std::string(kUsageLine) + "\r\n" + kNotice + "\r\n");
  }
  if (request == Request::kShowHelp) {
    platform.WriteStdout(kParameters + OptionsUsage() + kClosingWords);
    return 0;
  }
  Exclusions exclusions;
  const std::vector<Status> refused =
      ApplySwitches(&settings, platform.Processors(),
                    platform.StorageReads().has_value(), &exclusions);
  if (!refused.empty()) {
    Reporter reporter(platform);
    for (const Status& failure : refused) reporter.Report(failure);
    return 2;
  }

  Progress progress(platform, settings.Quiet);
  Reporter reporter(platform);
  reporter.set_progress(&progress);
  std::unique_ptr<Directory> opened;
  const Status status = platform.OpenDirectory(settings.FromDir, &opened);
  if (!status.ok()) {
    reporter.Report(status.At("cannot read directory", settings.FromDir));
    return 2;
  }
  const std::shared_ptr<Directory> root(std::move(opened));

  JobSettings job;
  job.RunMode = settings.RunMode;
  job.prefixed_links = settings.RunMode == mList || !settings.URL.empty();
  job.free_memory = [&platform] { return platform.FreeMemory(); };
  job.exclusions = &exclusions;
  job.processors = platform.Processors();
  job.charset = settings.Charset;
  job.json = settings.Json;
  AppendHrefUrl(settings.URL, &job.json_url);
  std::string link;
  AppendUrl(settings.URL, settings.Charset, &link);
  WalkOptions options;
  options.job = &job;
  options.threads = settings.Jobs;
  options.most_threads = settings.MostJobs;
  options.reporter = &reporter;
  options.progress = &progress;
  options.platform = &platform;
  const auto start = Place::Start(settings.FromDir, separator, std::move(link),
                                  settings.Charset);

  if (settings.RunMode == mTree) {
    TreePages pages(platform, settings.Charset, settings.Json);
    job.sink = &pages;
    WalkDirectory(root, start, options);
    progress.Close(pages.written(), pages.unchanged(), pages.totals());
    return reporter.count() == 0 ? 0 : 2;
  }
  ListPage page(platform, *root, settings.FromDir, separator, settings.Charset,
                settings.Json);
  if (!page.creatable()) {
    // Nothing to compare with and nothing could be made: nothing to walk.
    for (const Status& failure : page.Close()) reporter.Report(failure);
    return 2;
  }
  job.sink = &page;
  WalkDirectory(root, start, options);
  for (const Status& failure : page.Close()) reporter.Report(failure);
  progress.Close(page.written(), page.unchanged(), page.totals());
  return reporter.count() == 0 ? 0 : 2;
}

// The run on the calling thread, which runs jobs too.
int RunHere(Platform& platform) {
  ReadyPerThread();
  try {
    return RunGuarded(platform);
  } catch (const std::bad_alloc&) {
    // Everything of the run is unwound by now, its unfinished page removed.
    char report[256];
    const int n = std::snprintf(
        report, sizeof report,
        "Exception EOutOfMemory in module %s at %08llX.\r\nOut of memory.",
        platform.ProgramName().c_str(),
        static_cast<unsigned long long>(platform.CodeOffset(g_failed_at)));
    platform.WriteStdout(
        std::string_view(report, n > 0 ? static_cast<std::size_t>(n) : 0));
    return 1;
  }
}

}  // namespace

int Run(Platform& platform) {
  // Kept from an earlier run in the same process, so none is lost.
  if (g_reserve == nullptr) g_reserve = new char[4096];
  std::set_new_handler(OnOutOfMemory);
  // On a thread whose stack the run chooses: the main thread's may hold a
  // few KiB (ulimit -s), part of them taken by the environment. Where no
  // thread can start, memory is short anyway: the run goes on here.
  int code = 1;
  std::unique_ptr<Thread> thread;
  Status started;
  try {
    started = platform.StartThread(
        WorkPool::kStackBytes, [&platform, &code] { code = RunHere(platform); },
        &thread);
  } catch (const std::bad_alloc&) {
    started = Status::NoRoom("no memory for a thread");
  }
  if (!started.ok()) return RunHere(platform);
  thread.reset();  // waits for the run to end
  return code;
}

}  // namespace tabulon
