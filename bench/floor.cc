// floor: the single-thread yardstick Tabulon's times are measured against.
//
// It does the least work any program must do, on one thread, to produce
// Tabulon's pages for a tree, and nothing else:
//   - list every directory once (getdents64 on its own descriptor, opened
//     from its parent's, so no path is looked up twice);
//   - stat every entry once (fstatat; a link twice, to show its target);
//   - convert every entry's time to a local date (localtime_r);
//   - read each directory's FILES.BBS whole;
//   - write the page bytes: for every entry its link, its name, its size
//     and its date, and the directory's descriptions, with a page per
//     directory (-t) through a temporary file and a rename.
// It does none of what makes a page a page: no name order, no matching of
// names to descriptions, no code pages, no escaping, no markup. That is
// why it is a floor: a program that produces the same pages can't do less
// than this, and every ratio bench/run.sh prints is a time over this one.
//
// The walk is Tabulon's: a directory's own entries, then its
// subdirectories depth first in the order they were listed. Dot names and
// the pages themselves are passed over.
//
//   floor [-t] [-n NAME] [-a NAME] [-v] DIR [OUT]
//
//   (default) one listing OUT (default: standard output) for the whole
//             tree, the entries' links relative to DIR
//   -t        a page NAME in every directory (default FILES.HTM)
//   -a NAME   with -t, also the same bytes as NAME in every directory: the
//             least work of a second file per directory (FILES.JSON)
//   -v        counts and time on standard error
//
// floor_parallel writes the same bytes (bench/run.sh checks it with cmp).
// Exit code 0, or 2 when anything could not be read or written (each
// failure reported on standard error).
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "yardstick.h"

namespace {

struct Settings {
  bool page_per_directory = false;
  bool verbose = false;
  std::string page = "FILES.HTM";
  std::string second;  // empty: none
};

struct Counts {
  unsigned long long directories = 0, entries = 0;
};

class Walk {
 public:
  Walk(const Settings& settings, int out) : settings_(settings), out_(out) {}

  // Lists the directory open as `dir` (closed here), then its
  // subdirectories. `path` is shown in reports, `rel` starts each link.
  void Directory(int dir, const std::string& path, const std::string& rel) {
    ++counts_.directories;
    std::string& page = settings_.page_per_directory ? page_ : listing_;
    if (settings_.page_per_directory) page.clear();
    std::vector<std::string> subdirectories;
    std::string descriptions;
    for (;;) {
      long got = yardstick::ReadNames(dir, path, buffer_, sizeof buffer_);
      if (got <= 0) break;
      for (long at = 0; at < got;) {
        auto* record =
            reinterpret_cast<yardstick::DirectoryRecord*>(buffer_ + at);
        at += record->length;
        const char* name = record->name;
        if (yardstick::Skipped(name, settings_.page, settings_.second))
          continue;
        struct stat st;
        bool walk_into = false;
        if (!yardstick::Describe(dir, path, name, record->type, st, walk_into))
          continue;
        ++counts_.entries;
        yardstick::AppendEntry(page, st, rel, name);
        if (walk_into) subdirectories.emplace_back(name);
        if (descriptions.empty() && yardstick::IsDescriptionFile(name))
          descriptions = name;
      }
    }
    if (!descriptions.empty())
      yardstick::AppendFile(page, dir, path, descriptions.c_str());
    if (settings_.page_per_directory) {
      yardstick::WritePage(dir, path, settings_.page, page);
      if (!settings_.second.empty())
        yardstick::WritePage(dir, path, settings_.second, page);
    } else if (listing_.size() >= kFlushAt) {
      Flush();
    }
    for (const std::string& name : subdirectories) {
      int child = openat(dir, name.c_str(),
                         O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child < 0) {
        yardstick::Fail("cannot open directory", path + name, errno);
        continue;
      }
      Directory(child, path + name + "/",
                settings_.page_per_directory ? rel : rel + name + "/");
    }
    close(dir);
  }

  void Flush() {
    yardstick::WriteAll(out_, listing_, "the listing");
    listing_.clear();
  }

  const Counts& counts() const { return counts_; }

 private:
  static constexpr size_t kFlushAt = 1 << 20;
  const Settings& settings_;
  int out_;
  std::string listing_, page_;
  Counts counts_;
  // One for the whole walk: a directory's names are all handled before
  // its subdirectories are entered.
  alignas(8) char buffer_[65536];
};

int Usage() {
  std::fprintf(stderr,
               "usage: floor [-t] [-n NAME] [-a NAME] [-v] DIR [OUT]\n");
  return 64;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  int i = 1;
  for (; i < argc && argv[i][0] == '-' && argv[i][1] != '\0'; ++i) {
    std::string option = argv[i];
    if (option == "-t") {
      settings.page_per_directory = true;
    } else if (option == "-v") {
      settings.verbose = true;
    } else if (option == "-n" && i + 1 < argc) {
      settings.page = argv[++i];
    } else if (option == "-a" && i + 1 < argc) {
      settings.second = argv[++i];
    } else {
      return Usage();
    }
  }
  if (i >= argc || argc - i > 2) return Usage();
  if (!settings.second.empty() && !settings.page_per_directory) return Usage();
  const std::string start = argv[i];
  const std::string out_name = i + 1 < argc ? argv[i + 1] : "-";
  const auto began = std::chrono::steady_clock::now();
  tzset();

  int out = 1;
  if (!settings.page_per_directory && out_name != "-") {
    out =
        open(out_name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (out < 0) {
      yardstick::Fail("cannot create", out_name, errno);
      return 2;
    }
  }
  Walk walk(settings, out);
  int dir = open(start.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    yardstick::Fail("cannot open directory", start, errno);
  } else {
    walk.Directory(dir, start.back() == '/' ? start : start + "/", "");
  }
  if (!settings.page_per_directory) {
    walk.Flush();
    if (out != 1 && close(out) != 0)
      yardstick::Fail("cannot close", out_name, errno);
  }
  if (settings.verbose) {
    std::chrono::duration<double> took =
        std::chrono::steady_clock::now() - began;
    std::fprintf(stderr, "floor: %llu directories, %llu entries, %.3f s\n",
                 walk.counts().directories, walk.counts().entries,
                 took.count());
  }
  return yardstick::failures > 0 ? 2 : 0;
}
