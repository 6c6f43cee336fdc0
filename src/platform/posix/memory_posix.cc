// Free memory: the system's, what a limit of address space leaves, and what
// the limits of the process's control groups (a container) leave.
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/posix_internal.h"

namespace tabulon {
namespace {

// Not every system limits the address space.
#ifdef RLIMIT_AS
constexpr int kAddressSpace = RLIMIT_AS;
#else
constexpr int kAddressSpace = -1;
#endif

// A memory limit of the process's control group (a container): its
// bytes and the file that tells the group's usage.
struct GroupLimit {
  std::uint64_t bytes;
  std::string usage;
};

// The number a control group file holds; nothing for "max", a file
// that can't be read, or a v1 "no limit" (near 2^63).
std::optional<std::uint64_t> GroupNumber(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return std::nullopt;
  unsigned long long value = 0;
  const bool read = std::fscanf(file, "%llu", &value) == 1;
  std::fclose(file);
  if (!read || value >= (std::uint64_t{1} << 62)) return std::nullopt;
  return value;
}

// The limits set on the process's group and on those above it, from
// /proc/self/cgroup: cgroup v2 (memory.max, memory.current) where it
// sets one, else v1 (memory.limit_in_bytes, memory.usage_in_bytes).
std::vector<GroupLimit> ControlGroupLimits() {
  std::vector<GroupLimit> limits;
  FILE* groups = std::fopen("/proc/self/cgroup", "r");
  if (groups == nullptr) return limits;
  std::string v2, v1;  // the group's path in each hierarchy
  bool in_v1 = false;
  char line[4096];
  while (std::fgets(line, sizeof line, groups) != nullptr) {
    const std::string text(line, std::strcspn(line, "\n"));
    const std::size_t first = text.find(':');
    const std::size_t second = text.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string controllers =
        "," + text.substr(first + 1, second - first - 1) + ",";
    if (text.compare(0, first, "0") == 0 && controllers == ",,") {
      v2 = text.substr(second + 1);
    } else if (controllers.find(",memory,") != std::string::npos) {
      v1 = text.substr(second + 1);
      in_v1 = true;
    }
  }
  std::fclose(groups);
  const auto add = [&limits](const std::string& root, std::string group,
                             const char* limit, const char* usage) {
    // Inside a container the group's path may be the host's, and the
    // hierarchy mounted there the container's own group.
    struct stat info;
    if (::stat((root + group).c_str(), &info) != 0) group.clear();
    while (!group.empty() && group.back() == '/') group.pop_back();
    for (;;) {
      const std::string at = root + group + "/";
      if (const auto bytes = GroupNumber(at + limit)) {
        limits.push_back({*bytes, at + usage});
      }
      const std::size_t slash = group.rfind('/');
      if (slash == std::string::npos) break;
      group.erase(slash);
    }
  };
  add("/sys/fs/cgroup", v2, "memory.max", "memory.current");
  if (limits.empty() && in_v1) {
    add("/sys/fs/cgroup/memory", v1, "memory.limit_in_bytes",
        "memory.usage_in_bytes");
  }
  return limits;
}

// What the memory limits of the process's control groups leave: the
// least of limit less usage; UINT64_MAX without one. The limits are read
// once; the usage, a file read the guard may ask for at every
// description file, again only after kGroupUsageMs while the room is
// wide (no single file takes it in that time), else every time.
std::uint64_t ControlGroupRoom() {
  static const std::vector<GroupLimit> limits = ControlGroupLimits();
  if (limits.empty()) return UINT64_MAX;
  constexpr std::uint64_t kGroupUsageMs = 20;
  constexpr std::uint64_t kWide = std::uint64_t{256} << 20;
  static std::atomic<std::uint64_t> read_at{0};  // ms, 0: never
  static std::atomic<std::uint64_t> last{0};
  struct timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000 +
                           static_cast<std::uint64_t>(now.tv_nsec) / 1000000 +
                           1;
  const std::uint64_t at = read_at.load(std::memory_order_relaxed);
  if (at != 0 && ms - at < kGroupUsageMs &&
      last.load(std::memory_order_relaxed) >= kWide) {
    return last.load(std::memory_order_relaxed);
  }
  std::uint64_t room = UINT64_MAX;
  for (const GroupLimit& limit : limits) {
    // A usage that can't be read counts as the whole limit used.
    const std::uint64_t used = GroupNumber(limit.usage).value_or(limit.bytes);
    room = std::min(room, limit.bytes > used ? limit.bytes - used : 0);
  }
  last.store(room, std::memory_order_relaxed);
  read_at.store(ms, std::memory_order_relaxed);
  return room;
}

}  // namespace

std::uint64_t FreeMemory() {
  std::uint64_t free = SystemFreeMemory();
  struct rlimit limit;
  if (kAddressSpace >= 0 && ::getrlimit(kAddressSpace, &limit) == 0 &&
      limit.rlim_cur != RLIM_INFINITY) {
    std::uint64_t used = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
      unsigned long pages = 0;
      if (std::fscanf(statm, "%lu", &pages) == 1) {
        used = static_cast<std::uint64_t>(pages) *
               static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
      }
      std::fclose(statm);
    }
    // What the heap holds free is mapped already and taken again before
    // the heap grows: a directory's buffers freed make room for the
    // next one's, as they do without a limit.
    used -= std::min(used, HeapHeldFree());
    const std::uint64_t left =
        limit.rlim_cur > used ? limit.rlim_cur - used : 0;
    if (left < free) free = left;
  }
  return std::min(free, ControlGroupRoom());
}

}  // namespace tabulon
