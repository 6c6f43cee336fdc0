#ifndef TABULON_COMMON_STATUS_H_
#define TABULON_COMMON_STATUS_H_

#include <string>
#include <utility>

namespace tabulon {

// The outcome of one operation at the OS seam. A failure carries the system's
// reason text; "not found" is a kind of its own because a missing file is
// often no failure at all (a directory without FILES.BBS).
class Status {
 public:
  enum class Kind { kOk, kNotFound, kFailed };

  Status() = default;
  static Status Ok() { return Status(); }
  static Status NotFound(std::string reason) {
    return Status(Kind::kNotFound, std::move(reason));
  }
  static Status Failed(std::string reason) {
    return Status(Kind::kFailed, std::move(reason));
  }

  bool ok() const { return kind_ == Kind::kOk; }
  bool IsNotFound() const { return kind_ == Kind::kNotFound; }
  Kind kind() const { return kind_; }
  // The system's wording of what went wrong; empty when ok.
  const std::string& reason() const { return reason_; }

 private:
  Status(Kind kind, std::string reason)
      : kind_(kind), reason_(std::move(reason)) {}

  Kind kind_ = Kind::kOk;
  std::string reason_;
};

}  // namespace tabulon

#endif  // TABULON_COMMON_STATUS_H_
