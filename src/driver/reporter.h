#ifndef TABULON_DRIVER_REPORTER_H_
#define TABULON_DRIVER_REPORTER_H_

#include <string>

#include "common/status.h"
#include "driver/progress.h"
#include "platform/platform.h"

namespace tabulon {

// The report line of the failure `status`, line end included:
// "tabulon: <what> '<path>': <reason>", the what and path given by
// Status::At. Characters of the path that a terminal would act on (C0 and C1
// controls, DEL, also a byte 0x80-0x9F that is not UTF-8), that reorder
// the line or show as nothing (HidesOrReorders) are written as \xNN of
// their bytes, so that a name can neither split a report, forge another,
// pass for another path, nor steer the terminal.
std::string ReportLine(const Status& status);

// Counts and prints failures, one line each on standard error. Used by one
// thread.
class Reporter {
 public:
  explicit Reporter(Platform& platform) : platform_(platform) {}
  // Writes the report line of the failure `status`.
  void Report(const Status& status);
  int count() const { return count_; }
  // A progress line to clear before each report, or nullptr.
  void set_progress(Progress* progress) { progress_ = progress; }

 private:
  Platform& platform_;
  int count_ = 0;
  Progress* progress_ = nullptr;
};

}  // namespace tabulon

#endif  // TABULON_DRIVER_REPORTER_H_
