// SPDX-License-Identifier: MIT
// Sandbox paths and settings: where a board's files live, how a sandbox file
// of "word value" settings reads, the log, and the faults a test asks for.

// First: it undoes the large-file and fortify redirections.
#include "sim_internal.h"

#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace board_sim {

int sys_open(const char *path, int flags, mode_t mode)
{
  return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags | O_CLOEXEC, mode));
}
void sys_close(int fd) { syscall(SYS_close, fd); }

const char *sandbox()
{
  const char *root = getenv("BOARD_SIM_ROOT");
  return root != nullptr && root[0] != '\0' ? root : nullptr;
}

bool join(char *out, size_t size, const char *root, const char *path, const char *suffix)
{
  int n = snprintf(out, size, "%s%s%s", root, path, suffix);
  return n > 0 && static_cast<size_t>(n) < size;
}

bool has_prefix(const char *text, const char *prefix) { return strncmp(text, prefix, strlen(prefix)) == 0; }

// Reads a small text file whole; false when it is missing or unreadable.
bool read_text(const char *path, char *text, size_t size)
{
  errno_keeper keep;
  int fd = sys_open(path, O_RDONLY);
  if (fd < 0)
    return false;
  size_t used = 0;
  while (used + 1 < size) {
    long n = syscall(SYS_read, fd, text + used, size - 1 - used);
    if (n <= 0)
      break;
    used += static_cast<size_t>(n);
  }
  text[used] = '\0';
  sys_close(fd);
  return true;
}

bool read_sandbox_text(const char *root, const char *name, char *text, size_t size)
{
  static char path[PATH_MAX];
  return join(path, sizeof(path), root, name) && read_text(path, text, size);
}

bool next_setting(const char **cursor, setting *s)
{
  while (**cursor != '\0') {
    const char *line = *cursor;
    const char *end = strchr(line, '\n');
    *cursor = end != nullptr ? end + 1 : line + strlen(line);
    size_t length = static_cast<size_t>(*cursor - line);
    char copy[160];
    if (length >= sizeof(copy))
      length = sizeof(copy) - 1;
    memcpy(copy, line, length);
    copy[length] = '\0';
    char *hash = strchr(copy, '#');
    if (hash != nullptr)
      *hash = '\0';
    s->word[0] = s->value[0] = '\0';
    if (sscanf(copy, "%63s %63s", s->word, s->value) >= 1)
      return true;
  }
  return false;
}

unsigned long setting_number(const setting &s) { return strtoul(s.value, nullptr, 0); }

// ---- the log ----

__attribute__((format(printf, 1, 2))) void sim_log(const char *format, ...)
{
  const char *root = sandbox();
  static char path[PATH_MAX];
  if (root == nullptr || !join(path, sizeof(path), root, "/sim.log"))
    return;
  errno_keeper keep;
  static char line[8192];  // static: the exit scan must find the stack as the program left it
  va_list args;
  va_start(args, format);
  int n = vsnprintf(line, sizeof(line) - 1, format, args);
  va_end(args);
  if (n < 0)
    return;
  size_t length = static_cast<size_t>(n) < sizeof(line) - 1 ? static_cast<size_t>(n) : sizeof(line) - 2;
  line[length++] = '\n';
  int fd = sys_open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0)
    return;
  syscall(SYS_write, fd, line, length);
  sys_close(fd);
}

const char *error_name(int error)
{
  const char *name = strerrorname_np(error);
  return name != nullptr ? name : "E?";
}

// "-> 0", or "-> -1 EINVAL" for a failed call (errno as the call left it).
const char *outcome(long result)
{
  static char text[48];
  if (result < 0)
    snprintf(text, sizeof(text), "-> %ld %s", result, error_name(errno));
  else
    snprintf(text, sizeof(text), "-> %ld", result);
  return text;
}

int fail(int error)
{
  errno = error;
  return -1;
}

// ---- per-sandbox state and faults ----

sandbox_state box;

// Unit tests give every test a fresh sandbox: one-shot faults and the
// allocation count start again with each new BOARD_SIM_ROOT.
void note_sandbox(const char *root)
{
  if (strncmp(box.root, root, sizeof(box.root) - 1) == 0)
    return;
  memset(&box, 0, sizeof(box));
  snprintf(box.root, sizeof(box.root), "%s", root);
}

faults load_faults(const char *root)
{
  faults f{};
  static char text[1024];
  if (root == nullptr || !read_sandbox_text(root, "/faults", text, sizeof(text)))
    return f;
  const char *cursor = text;
  setting s;
  while (next_setting(&cursor, &s)) {
    if (strcmp(s.word, "malloc_fail") == 0)
      f.malloc_fail = setting_number(s);
    f.malloc_trace |= strcmp(s.word, "malloc_trace") == 0;
    f.keyring_eintr |= strcmp(s.word, "keyring_eintr") == 0;
    f.keyring_short |= strcmp(s.word, "keyring_short") == 0;
    f.keyring_write_eio |= strcmp(s.word, "keyring_write_eio") == 0;
    f.keyring_write_lost |= strcmp(s.word, "keyring_write_lost") == 0;
    f.keyring_read_eio |= strcmp(s.word, "keyring_read_eio") == 0;
    f.fsync_eio |= strcmp(s.word, "fsync_eio") == 0;
    f.pipe_eintr |= strcmp(s.word, "pipe_eintr") == 0;
    f.pipe_short |= strcmp(s.word, "pipe_short") == 0;
    f.pipe_wait_reader_gone |= strcmp(s.word, "pipe_wait_reader_gone") == 0;
    f.powercut_after_erase |= strcmp(s.word, "powercut_after_erase") == 0;
    f.pause_after_erase |= strcmp(s.word, "pause_after_erase") == 0;
    f.getrandom_enosys |= strcmp(s.word, "getrandom_enosys") == 0;
    f.getrandom_eperm |= strcmp(s.word, "getrandom_eperm") == 0;
    f.getrandom_eintr |= strcmp(s.word, "getrandom_eintr") == 0;
    f.flock_enolck |= strcmp(s.word, "flock_enolck") == 0;
  }
  return f;
}

// ---- path mapping ----

bool passthrough(const char *root)
{
  static char path[PATH_MAX];
  errno_keeper keep;
  return join(path, sizeof(path), root, "/passthrough") && access(path, F_OK) == 0;
}

static bool is_mapped(const char *root, const char *path)
{
  if (has_prefix(path, "/sys/fsl_otp/") || strcmp(path, KEY_BLOB_DEVICE) == 0)
    return true;
  if (passthrough(root))
    return false;
  static const char *const exact[] = {"/proc/cmdline", "/proc/mtd", "/etc/fw_env.config", "/dev/urandom"};
  for (const char *name : exact)
    if (strcmp(path, name) == 0)
      return true;
  static const char *const folders[] = {"/sys/class/block", "/sys/dev/block", "/sys/block"};
  for (const char *folder : folders) {
    const size_t length = strlen(folder);
    if (strncmp(path, folder, length) == 0 && (path[length] == '\0' || path[length] == '/'))
      return true;
  }
  return has_prefix(path, "/dev/mtd") || has_prefix(path, "/dev/mmcblk");
}

// The path to open: below the sandbox for a mapped path (root_out set), the
// given one otherwise; nullptr when the sandbox path does not fit.
const char *map_path(const char *path, char *buffer, size_t size, const char **root_out)
{
  *root_out = nullptr;
  const char *root = sandbox();
  if (root == nullptr || path == nullptr || !is_mapped(root, path))
    return path;
  note_sandbox(root);
  *root_out = root;
  return join(buffer, size, root, path) ? buffer : nullptr;
}

bool block_device_number(const char *root, const char *path, unsigned *major_number, unsigned *minor_number)
{
  static char uevent[PATH_MAX];
  static char text[512];
  if (root == nullptr || !has_prefix(path, "/dev/mmcblk") ||
      snprintf(uevent, sizeof(uevent), "%s/sys/class/block/%s/uevent", root, path + strlen("/dev/")) >=
          static_cast<int>(sizeof(uevent)) ||
      !read_text(uevent, text, sizeof(text)))
    return false;
  const char *major_line = strstr(text, "MAJOR=");
  const char *minor_line = strstr(text, "MINOR=");
  return major_line != nullptr && minor_line != nullptr && sscanf(major_line, "MAJOR=%u", major_number) == 1 &&
         sscanf(minor_line, "MINOR=%u", minor_number) == 1;
}

}  // namespace board_sim
