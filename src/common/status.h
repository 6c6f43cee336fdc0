#ifndef TABULON_COMMON_STATUS_H_
#define TABULON_COMMON_STATUS_H_

#include <string>
#include <utility>

namespace tabulon {

// The outcome of one operation. A failure carries its reason (the system's
// text, or the program's for a refused switch) and, once the caller knows
// them, what was attempted on which path: the words a report line is made
// of. "Not found" is a kind of its own because a missing file is often no
// failure at all (a directory without FILES.BBS). "No room" is one too: the
// system had no room for one more open file, thread or block of memory, a
// failure that fewer things at once may not meet.
class Status {
 public:
  enum class Kind { kOk, kNotFound, kNoRoom, kFailed };

  Status() = default;
  static Status Ok() { return Status(); }
  static Status NotFound(std::string reason) {
    return Status(Kind::kNotFound, std::move(reason));
  }
  static Status NoRoom(std::string reason) {
    return Status(Kind::kNoRoom, std::move(reason));
  }
  static Status Failed(std::string reason) {
    return Status(Kind::kFailed, std::move(reason));
  }

  // This status, kind and reason kept, told as what was attempted (worded
  // as a report line opens: "cannot read directory", "bad job count") on
  // which path (a file or directory, or the refused text of a switch).
  Status At(std::string what, std::string path) const& {
    return Status(*this).At(std::move(what), std::move(path));
  }
  Status At(std::string what, std::string path) && {
    what_ = std::move(what);
    path_ = std::move(path);
    return std::move(*this);
  }

  bool ok() const { return kind_ == Kind::kOk; }
  bool IsNotFound() const { return kind_ == Kind::kNotFound; }
  bool IsNoRoom() const { return kind_ == Kind::kNoRoom; }
  Kind kind() const { return kind_; }
  // The wording of what went wrong; empty when ok.
  const std::string& reason() const { return reason_; }
  // Set by At; empty before.
  const std::string& what() const { return what_; }
  const std::string& path() const { return path_; }

 private:
  Status(Kind kind, std::string reason)
      : kind_(kind), reason_(std::move(reason)) {}

  Kind kind_ = Kind::kOk;
  std::string reason_;
  std::string what_;
  std::string path_;
};

}  // namespace tabulon

#endif  // TABULON_COMMON_STATUS_H_
