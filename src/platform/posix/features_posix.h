#ifndef TABULON_PLATFORM_POSIX_FEATURES_POSIX_H_
#define TABULON_PLATFORM_POSIX_FEATURES_POSIX_H_

// Which of the system's own ways the POSIX backend of this build takes,
// decided by what the compiler sees. Each has a portable way beside it that
// every POSIX system has; TABULON_PORTABLE_POSIX (a CMake option) forces
// the portable ways, so that a Linux build runs them too.

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

// /proc/self/fd names every open file, and O_PATH opens a name for its
// place alone: a link's target is judged by where the opened file lies, and
// a directory that may be entered but not read is still worked in.
#if defined(__linux__) && defined(O_PATH) && !defined(TABULON_PORTABLE_POSIX)
#define TABULON_POSIX_PROC_FD 1
#endif

// A page can be made without a name and be given one at its commit (through
// /proc/self/fd), so that one dropped uncommitted never shows.
#if defined(TABULON_POSIX_PROC_FD) && defined(O_TMPFILE)
#define TABULON_POSIX_UNNAMED_FILES 1
#endif

// The thread that takes stop signals can have a table of descriptors of
// its own, and reaches the others' files through /proc/self/fd.
#if defined(TABULON_POSIX_PROC_FD) && defined(CLONE_FILES)
#define TABULON_POSIX_OWN_FD_TABLE 1
#endif

// Directory entries are read straight into a buffer of the thread's, with
// no stream around the descriptor (glibc 2.30 and later declare the call).
#if defined(__linux__) && defined(__GLIBC__) && !defined(TABULON_PORTABLE_POSIX)
#if __GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 30)
#define TABULON_POSIX_GETDENTS64 1
#endif
#endif

// A directory can be opened for search only (O_PATH, or POSIX's O_SEARCH
// where the system has it): one that may be entered but not read is worked
// in. Without it such a directory is refused like one that can't be
// entered.
#if defined(TABULON_POSIX_PROC_FD) || defined(O_SEARCH)
#define TABULON_POSIX_SEARCH_ONLY 1
#endif

// The system tells where a file's holes lie (lseek's SEEK_DATA and
// SEEK_HOLE, POSIX only since 2024), so a sparse description file is read
// without its holes; without it, holes are read through as zeros.
#if defined(SEEK_DATA) && defined(SEEK_HOLE) && !defined(TABULON_PORTABLE_POSIX)
#define TABULON_POSIX_HOLES 1
#endif

// The system tells free memory and swap in one call.
#if defined(__linux__) && !defined(TABULON_PORTABLE_POSIX)
#define TABULON_POSIX_SYSINFO 1
#endif

#endif  // TABULON_PLATFORM_POSIX_FEATURES_POSIX_H_
