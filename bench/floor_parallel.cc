// floor_parallel: the parallel yardstick, how far below the single-thread
// floor a walk can go on this machine when it uses every processor.
//
// It does exactly the work of floor (floor.cc: list every directory, stat
// every entry, a local date for each, read each FILES.BBS whole, write the
// page bytes) and writes the same bytes, but spreads the work over threads:
//   - a directory is a task: open it from its parent's descriptor, read its
//     names, read its FILES.BBS;
//   - its names are cut into pieces of kPiece while they are read, and each
//     full piece (stat, date, bytes of its entries) is a task of its own, so
//     the entries of one very large directory are stat'ed on all threads;
//   - when a directory's last piece is done, its subdirectories become
//     tasks, and with -t that thread writes its page.
// Threads take the newest task first, which keeps the work depth first,
// near the place the listing is written; with one listing for the tree
// (no -t) the main thread writes it in floor's order, each piece as soon
// as it is done. Nothing is shared but one queue under one lock, and a
// directory's descriptor is closed once its page is written and all its
// subdirectories are open. The fair comparison for Tabulon at J jobs is
// this at -j J: the same bytes read and written, on as many threads.
//
// With -s it only lists every directory and stats every entry, the same
// calls in the same order, and reads and writes nothing else: no date, no
// FILES.BBS, an empty listing. No program that lists a tree's sizes and
// dates can take less than that on this machine and file system, so -s
// bounds what any target against the floor can ask here.
//
//   floor_parallel [-j N] [-t] [-s] [-n NAME] [-a NAME] [-v] DIR [OUT]
//
//   -j N      N threads take tasks (default 4); the main thread writes the
//             one listing
//   -s        names and stat calls only (not with -t)
//   -t, -n, -a, -v, OUT as floor's; with -t pages are written in any order
//
// Exit code 0, or 2 when anything could not be read or written.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "yardstick.h"

namespace {

constexpr size_t kPiece = 1024;

struct Settings {
  bool page_per_directory = false;
  bool stat_only = false;
  bool verbose = false;
  std::string page = "FILES.HTM";
  std::string second;  // empty: none
  unsigned threads = 4;
};
Settings settings;

// A descriptor that stays open while anyone may still open or stat from it.
struct Handle {
  int fd;
  explicit Handle(int opened) : fd(opened) {}
  ~Handle() { close(fd); }
};

struct Piece {
  std::string names;  // each name after its d_type, ending in a NUL
  size_t count = 0;
  std::string bytes;  // the entries as the page holds them
  std::vector<std::string> subdirectories;
  bool done = false;  // under Pool::lock
};

struct Directory {
  std::string name, path, rel;
  std::shared_ptr<Handle> parent, handle;
  std::deque<Piece> pieces;  // appended under Pool::lock, never moved
  std::string descriptions;  // the FILES.BBS bytes, final once complete
  int unfinished = 1;        // pieces not done, +1 while names are read
  bool complete = false;     // under Pool::lock, with pieces and children
  std::vector<std::unique_ptr<Directory>> children;
};

struct Task {
  Directory* directory;
  Piece* piece;  // null: read the directory
};

class Pool {
 public:
  std::mutex lock;
  std::condition_variable work, progress;

  void Push(Task task) {
    {
      std::lock_guard held(lock);
      tasks_.push_back(task);
    }
    work.notify_one();
  }

  void Run() {
    for (;;) {
      Task task;
      {
        std::unique_lock held(lock);
        work.wait(held, [&] { return !tasks_.empty() || busy_ == 0; });
        if (tasks_.empty()) return;  // nothing queued, nobody to queue more
        task = tasks_.back();
        tasks_.pop_back();
        ++busy_;
      }
      if (task.piece != nullptr) {
        Describe(*task.directory, *task.piece);
        PieceDone(*task.directory, *task.piece, 1);
      } else {
        Read(*task.directory);
      }
      bool idle;
      {
        std::lock_guard held(lock);
        idle = --busy_ == 0 && tasks_.empty();
      }
      if (idle) work.notify_all();  // every thread may leave now
    }
  }

  // Queues the first task before any thread starts, so that no thread
  // finds the pool idle before the walk has begun.
  void Start(Directory& root) { tasks_.push_back({&root, nullptr}); }

 private:
  void Read(Directory& directory);
  void Describe(Directory& directory, Piece& piece);
  void PieceDone(Directory& directory, Piece& piece, int finished);
  void Complete(Directory& directory);
  Piece& NewPiece(Directory& directory);

  std::vector<Task> tasks_;
  int busy_ = 0;
};

Pool pool;

Piece& Pool::NewPiece(Directory& directory) {
  std::lock_guard held(lock);
  ++directory.unfinished;
  return directory.pieces.emplace_back();
}

void Pool::Read(Directory& directory) {
  if (directory.handle == nullptr) {
    int fd = openat(directory.parent->fd, directory.name.c_str(),
                    O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    directory.parent.reset();
    if (fd < 0) {
      yardstick::Fail("cannot open directory",
                      directory.path.substr(0, directory.path.size() - 1),
                      errno);
      PieceDone(directory, NewPiece(directory), 2);
      return;
    }
    directory.handle = std::make_shared<Handle>(fd);
  }
  Piece* piece = &NewPiece(directory);
  std::string descriptions;
  alignas(8) char buffer[65536];
  for (;;) {
    long got = yardstick::ReadNames(directory.handle->fd, directory.path,
                                    buffer, sizeof buffer);
    if (got <= 0) break;
    for (long at = 0; at < got;) {
      auto* record = reinterpret_cast<yardstick::DirectoryRecord*>(buffer + at);
      at += record->length;
      if (yardstick::Skipped(record->name, settings.page, settings.second))
        continue;
      if (descriptions.empty() && !settings.stat_only &&
          yardstick::IsDescriptionFile(record->name))
        descriptions = record->name;
      if (piece->count == kPiece) {
        Push({&directory, piece});
        piece = &NewPiece(directory);
      }
      piece->names += static_cast<char>(record->type);
      piece->names.append(record->name, std::strlen(record->name) + 1);
      ++piece->count;
    }
  }
  if (!descriptions.empty()) {
    yardstick::AppendFile(directory.descriptions, directory.handle->fd,
                          directory.path, descriptions.c_str());
  }
  Describe(directory, *piece);
  PieceDone(directory, *piece, 2);  // the piece and the reading
}

void Pool::Describe(Directory& directory, Piece& piece) {
  const char* next = piece.names.data();
  for (size_t i = 0; i < piece.count; ++i) {
    unsigned char type = static_cast<unsigned char>(*next);
    const char* name = next + 1;
    size_t length = std::strlen(name);
    next = name + length + 1;
    struct stat st;
    bool walk_into = false;
    if (!yardstick::Describe(directory.handle->fd, directory.path, name, type,
                             st, walk_into))
      continue;
    if (!settings.stat_only) {
      yardstick::AppendEntry(piece.bytes, st, directory.rel,
                             std::string_view(name, length));
    }
    if (walk_into) piece.subdirectories.emplace_back(name, length);
  }
  std::string().swap(piece.names);
}

void Pool::PieceDone(Directory& directory, Piece& piece, int finished) {
  bool last;
  {
    std::lock_guard held(lock);
    piece.done = true;
    directory.unfinished -= finished;
    last = directory.unfinished == 0;
  }
  progress.notify_all();
  if (last) Complete(directory);
}

// All pieces are done, so the thread that ran the last one owns the
// directory's pieces now: nobody else writes them any more.
void Pool::Complete(Directory& directory) {
  // Once complete is set the writer may free the directory: nothing below
  // that point touches it but the page (and with a page per directory
  // nothing is freed before the end).
  std::shared_ptr<Handle> handle = std::move(directory.handle);
  std::vector<std::unique_ptr<Directory>> children;
  for (Piece& piece : directory.pieces) {
    for (std::string& name : piece.subdirectories) {
      auto child = std::make_unique<Directory>();
      child->path = directory.path + name + "/";
      child->rel = settings.page_per_directory ? directory.rel
                                               : directory.rel + name + "/";
      child->name = std::move(name);
      child->parent = handle;
      children.push_back(std::move(child));
    }
  }
  {
    std::lock_guard held(lock);
    // Newest first out: the first subdirectory is taken first.
    for (auto child = children.rbegin(); child != children.rend(); ++child)
      tasks_.push_back({child->get(), nullptr});
    directory.children = std::move(children);
    directory.complete = true;
  }
  work.notify_all();
  progress.notify_all();
  // With a page per directory nobody else reads the pieces.
  if (settings.page_per_directory && handle != nullptr) {
    std::string page;
    for (Piece& piece : directory.pieces) page += piece.bytes;
    page += directory.descriptions;
    yardstick::WritePage(handle->fd, directory.path, settings.page, page);
    if (!settings.second.empty())
      yardstick::WritePage(handle->fd, directory.path, settings.second, page);
    directory.pieces.clear();
    std::string().swap(directory.descriptions);
  }
}

// The listing of the whole tree, in floor's order: a directory's pieces
// as each is done, its descriptions, then its subdirectories.
void WriteListing(Directory& root, int out, const std::string& out_name) {
  std::string buffer;
  std::vector<std::pair<Directory*, size_t>> stack{{&root, 0}};
  bool entered = false;
  while (!stack.empty()) {
    auto& [directory, next] = stack.back();
    if (!entered) {
      std::unique_lock held(pool.lock);
      for (size_t i = 0;; ++i) {
        pool.progress.wait(held, [&] {
          return directory->complete ||
                 (i < directory->pieces.size() && directory->pieces[i].done);
        });
        if (i >= directory->pieces.size()) break;
        // The deque may grow meanwhile: take the piece under the lock.
        Piece& piece = directory->pieces[i];
        held.unlock();
        buffer += piece.bytes;
        std::string().swap(piece.bytes);
        held.lock();
      }
      held.unlock();
      buffer += directory->descriptions;
      if (buffer.size() >= (1 << 20)) {
        yardstick::WriteAll(out, buffer, out_name);
        buffer.clear();
      }
      entered = true;
    }
    if (next < directory->children.size()) {
      stack.push_back({directory->children[next++].get(), 0});
      entered = false;
    } else {
      directory->children.clear();
      stack.pop_back();
    }
  }
  yardstick::WriteAll(out, buffer, out_name);
}

int Usage() {
  std::fprintf(stderr,
               "usage: floor_parallel [-j N] [-t] [-s] [-n NAME] [-a NAME] "
               "[-v] DIR [OUT]\n");
  return 64;
}

}  // namespace

int main(int argc, char** argv) {
  int i = 1;
  for (; i < argc && argv[i][0] == '-' && argv[i][1] != '\0'; ++i) {
    std::string option = argv[i];
    if (option == "-t") {
      settings.page_per_directory = true;
    } else if (option == "-s") {
      settings.stat_only = true;
    } else if (option == "-v") {
      settings.verbose = true;
    } else if (option == "-n" && i + 1 < argc) {
      settings.page = argv[++i];
    } else if (option == "-a" && i + 1 < argc) {
      settings.second = argv[++i];
    } else if (option == "-j" && i + 1 < argc) {
      int threads = std::atoi(argv[++i]);
      if (threads < 1 || threads > 1024) return Usage();
      settings.threads = static_cast<unsigned>(threads);
    } else {
      return Usage();
    }
  }
  if (i >= argc || argc - i > 2) return Usage();
  if (!settings.second.empty() && !settings.page_per_directory) return Usage();
  if (settings.stat_only && settings.page_per_directory) return Usage();
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
  int fd = open(start.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    yardstick::Fail("cannot open directory", start, errno);
    return 2;
  }
  Directory root;
  root.path = start.back() == '/' ? start : start + "/";
  root.handle = std::make_shared<Handle>(fd);
  pool.Start(root);
  std::vector<std::thread> threads;
  for (unsigned k = 0; k < settings.threads; ++k)
    threads.emplace_back([] { pool.Run(); });
  if (!settings.page_per_directory) WriteListing(root, out, out_name);
  for (std::thread& thread : threads) thread.join();
  if (!settings.page_per_directory && out != 1 && close(out) != 0)
    yardstick::Fail("cannot close", out_name, errno);
  if (settings.verbose) {
    std::chrono::duration<double> took =
        std::chrono::steady_clock::now() - began;
    std::fprintf(stderr, "floor_parallel: %u threads, %.3f s\n",
                 settings.threads, took.count());
  }
  return yardstick::failures > 0 ? 2 : 0;
}
