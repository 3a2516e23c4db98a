// SPDX-License-Identifier: MIT
// The descriptor table: which open descriptor is a simulated device, and the
// reads, writes and syncs on them, with the faults a test injects.

// First: it undoes the large-file and fortify redirections.
#include "sim_internal.h"

#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace board_sim {

tracked_fd fds[MAX_TRACKED_FD];

tracked_fd *tracked(int fd)
{
  if (fd < 0 || fd >= MAX_TRACKED_FD || fds[fd].kind == fd_kind::none)
    return nullptr;
  return &fds[fd];
}

void forget(int fd)
{
  if (fd >= 0 && fd < MAX_TRACKED_FD)
    fds[fd].kind = fd_kind::none;
}

static void describe_flags(int flags, char *text, size_t size)
{
  int mode = flags & O_ACCMODE;
  snprintf(text, size, "%s", mode == O_RDONLY ? "O_RDONLY" : mode == O_WRONLY ? "O_WRONLY" : "O_RDWR");
  static const struct {
    int bit;
    const char *name;
  } extra[] = {{O_CREAT, "O_CREAT"},   {O_EXCL, "O_EXCL"},         {O_TRUNC, "O_TRUNC"}, {O_APPEND, "O_APPEND"},
               {O_SYNC, "O_SYNC"},     {O_NONBLOCK, "O_NONBLOCK"}, {O_CLOEXEC, "O_CLOEXEC"}};
  for (const auto &e : extra)
    if ((flags & e.bit) == e.bit)
      snprintf(text + strlen(text), size - strlen(text), "|%s", e.name);
}

// Logs an open of a mapped path and classifies the new descriptor.
int opened(const char *root, const char *path, const char *target, int flags, int fd)
{
  if (fd >= 0)
    forget(fd);
  if (root == nullptr)
    return fd;
  errno_keeper keep;
  char flag_text[96];
  describe_flags(flags, flag_text, sizeof(flag_text));
  if (fd < 0) {
    sim_log("open %s %s -> %s", path, flag_text, error_name(keep.saved));
    return fd;
  }
  sim_log("open %s %s", path, flag_text);
  if (fd >= MAX_TRACKED_FD) {
    sim_log("sim: descriptor %d of %s not tracked", fd, path);
    return fd;
  }
  tracked_fd &t = fds[fd];
  t = tracked_fd{};
  snprintf(t.path, sizeof(t.path), "%s", path);
  char geometry_path[PATH_MAX], geometry[2048];
  if (strcmp(path, KEY_BLOB_DEVICE) == 0)
    t.kind = fd_kind::key_blob_device;
  else if (has_prefix(path, "/dev/mtd") && join(geometry_path, sizeof(geometry_path), target, "", ".nand") &&
           read_text(geometry_path, geometry, sizeof(geometry))) {
    t.kind = fd_kind::nand;
    load_geometry(geometry, &t.nand);
  } else if (has_prefix(path, "/dev/mtd") || has_prefix(path, "/dev/mmcblk")) {
    t.kind = fd_kind::flash_image;
  }
  return fd;
}

// `target` is nullptr when the sandbox path did not fit.
FILE *stream_opened(const char *root, const char *path, const char *how, FILE *stream, const char *target)
{
  if (target == nullptr)
    errno = ENAMETOOLONG;
  if (stream != nullptr)
    forget(fileno(stream));
  if (root != nullptr && stream == nullptr)
    sim_log("fopen %s %s -> %s", path, how, error_name(errno));
  else if (root != nullptr)
    sim_log("fopen %s %s", path, how);
  return stream;
}

// The key goes to a child through a "w" pipe: its writes take the pipe faults.
void track_key_pipe(FILE *stream, const char *how)
{
  int fd = fileno(stream);
  forget(fd);
  if (how != nullptr && how[0] == 'w' && fd < MAX_TRACKED_FD) {
    fds[fd] = tracked_fd{};
    fds[fd].kind = fd_kind::key_pipe;
    snprintf(fds[fd].path, sizeof(fds[fd].path), "pipe");
  }
}

int64_t position(int fd) { return NEXT(lseek64)(fd, 0, SEEK_CUR); }

int64_t image_size(int fd)
{
  struct stat64 st;
  return fstat64(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
}

// ---- writes with faults ----

// Holds the process between the erase and the programming of a NAND block,
// for as long as a test needs to act on it there: announces itself with its
// process id in `paused`, and goes on once `resume` exists (at most 30 s).
static void pause_until_resumed(const char *root, const char *path)
{
  char name[PATH_MAX];
  sim_log("fault pause_after_erase %s", path);
  if (join(name, sizeof(name), root, "/paused")) {
    char pid[24];
    int length = snprintf(pid, sizeof(pid), "%d\n", static_cast<int>(getpid()));
    int fd = sys_open(name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      (void)!NEXT(write)(fd, pid, static_cast<size_t>(length));
      sys_close(fd);
    }
  }
  if (!join(name, sizeof(name), root, "/resume"))
    return;
  for (int tries = 0; tries < 3000 && access(name, F_OK) != 0; tries++)
    poll(nullptr, 0, 10);
}

ssize_t faulty_write(tracked_fd *t, int fd, const void *data, size_t count)
{
  const char *root = sandbox();
  if (root == nullptr)
    return NEXT(write)(fd, data, count);
  note_sandbox(root);
  const faults f = load_faults(root);
  if (t->kind == fd_kind::key_pipe) {
    if (f.pipe_eintr && !box.pipe_eintr_done) {
      box.pipe_eintr_done = true;
      sim_log("fault pipe_eintr");
      return fail(EINTR);
    }
    if (f.pipe_wait_reader_gone) {
      // Deterministic broken pipe: wait until the child has closed its end.
      pollfd reader_gone{fd, 0, 0};
      for (int tries = 0; tries < 500 && (reader_gone.revents & POLLERR) == 0; tries++)
        poll(&reader_gone, 1, 10);
      sim_log("fault pipe_wait_reader_gone");
    }
    if (f.pipe_short && count > 5) {
      sim_log("fault pipe_short %zu", count);
      count = 5;
    }
    return NEXT(write)(fd, data, count);
  }
  if (t->kind == fd_kind::nand && t->erased && f.pause_after_erase && !box.pause_done) {
    box.pause_done = true;
    pause_until_resumed(root, t->path);
  }
  if (t->kind == fd_kind::nand && t->erased && f.powercut_after_erase) {
    sim_log("fault powercut_after_erase %s", t->path);
    raise(SIGKILL);
  }
  ssize_t result;
  const int64_t at = position(fd);
  if (f.keyring_eintr && !box.keyring_eintr_done) {
    box.keyring_eintr_done = true;
    sim_log("fault keyring_eintr %s", t->path);
    result = fail(EINTR);
  } else if (f.keyring_write_eio) {
    sim_log("fault keyring_write_eio %s", t->path);
    result = fail(EIO);
  } else if (f.keyring_write_lost) {
    // A device that acknowledges a write it never makes: the content stays.
    sim_log("fault keyring_write_lost %s", t->path);
    result = static_cast<ssize_t>(count);
    NEXT(lseek64)(fd, static_cast<off64_t>(count), SEEK_CUR);
  } else if (t->kind == fd_kind::nand) {
    return nand_write(*t, fd, data, count, f);
  } else {
    if (f.keyring_short && count > 1) {
      count /= 2;
      sim_log("fault keyring_short %s", t->path);
    }
    result = NEXT(write)(fd, data, count);
  }
  sim_log("write %s %lld %zu %s", t->path, static_cast<long long>(at), count, outcome(result));
  return result;
}

ssize_t tracked_read(tracked_fd &t, int fd, void *buffer, size_t count)
{
  if (t.kind == fd_kind::key_blob_device) {
    sim_log("read %s %s", t.path, outcome(fail(EINVAL)));
    return -1;
  }
  const int64_t at = position(fd);
  ssize_t result;
  if (t.kind != fd_kind::key_pipe && load_faults(sandbox()).keyring_read_eio) {
    sim_log("fault keyring_read_eio %s", t.path);
    result = fail(EIO);
  } else {
    result = NEXT(read)(fd, buffer, count);
  }
  if (t.kind != fd_kind::key_pipe)
    sim_log("read %s %lld %zu %s", t.path, static_cast<long long>(at), count, outcome(result));
  return result;
}

void log_seek(int fd, int64_t offset, int64_t result)
{
  tracked_fd *t = tracked(fd);
  if (t == nullptr || t->kind == fd_kind::key_pipe)
    return;
  if (result < 0)
    sim_log("lseek %s %lld %s", t->path, static_cast<long long>(offset), outcome(result));
  else
    sim_log("lseek %s %lld", t->path, static_cast<long long>(result));
}

void log_fadvise(int fd, int64_t offset, int64_t length, int advice, int result)
{
  tracked_fd *t = tracked(fd);
  if (t == nullptr || t->kind == fd_kind::key_pipe)
    return;
  const char *name = advice == POSIX_FADV_DONTNEED ? "DONTNEED" : "other";
  if (result != 0)
    sim_log("fadvise %s %lld %lld %s -> %s", t->path, static_cast<long long>(offset), static_cast<long long>(length),
            name, error_name(result));
  else
    sim_log("fadvise %s %lld %lld %s -> 0", t->path, static_cast<long long>(offset), static_cast<long long>(length),
            name);
}

int tracked_fsync(tracked_fd &t, int fd)
{
  int result;
  if (t.kind != fd_kind::flash_image) {
    result = fail(EINVAL);  // neither the MTD nor the key blob device implements fsync
  } else if (load_faults(sandbox()).fsync_eio) {
    sim_log("fault fsync_eio %s", t.path);
    result = fail(EIO);
  } else {
    result = NEXT(fsync)(fd);
  }
  sim_log("fsync %s %s", t.path, outcome(result));
  return result;
}

// ---- advisory locks and the random pool ----

// The kernel's own lock; a request that has to wait is logged before it
// blocks, so that a test can see another process holding the device.
int tracked_flock(tracked_fd &t, int fd, int operation)
{
  const char *name = (operation & LOCK_EX) != 0 ? "LOCK_EX" : (operation & LOCK_SH) != 0 ? "LOCK_SH" : "LOCK_UN";
  if (load_faults(sandbox()).flock_enolck) {
    sim_log("flock %s %s %s", t.path, name, outcome(fail(ENOLCK)));
    return -1;
  }
  int result = NEXT(flock)(fd, operation | LOCK_NB);
  if (result != 0 && errno == EWOULDBLOCK && (operation & LOCK_NB) == 0) {
    sim_log("flock %s %s waits", t.path, name);
    result = NEXT(flock)(fd, operation);
  }
  sim_log("flock %s %s%s %s", t.path, name, (operation & LOCK_NB) != 0 ? "|LOCK_NB" : "", outcome(result));
  return result;
}

ssize_t pool_getrandom(void *buffer, size_t count, unsigned int flags)
{
  const char *root = sandbox();
  if (root == nullptr)
    return NEXT(getrandom)(buffer, count, flags);
  note_sandbox(root);
  const faults f = load_faults(root);
  ssize_t result;
  if (f.getrandom_enosys) {
    result = fail(ENOSYS);  // a kernel before 3.17
  } else if (f.getrandom_eperm) {
    result = fail(EPERM);  // a seccomp filter that denies the call
  } else if (f.getrandom_eintr && !box.getrandom_eintr_done) {
    box.getrandom_eintr_done = true;
    sim_log("fault getrandom_eintr");
    result = fail(EINTR);
  } else {
    result = NEXT(getrandom)(buffer, count, flags);
  }
  sim_log("getrandom %zu %u %s", count, flags, outcome(result));
  return result;
}

}  // namespace board_sim
