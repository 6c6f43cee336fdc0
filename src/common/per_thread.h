#ifndef TABULON_COMMON_PER_THREAD_H_
#define TABULON_COMMON_PER_THREAD_H_

// Whether an object with a destructor may be kept per thread (thread_local)
// for the thread's next use. Not where the toolchain's thread storage can
// be freed before the destructors of its objects run (MinGW's emulated
// thread storage: the build sets TABULON_KEEP_PER_THREAD to 0 there);
// such an object is then made anew for each use.
#ifndef TABULON_KEEP_PER_THREAD
#define TABULON_KEEP_PER_THREAD 1
#endif

namespace tabulon {

// Readies, on the calling thread, every object kept per thread through
// KeptPerThread. The language registers the destructor of such an object
// with the C library at its first use in each thread, and the GNU C library
// ends the whole process when it has no memory for that: readied as a
// thread starts, while there is memory, no later use needs any.
void ReadyPerThread();

// Adds `ready` to what ReadyPerThread runs. Returns true, for an
// initializer at namespace scope.
bool AddPerThreadReady(void (*ready)());

// The calling thread's own T, kept for its next use (one for each Tag):
//   KeptPerThread<Scratch> kept;
//   kept->text.clear();
// and, once in the file, readied with the others:
//   const bool kReadied = AddPerThreadReady(&KeptPerThread<Scratch>::Ready);
// Where nothing is kept per thread, a new T that `kept` holds itself.
template <typename T, typename Tag = T>
class KeptPerThread {
 public:
  T* operator->() { return &**this; }
#if TABULON_KEEP_PER_THREAD
  T& operator*() { return Object(); }
  static void Ready() { Object(); }

 private:
  static T& Object() {
    thread_local T object;
    return object;
  }
#else
  T& operator*() { return object_; }
  static void Ready() {}

 private:
  T object_;
#endif
};

}  // namespace tabulon

#endif  // TABULON_COMMON_PER_THREAD_H_
