/* slowfs: a file system whose every request takes a while, to time a
 * walk on something like a network file system where each stat is a round
 * trip to a server.
 *
 * A FUSE pass-through: it serves the tree BACKING at MOUNTPOINT, and every
 * request that reaches it (look-up, stat, open, listing, read, write,
 * rename, remove...) first waits DELAY microseconds, then does the same
 * call on BACKING. Closing a handle does not wait: a network client
 * answers that locally. Requests are served on many threads at once
 * (libfuse's multi-threaded loop, -o max_threads=N), as a server answers
 * many clients, so a program that keeps several requests in flight gains
 * what it would gain on a real network file system. The kernel keeps
 * names and attributes for libfuse's default second; bench/run.sh waits
 * longer than that before every timed run, so that every stat is a round
 * trip again.
 *
 *   slowfs BACKING MOUNTPOINT DELAY [FUSE options, e.g. -o max_threads=64]
 *   fusermount3 -u MOUNTPOINT
 *
 * Needs libfuse 3 (Debian: fuse3, libfuse3-dev), /dev/fuse and root.
 * Build: gcc -O2 -o slowfs slowfs.c $(pkg-config --cflags --libs fuse3)
 */
#define FUSE_USE_VERSION 31
#define _GNU_SOURCE

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

static char backing[PATH_MAX];
static struct timespec delay;

static void Wait(void) {
  if (delay.tv_sec == 0 && delay.tv_nsec == 0) return;
  struct timespec left = delay;
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

/* The backing path of `path` (which FUSE gives from the mount's root). */
static int Backing(char* out, const char* path) {
  int n = snprintf(out, PATH_MAX, "%s%s", backing, path);
  return n < 0 || n >= PATH_MAX ? -ENAMETOOLONG : 0;
}

/* Every request: wait, find the backing path. */
#define ENTER(real, path) \
  char real[PATH_MAX];    \
  Wait();                 \
  if (Backing(real, path) != 0) return -ENAMETOOLONG

static void* Init(struct fuse_conn_info* connection,
                  struct fuse_config* config) {
  (void)connection;
  config->use_ino = 1; /* the backing inode numbers, as a server gives */
  return NULL;
}

static int GetAttr(const char* path, struct stat* st,
                   struct fuse_file_info* file) {
  if (file != NULL) {
    Wait();
    return fstat((int)file->fh, st) == 0 ? 0 : -errno;
  }
  ENTER(real, path);
  return lstat(real, st) == 0 ? 0 : -errno;
}

static int ReadLink(const char* path, char* buffer, size_t size) {
  ENTER(real, path);
  ssize_t n = readlink(real, buffer, size - 1);
  if (n < 0) return -errno;
  buffer[n] = '\0';
  return 0;
}

static int OpenDir(const char* path, struct fuse_file_info* file) {
  ENTER(real, path);
  DIR* dir = opendir(real);
  if (dir == NULL) return -errno;
  file->fh = (unsigned long)dir;
  return 0;
}

/* The whole listing in one answer (offset 0 to the filler): libfuse keeps
 * it and hands it to the kernel block by block. */
static int ReadDir(const char* path, void* buffer, fuse_fill_dir_t fill,
                   off_t offset, struct fuse_file_info* file,
                   enum fuse_readdir_flags flags) {
  (void)path;
  (void)offset;
  (void)flags;
  DIR* dir = (DIR*)file->fh;
  Wait();
  rewinddir(dir);
  errno = 0;
  struct dirent* entry;
  while ((entry = readdir(dir)) != NULL) {
    struct stat st;
    memset(&st, 0, sizeof st);
    st.st_ino = entry->d_ino;
    st.st_mode = (mode_t)DTTOIF(entry->d_type);
    if (fill(buffer, entry->d_name, &st, 0, 0) != 0) break;
  }
  return errno != 0 ? -errno : 0;
}

static int ReleaseDir(const char* path, struct fuse_file_info* file) {
  (void)path;
  closedir((DIR*)file->fh);
  return 0;
}

static int Open(const char* path, struct fuse_file_info* file) {
  ENTER(real, path);
  int fd = open(real, file->flags);
  if (fd < 0) return -errno;
  file->fh = (unsigned long)fd;
  return 0;
}

static int Create(const char* path, mode_t mode, struct fuse_file_info* file) {
  ENTER(real, path);
  int fd = open(real, file->flags, mode);
  if (fd < 0) return -errno;
  file->fh = (unsigned long)fd;
  return 0;
}

static int Read(const char* path, char* buffer, size_t size, off_t offset,
                struct fuse_file_info* file) {
  (void)path;
  Wait();
  ssize_t n = pread((int)file->fh, buffer, size, offset);
  return n < 0 ? -errno : (int)n;
}

static int Write(const char* path, const char* buffer, size_t size,
                 off_t offset, struct fuse_file_info* file) {
  (void)path;
  Wait();
  ssize_t n = pwrite((int)file->fh, buffer, size, offset);
  return n < 0 ? -errno : (int)n;
}

static int Release(const char* path, struct fuse_file_info* file) {
  (void)path;
  close((int)file->fh);
  return 0;
}

static int Fsync(const char* path, int data_only, struct fuse_file_info* file) {
  (void)path;
  Wait();
  int fd = (int)file->fh;
  return (data_only ? fdatasync(fd) : fsync(fd)) == 0 ? 0 : -errno;
}

static int Rename(const char* from, const char* to, unsigned int flags) {
  char real_to[PATH_MAX];
  ENTER(real_from, from);
  if (Backing(real_to, to) != 0) return -ENAMETOOLONG;
  return renameat2(AT_FDCWD, real_from, AT_FDCWD, real_to, flags) == 0 ? 0
                                                                       : -errno;
}

static int Unlink(const char* path) {
  ENTER(real, path);
  return unlink(real) == 0 ? 0 : -errno;
}

static int Truncate(const char* path, off_t size, struct fuse_file_info* file) {
  if (file != NULL) {
    Wait();
    return ftruncate((int)file->fh, size) == 0 ? 0 : -errno;
  }
  ENTER(real, path);
  return truncate(real, size) == 0 ? 0 : -errno;
}

static int Chmod(const char* path, mode_t mode, struct fuse_file_info* file) {
  if (file != NULL) {
    Wait();
    return fchmod((int)file->fh, mode) == 0 ? 0 : -errno;
  }
  ENTER(real, path);
  return chmod(real, mode) == 0 ? 0 : -errno;
}

static int Chown(const char* path, uid_t uid, gid_t gid,
                 struct fuse_file_info* file) {
  if (file != NULL) {
    Wait();
    return fchown((int)file->fh, uid, gid) == 0 ? 0 : -errno;
  }
  ENTER(real, path);
  return lchown(real, uid, gid) == 0 ? 0 : -errno;
}

static int Utimens(const char* path, const struct timespec times[2],
                   struct fuse_file_info* file) {
  if (file != NULL) {
    Wait();
    return futimens((int)file->fh, times) == 0 ? 0 : -errno;
  }
  ENTER(real, path);
  return utimensat(AT_FDCWD, real, times, AT_SYMLINK_NOFOLLOW) == 0 ? 0
                                                                    : -errno;
}

static int StatFs(const char* path, struct statvfs* st) {
  ENTER(real, path);
  return statvfs(real, st) == 0 ? 0 : -errno;
}

static const struct fuse_operations kOperations = {
    .init = Init,
    .getattr = GetAttr,
    .readlink = ReadLink,
    .opendir = OpenDir,
    .readdir = ReadDir,
    .releasedir = ReleaseDir,
    .open = Open,
    .create = Create,
    .read = Read,
    .write = Write,
    .release = Release,
    .fsync = Fsync,
    .rename = Rename,
    .unlink = Unlink,
    .truncate = Truncate,
    .chmod = Chmod,
    .chown = Chown,
    .utimens = Utimens,
    .statfs = StatFs,
};

int main(int argc, char** argv) {
  char* end = NULL;
  long microseconds = argc >= 4 ? strtol(argv[3], &end, 10) : -1;
  if (argc < 4 || end == argv[3] || *end != '\0' || microseconds < 0 ||
      realpath(argv[1], backing) == NULL) {
    fprintf(stderr,
            "usage: slowfs BACKING MOUNTPOINT DELAY_US [FUSE options]\n");
    return 64;
  }
  delay.tv_sec = microseconds / 1000000;
  delay.tv_nsec = (microseconds % 1000000) * 1000;
  /* libfuse reads the program's name, the mount point, then options. */
  char** fuse_argv = calloc((size_t)argc, sizeof *fuse_argv);
  if (fuse_argv == NULL) return 1;
  fuse_argv[0] = argv[0];
  fuse_argv[1] = argv[2];
  for (int i = 4; i < argc; ++i) fuse_argv[i - 2] = argv[i];
  return fuse_main(argc - 2, fuse_argv, &kOperations, NULL);
}
