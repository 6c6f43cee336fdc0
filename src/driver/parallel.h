#ifndef TABULON_DRIVER_PARALLEL_H_
#define TABULON_DRIVER_PARALLEL_H_

#include <cstddef>
#include <functional>

namespace tabulon {

// Runs the pieces of one job: on the calling thread and on whatever threads
// are idle meanwhile.
class Parallel {
 public:
  virtual ~Parallel() = default;
  // Calls body(i) once for every i in [0, count), in any order and on any
  // thread, and returns when every call has returned. The first exception
  // of any call is thrown here, after the others have finished.
  virtual void ForEach(std::size_t count,
                       const std::function<void(std::size_t)>& body) = 0;
  // Whether a thread is idle now, so that a piece of work given to ForEach
  // would run beside the caller's. Only a hint: it may change at once.
  virtual bool HasIdleThreads() const = 0;
};

// Every piece on the calling thread, in order.
class Sequential final : public Parallel {
 public:
  void ForEach(std::size_t count,
               const std::function<void(std::size_t)>& body) override {
    for (std::size_t i = 0; i < count; ++i) body(i);
  }
  bool HasIdleThreads() const override { return false; }
};

}  // namespace tabulon

#endif  // TABULON_DRIVER_PARALLEL_H_
