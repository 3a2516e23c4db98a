// SPDX-License-Identifier: MIT
// The interposed C library entry points: the only symbols the simulator
// exports. Each one hands a simulated descriptor or path to the part that
// plays its device, and passes everything else to the C library.

// First: it undoes the large-file and fortify redirections.
#include "sim_internal.h"

#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#define SIM_EXPORT extern "C" __attribute__((visibility("default")))

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *block, size_t size);
void __libc_free(void *block);
int __open_2(const char *path, int flags);
int __open64_2(const char *path, int flags);
ssize_t __read_chk(int fd, void *buffer, size_t count, size_t buffer_size);
[[noreturn]] void __chk_fail(void);
}

using namespace board_sim;

static bool needs_mode(int flags) { return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE; }

#define TAKE_MODE(flags)         \
  mode_t mode = 0;               \
  if (needs_mode(flags)) {       \
    va_list args;                \
    va_start(args, flags);       \
    mode = va_arg(args, mode_t); \
    va_end(args);                \
  }

#define MAP_PATH         \
  char buffer[PATH_MAX]; \
  const char *root;      \
  const char *target = map_path(path, buffer, sizeof(buffer), &root)

#define OPEN_MAPPED(call) opened(root, path, target, flags, target == nullptr ? fail(ENAMETOOLONG) : (call))

SIM_EXPORT int open(const char *path, int flags, ...)
{
  TAKE_MODE(flags);
  MAP_PATH;
  return OPEN_MAPPED(NEXT(open)(target, flags, mode));
}
SIM_EXPORT int open64(const char *path, int flags, ...)
{
  TAKE_MODE(flags);
  MAP_PATH;
  return OPEN_MAPPED(NEXT(open64)(target, flags, mode));
}
SIM_EXPORT int openat(int dir, const char *path, int flags, ...)
{
  TAKE_MODE(flags);
  MAP_PATH;
  return OPEN_MAPPED(NEXT(openat)(dir, target, flags, mode));
}
SIM_EXPORT int openat64(int dir, const char *path, int flags, ...)
{
  TAKE_MODE(flags);
  MAP_PATH;
  return OPEN_MAPPED(NEXT(openat64)(dir, target, flags, mode));
}
SIM_EXPORT int __open_2(const char *path, int flags)
{
  MAP_PATH;
  return OPEN_MAPPED(NEXT(__open_2)(target, flags));
}
SIM_EXPORT int __open64_2(const char *path, int flags)
{
  MAP_PATH;
  return OPEN_MAPPED(NEXT(__open64_2)(target, flags));
}

SIM_EXPORT FILE *fopen(const char *path, const char *how)
{
  MAP_PATH;
  return stream_opened(root, path, how, target == nullptr ? nullptr : NEXT(fopen)(target, how), target);
}
SIM_EXPORT FILE *fopen64(const char *path, const char *how)
{
  MAP_PATH;
  return stream_opened(root, path, how, target == nullptr ? nullptr : NEXT(fopen64)(target, how), target);
}

// Directory listings of a mapped path (the kernel's sysfs block class) come
// from the sandbox, as its files do.
SIM_EXPORT DIR *opendir(const char *path)
{
  MAP_PATH;
  if (target == nullptr) {
    errno = ENAMETOOLONG;
    return nullptr;
  }
  DIR *dir = NEXT(opendir)(target);
  if (root != nullptr) {
    errno_keeper keep;
    if (dir == nullptr)
      sim_log("opendir %s -> %s", path, error_name(keep.saved));
    else
      sim_log("opendir %s", path);
  }
  return dir;
}

// A node's identity (device number, inode) is that of its sandbox file. An
// eMMC node with a sysfs entry is the block device the entry names, as the
// kernel's devtmpfs node is: no size, the device number in st_rdev.
template <typename stat_record>
static int node_stat(const char *root, const char *path, int result, stat_record *st)
{
  unsigned major_number = 0;
  unsigned minor_number = 0;
  if (result == 0 && block_device_number(root, path, &major_number, &minor_number)) {
    st->st_mode = S_IFBLK | (st->st_mode & 07777);
    st->st_rdev = makedev(major_number, minor_number);
    st->st_size = 0;
  }
  return result;
}

SIM_EXPORT int stat(const char *path, struct stat *st) noexcept
{
  MAP_PATH;
  return target == nullptr ? fail(ENAMETOOLONG) : node_stat(root, path, NEXT(stat)(target, st), st);
}
SIM_EXPORT int stat64(const char *path, struct stat64 *st) noexcept
{
  MAP_PATH;
  return target == nullptr ? fail(ENAMETOOLONG) : node_stat(root, path, NEXT(stat64)(target, st), st);
}

SIM_EXPORT int posix_fadvise(int fd, off_t offset, off_t length, int advice) noexcept
{
  int result = NEXT(posix_fadvise)(fd, offset, length, advice);
  log_fadvise(fd, offset, length, advice, result);
  return result;
}
SIM_EXPORT int posix_fadvise64(int fd, off64_t offset, off64_t length, int advice) noexcept
{
  int result = NEXT(posix_fadvise64)(fd, offset, length, advice);
  log_fadvise(fd, offset, length, advice, result);
  return result;
}

// The listing of an eMMC disk, whichever the program was built for.
static bool is_fdisk_listing(const char *command)
{
  static const char FDISK[] = "/sbin/fdisk -l /dev/mmcblk";
  if (command == nullptr || !has_prefix(command, FDISK) || command[sizeof(FDISK) - 1] == '\0')
    return false;
  for (const char *c = command + sizeof(FDISK) - 1; *c != '\0'; c++)
    if (*c < '0' || *c > '9')
      return false;
  return true;
}

SIM_EXPORT FILE *popen(const char *command, const char *how)
{
  const char *root = sandbox();
  char mapped[PATH_MAX + 64];
  const char *run = command;
  if (root != nullptr && is_fdisk_listing(command) && !passthrough(root) && strchr(root, '\'') == nullptr) {
    snprintf(mapped, sizeof(mapped), "'%s'%s", root, command);
    run = mapped;
    sim_log("popen %s", command);
  }
  // The children (the shell, cryptsetup, fdisk) run unsimulated. Only they:
  // a launcher such as valgrind's must still hand the preload on.
  static char preload[PATH_MAX];
  static char qemu_env[PATH_MAX];
  const char *preload_was = getenv("LD_PRELOAD");
  const char *qemu_was = getenv("QEMU_SET_ENV");
  snprintf(preload, sizeof(preload), "%s", preload_was != nullptr ? preload_was : "");
  snprintf(qemu_env, sizeof(qemu_env), "%s", qemu_was != nullptr ? qemu_was : "");
  unsetenv("LD_PRELOAD");
  if (qemu_was != nullptr && strstr(qemu_was, "LD_PRELOAD=") != nullptr)
    unsetenv("QEMU_SET_ENV");
  FILE *stream = NEXT(popen)(run, how);
  errno_keeper keep;
  if (preload_was != nullptr)
    setenv("LD_PRELOAD", preload, 1);
  if (qemu_was != nullptr)
    setenv("QEMU_SET_ENV", qemu_env, 1);
  if (stream != nullptr)
    track_key_pipe(stream, how);
  return stream;
}

SIM_EXPORT int pclose(FILE *stream)
{
  if (stream != nullptr)
    forget(fileno(stream));
  return NEXT(pclose)(stream);
}

SIM_EXPORT int ioctl(int fd, unsigned long request, ...) noexcept
{
  va_list args;
  va_start(args, request);
  void *argument = va_arg(args, void *);
  va_end(args);
  tracked_fd *t = tracked(fd);
  if (t != nullptr && t->kind == fd_kind::nand)
    return nand_ioctl(*t, fd, request, argument);
  if (t != nullptr && t->kind == fd_kind::key_blob_device)
    return key_blob_ioctl(*t, fd, request, argument);
  int result = NEXT(ioctl)(fd, request, argument);
  if (t != nullptr && t->kind == fd_kind::flash_image)
    sim_log("ioctl %s 0x%lx %s", t->path, request, outcome(result));
  return result;
}

SIM_EXPORT off_t lseek(int fd, off_t offset, int whence) noexcept
{
  off_t result = NEXT(lseek)(fd, offset, whence);
  log_seek(fd, offset, result);
  return result;
}
SIM_EXPORT off64_t lseek64(int fd, off64_t offset, int whence) noexcept
{
  off64_t result = NEXT(lseek64)(fd, offset, whence);
  log_seek(fd, offset, result);
  return result;
}

SIM_EXPORT ssize_t read(int fd, void *buffer, size_t count)
{
  tracked_fd *t = tracked(fd);
  return t != nullptr ? tracked_read(*t, fd, buffer, count) : NEXT(read)(fd, buffer, count);
}
SIM_EXPORT ssize_t __read_chk(int fd, void *buffer, size_t count, size_t buffer_size)
{
  if (count > buffer_size)
    __chk_fail();
  return read(fd, buffer, count);
}

SIM_EXPORT ssize_t write(int fd, const void *data, size_t count)
{
  tracked_fd *t = tracked(fd);
  if (t == nullptr)
    return NEXT(write)(fd, data, count);
  if (t->kind == fd_kind::key_blob_device) {
    sim_log("write %s %s", t->path, outcome(fail(EINVAL)));
    return -1;
  }
  return faulty_write(t, fd, data, count);
}

SIM_EXPORT int fsync(int fd)
{
  tracked_fd *t = tracked(fd);
  if (t == nullptr || t->kind == fd_kind::key_pipe)
    return NEXT(fsync)(fd);
  return tracked_fsync(*t, fd);
}

SIM_EXPORT int flock(int fd, int operation)
{
  tracked_fd *t = tracked(fd);
  if (t == nullptr || t->kind == fd_kind::key_pipe)
    return NEXT(flock)(fd, operation);
  return tracked_flock(*t, fd, operation);
}

SIM_EXPORT ssize_t getrandom(void *buffer, size_t count, unsigned int flags)
{
  return pool_getrandom(buffer, count, flags);
}

SIM_EXPORT int close(int fd)
{
  tracked_fd *t = tracked(fd);
  if (t != nullptr && t->kind != fd_kind::key_pipe)
    sim_log("close %s", t->path);
  forget(fd);
  return NEXT(close)(fd);
}

#ifndef BOARD_SIM_NO_ALLOC_HOOKS
SIM_EXPORT void *malloc(size_t size) noexcept
{
  return allocation_fails(size) ? nullptr : __libc_malloc(size);
}
SIM_EXPORT void *calloc(size_t count, size_t size) noexcept
{
  return allocation_fails(count * size) ? nullptr : __libc_calloc(count, size);
}
SIM_EXPORT void *realloc(void *block, size_t size) noexcept
{
  return allocation_fails(size) ? nullptr : __libc_realloc(block, size);
}
SIM_EXPORT void free(void *block) noexcept
{
  if (block != nullptr && secrets_seen() && !in_alloc_hook && sandbox() != nullptr) {
    size_t size = malloc_usable_size(block);
    log_leaks(find_secrets(static_cast<const uint8_t *>(block), size), "free", size);
  }
  __libc_free(block);
}
#endif
