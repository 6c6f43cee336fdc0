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

#if TABULON_KEEP_PER_THREAD
#define TABULON_PER_THREAD thread_local
#else
#define TABULON_PER_THREAD
#endif

#endif  // TABULON_COMMON_PER_THREAD_H_
