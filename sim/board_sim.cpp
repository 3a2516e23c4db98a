// Board simulator: the one place where the i.MX board's kernel interfaces are
// faked. Loaded with LD_PRELOAD into the tool, or linked into a test, it
// redirects the board's device and kernel paths into a sandbox directory named
// by BOARD_SIM_ROOT and answers the raw NAND and key blob requests there the
// way the kernel's drivers do. sim/README.md describes the sandbox layout and
// the log format.

// Large buffers of the hooks that run while the program is between key
// operations are static (the program is single-threaded): on the stack they
// would overwrite what the exit scan looks for.
//
// The simulator defines the C library's own entry points, so it must see their
// plain declarations: no large-file or fortify redirections.
#undef _FILE_OFFSET_BITS
#undef _FORTIFY_SOURCE

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <malloc.h>
#include <mtd/mtd-user.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "keyblob/key_blob_device.h"

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

// The next definition of a C library function (the library's own).
#define NEXT(fn)                                                                \
  ([] {                                                                         \
    static decltype(&fn) next_fn;                                               \
    if (next_fn == nullptr)                                                     \
      next_fn = reinterpret_cast<decltype(&fn)>(dlsym(RTLD_NEXT, #fn));         \
    return next_fn;                                                             \
  }())

namespace {

// Under valgrind the heap is valgrind's and an exit scan reads freed memory.
bool under_valgrind = false;

// The argument strings as the process started with them: the memory the
// kernel shows to others as /proc/PID/cmdline. Read here rather than through
// that file, which under qemu-user or valgrind shows the launcher's copy.
const char *arguments_start = nullptr;
size_t arguments_length = 0;

// ---- the simulator's own file access: system calls, never the hooks below ----

int sys_open(const char *path, int flags, mode_t mode = 0)
{
  return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags | O_CLOEXEC, mode));
}
void sys_close(int fd) { syscall(SYS_close, fd); }

struct errno_keeper {
  int saved = errno;
  ~errno_keeper() { errno = saved; }
};

const char *sandbox()
{
  const char *root = getenv("BOARD_SIM_ROOT");
  return root != nullptr && root[0] != '\0' ? root : nullptr;
}

bool join(char *out, size_t size, const char *root, const char *path, const char *suffix = "")
{
  int n = snprintf(out, size, "%s%s%s", root, path, suffix);
  return n > 0 && static_cast<size_t>(n) < size;
}

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

// One "word [value]" setting per line; '#' starts a comment.
struct setting {
  char word[64];
  char value[64];
};

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

// ---- per-sandbox state and faults ----

struct sandbox_state {
  char root[256];
  unsigned long allocations;
  bool keyring_eintr_done;
  bool pipe_eintr_done;
};
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

struct faults {
  unsigned long malloc_fail;
  bool malloc_trace, keyring_eintr, keyring_short, keyring_write_eio, fsync_eio;
  bool pipe_eintr, pipe_short, pipe_wait_reader_gone, powercut_after_erase;
};

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
    f.fsync_eio |= strcmp(s.word, "fsync_eio") == 0;
    f.pipe_eintr |= strcmp(s.word, "pipe_eintr") == 0;
    f.pipe_short |= strcmp(s.word, "pipe_short") == 0;
    f.pipe_wait_reader_gone |= strcmp(s.word, "pipe_wait_reader_gone") == 0;
    f.powercut_after_erase |= strcmp(s.word, "powercut_after_erase") == 0;
  }
  return f;
}

// ---- path mapping ----

bool has_prefix(const char *text, const char *prefix) { return strncmp(text, prefix, strlen(prefix)) == 0; }

bool passthrough(const char *root)
{
  static char path[PATH_MAX];
  errno_keeper keep;
  return join(path, sizeof(path), root, "/passthrough") && access(path, F_OK) == 0;
}

bool is_mapped(const char *root, const char *path)
{
  if (has_prefix(path, "/sys/fsl_otp/") || strcmp(path, KEY_BLOB_DEVICE) == 0)
    return true;
  if (passthrough(root))
    return false;
  static const char *const exact[] = {"/proc/cmdline", "/proc/mtd", "/etc/fw_env.config", "/dev/urandom"};
  for (const char *name : exact)
    if (strcmp(path, name) == 0)
      return true;
  return has_prefix(path, "/dev/mtd") || has_prefix(path, "/dev/mmcblk0");
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

// ---- tracked descriptors ----

enum class fd_kind : uint8_t { none, nand, flash_image, key_blob_device, key_pipe };

constexpr int MAX_LISTED_BLOCKS = 32;

struct nand_geometry {
  uint32_t erasesize = 131072, writesize = 2048;
  bool lock_unsupported = false, getinfo_fail = false;
  int bad_count = 0, erase_fail_count = 0;
  uint32_t bad[MAX_LISTED_BLOCKS], erase_fail[MAX_LISTED_BLOCKS];
};

// A device that reports an erase size of 0 still has physical blocks: its
// bad-block table is kept in 128 KiB blocks.
uint32_t block_size(const nand_geometry &g) { return g.erasesize != 0 ? g.erasesize : 131072; }

struct tracked_fd {
  fd_kind kind;
  bool erased;  // a MEMERASE succeeded on this descriptor
  char path[48];
  nand_geometry nand;
};

constexpr int MAX_TRACKED_FD = 256;
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

bool listed(const uint32_t *blocks, int count, uint64_t block)
{
  for (int i = 0; i < count; i++)
    if (blocks[i] == block)
      return true;
  return false;
}

void load_geometry(const char *text, nand_geometry *g)
{
  const char *cursor = text;
  setting s;
  while (next_setting(&cursor, &s)) {
    if (strcmp(s.word, "erasesize") == 0)
      g->erasesize = static_cast<uint32_t>(setting_number(s));
    else if (strcmp(s.word, "writesize") == 0)
      g->writesize = static_cast<uint32_t>(setting_number(s));
    else if (strcmp(s.word, "bad") == 0 && g->bad_count < MAX_LISTED_BLOCKS)
      g->bad[g->bad_count++] = static_cast<uint32_t>(setting_number(s));
    else if (strcmp(s.word, "erase_fail") == 0 && g->erase_fail_count < MAX_LISTED_BLOCKS)
      g->erase_fail[g->erase_fail_count++] = static_cast<uint32_t>(setting_number(s));
    else if (strcmp(s.word, "lock") == 0)
      g->lock_unsupported = strcmp(s.value, "unsupported") == 0;
    else if (strcmp(s.word, "getinfo_fail") == 0)
      g->getinfo_fail = true;
  }
}

void describe_flags(int flags, char *text, size_t size)
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
  } else if (has_prefix(path, "/dev/mtd") || has_prefix(path, "/dev/mmcblk0")) {
    t.kind = fd_kind::flash_image;
  }
  return fd;
}

bool needs_mode(int flags) { return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE; }

int64_t position(int fd) { return NEXT(lseek64)(fd, 0, SEEK_CUR); }

int64_t image_size(int fd)
{
  struct stat64 st;
  return fstat64(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
}

int fail(int error)
{
  errno = error;
  return -1;
}

// ---- raw NAND, as the kernel's MTD character device answers ----

int nand_ioctl(tracked_fd &t, int fd, unsigned long request, void *argument)
{
  const nand_geometry &g = t.nand;
  const int64_t size = image_size(fd);
  const bool writable = (fcntl(fd, F_GETFL) & O_ACCMODE) != O_RDONLY;

  if (request == MEMGETINFO) {
    if (g.getinfo_fail) {
      // What the kernel answers when the node is not an MTD char device.
      sim_log("ioctl %s MEMGETINFO %s", t.path, outcome(fail(ENOTTY)));
      return -1;
    }
    if (argument == nullptr)
      return fail(EFAULT);
    mtd_info_user info{};
    info.type = MTD_NANDFLASH;
    info.flags = MTD_CAP_NANDFLASH;
    info.size = static_cast<uint32_t>(size);
    info.erasesize = g.erasesize;
    info.writesize = g.writesize;
    info.oobsize = 64;
    memcpy(argument, &info, sizeof(info));
    sim_log("ioctl %s MEMGETINFO", t.path);
    return 0;
  }
  if (request == MEMGETBADBLOCK) {
    if (argument == nullptr)
      return fail(EFAULT);
    int64_t offset;
    memcpy(&offset, argument, sizeof(offset));
    int result = offset < 0 || offset >= size ? fail(EINVAL)
                 : listed(g.bad, g.bad_count, static_cast<uint64_t>(offset) / block_size(g)) ? 1
                                                                                          : 0;
    sim_log("ioctl %s MEMGETBADBLOCK %lld %s", t.path, static_cast<long long>(offset), outcome(result));
    return result;
  }
  const char *name = request == MEMERASE ? "MEMERASE" : request == MEMLOCK ? "MEMLOCK" : request == MEMUNLOCK ? "MEMUNLOCK" : nullptr;
  if (name == nullptr) {
    sim_log("ioctl %s 0x%lx %s", t.path, request, outcome(fail(ENOTTY)));
    return -1;
  }
  if (argument == nullptr)
    return fail(EFAULT);
  erase_info_user range;
  memcpy(&range, argument, sizeof(range));
  const uint64_t start = range.start, length = range.length, end = start + length;
  const bool outside = static_cast<int64_t>(start) >= size || length > static_cast<uint64_t>(size) - start;
  int result = 0;
  if (!writable)
    result = fail(EPERM);  // the "dangerous" requests need a descriptor opened for writing
  else if (request != MEMERASE)
    result = g.lock_unsupported ? fail(EOPNOTSUPP) : outside ? fail(EINVAL) : 0;
  else if (outside)
    result = fail(EINVAL);
  else if (length != 0 && (g.erasesize == 0 || start % g.erasesize != 0 || length % g.erasesize != 0))
    result = fail(EINVAL);
  else {
    // Block by block: blocks before a failing one stay erased, as on the chip.
    static uint8_t erased[4096];
    memset(erased, 0xFF, sizeof(erased));
    for (uint64_t block = start; block < end && result == 0; block += g.erasesize) {
      if (listed(g.bad, g.bad_count, block / g.erasesize) || listed(g.erase_fail, g.erase_fail_count, block / g.erasesize)) {
        result = fail(EIO);
        break;
      }
      for (uint64_t at = block; at < block + g.erasesize && result == 0; at += sizeof(erased)) {
        size_t n = static_cast<size_t>(block + g.erasesize - at < sizeof(erased) ? block + g.erasesize - at : sizeof(erased));
        if (pwrite64(fd, erased, n, static_cast<off64_t>(at)) != static_cast<ssize_t>(n))
          result = fail(EIO);
      }
    }
    if (result == 0 && length != 0)
      t.erased = true;
  }
  sim_log("ioctl %s %s %u %u %s", t.path, name, range.start, range.length, outcome(result));
  return result;
}

// Programming can only clear bits: the page becomes old AND new, so data
// written without an erase shows up as corrupted content.
ssize_t nand_program(int fd, const uint8_t *data, size_t count, int64_t at)
{
  static uint8_t cells[16384];
  size_t done = 0;
  while (done < count) {
    size_t n = count - done < sizeof(cells) ? count - done : sizeof(cells);
    if (pread64(fd, cells, n, at + static_cast<int64_t>(done)) != static_cast<ssize_t>(n))
      break;
    for (size_t i = 0; i < n; i++)
      cells[i] &= data[done + i];
    if (pwrite64(fd, cells, n, at + static_cast<int64_t>(done)) != static_cast<ssize_t>(n))
      break;
    done += n;
  }
  explicit_bzero(cells, sizeof(cells));
  return done == count ? static_cast<ssize_t>(count) : fail(EIO);
}

ssize_t nand_write(tracked_fd &t, int fd, const void *data, size_t count, const faults &f)
{
  const int64_t at = position(fd), size = image_size(fd);
  ssize_t result;
  if ((fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDONLY)
    result = fail(EBADF);
  else if (at >= size)
    result = fail(ENOSPC);
  else {
    if (static_cast<int64_t>(count) > size - at)
      count = static_cast<size_t>(size - at);
    if (at % t.nand.writesize != 0 || count % t.nand.writesize != 0)
      result = fail(EINVAL);  // the NAND layer takes whole pages only
    else if (count == 0)
      result = 0;
    else {
      size_t pages = count / t.nand.writesize;
      if (f.keyring_short && pages > 1) {
        count = pages / 2 * t.nand.writesize;
        sim_log("fault keyring_short %s", t.path);
      }
      result = nand_program(fd, static_cast<const uint8_t *>(data), count, at);
      if (result > 0)
        NEXT(lseek64)(fd, at + result, SEEK_SET);
    }
  }
  sim_log("write %s %lld %zu %s", t.path, static_cast<long long>(at), count, outcome(result));
  return result;
}

// ---- the key blob device ----

// The process's locked memory (VmLck), to show whether key material can swap.
long locked_kib()
{
  static char status[8192];
  if (!read_text("/proc/self/status", status, sizeof(status)))
    return -1;
  const char *line = strstr(status, "VmLck:");
  return line != nullptr ? strtol(line + 6, nullptr, 10) : -1;
}

constexpr size_t NONCE_LEN = 16, TAG_LEN = 32, MAX_RAW_KEY = 512;
static_assert(NONCE_LEN + TAG_LEN == KEY_BLOB_OVERHEAD, "blob layout: nonce, ciphertext, tag");

uint64_t rotl(uint64_t x, int bits) { return x << bits | x >> (64 - bits); }

// SipHash-2-4: a keyed 64-bit function small enough to carry here.
uint64_t siphash(const uint64_t key[2], const uint8_t *in, size_t n)
{
  uint64_t v[4] = {key[0] ^ 0x736f6d6570736575ull, key[1] ^ 0x646f72616e646f6dull, key[0] ^ 0x6c7967656e657261ull,
                   key[1] ^ 0x7465646279746573ull};
  auto rounds = [&v](int count) {
    while (count-- > 0) {
      v[0] += v[1], v[1] = rotl(v[1], 13) ^ v[0], v[0] = rotl(v[0], 32);
      v[2] += v[3], v[3] = rotl(v[3], 16) ^ v[2];
      v[0] += v[3], v[3] = rotl(v[3], 21) ^ v[0];
      v[2] += v[1], v[1] = rotl(v[1], 17) ^ v[2], v[2] = rotl(v[2], 32);
    }
  };
  for (size_t at = 0;; at += 8) {
    uint64_t m = at + 8 > n ? static_cast<uint64_t>(n) << 56 : 0;  // the last word carries the length
    for (size_t i = 0; i < 8 && at + i < n; i++)
      m |= static_cast<uint64_t>(in[at + i]) << (8 * i);
    v[3] ^= m;
    rounds(2);
    v[0] ^= m;
    if (at + 8 > n)
      break;
  }
  v[2] ^= 0xff;
  rounds(4);
  return v[0] ^ v[1] ^ v[2] ^ v[3];
}

// 32 bytes bound to the board secret and the modifier, over domain || nonce ||
// counter || extra: the keystream ('K') and the tag ('T') of a blob.
void keyed_digest(char domain, const char *secret, const uint8_t *modifier, const uint8_t *nonce,
                  uint32_t counter, const uint8_t *extra, size_t extra_len, uint8_t digest[32])
{
  uint8_t message[64 + MAX_RAW_KEY];
  const size_t secret_len = strlen(secret);
  memcpy(message, secret, secret_len);
  memcpy(message + secret_len, modifier, KEY_MODIFIER_LEN);
  const uint64_t derive0[2] = {0x626f617264736563ull, 1}, derive1[2] = {0x626f617264736563ull, 2};
  const uint64_t board_key[2] = {siphash(derive0, message, secret_len + KEY_MODIFIER_LEN),
                                 siphash(derive1, message, secret_len + KEY_MODIFIER_LEN)};
  size_t n = 0;
  message[n++] = static_cast<uint8_t>(domain);
  message[n++] = 0;  // which 8 bytes of the digest
  memcpy(message + n, nonce, NONCE_LEN);
  n += NONCE_LEN;
  for (int shift = 0; shift < 32; shift += 8)
    message[n++] = static_cast<uint8_t>(counter >> shift);
  if (extra_len != 0)
    memcpy(message + n, extra, extra_len);
  n += extra_len;
  for (int part = 0; part < 4; part++) {
    message[1] = static_cast<uint8_t>(part);
    uint64_t out = siphash(board_key, message, n);
    for (int i = 0; i < 8; i++)
      digest[8 * part + i] = static_cast<uint8_t>(out >> (8 * i));
  }
  explicit_bzero(message, sizeof(message));
}

// XORs `n` bytes of `in` with the keystream into `out`.
void apply_keystream(const char *secret, const uint8_t *modifier, const uint8_t *nonce, const uint8_t *in,
                     uint8_t *out, size_t n)
{
  uint8_t stream[32];
  for (size_t at = 0; at < n; at += sizeof(stream)) {
    keyed_digest('K', secret, modifier, nonce, static_cast<uint32_t>(at / sizeof(stream)), nullptr, 0, stream);
    for (size_t i = 0; i < sizeof(stream) && at + i < n; i++)
      out[at + i] = in[at + i] ^ stream[i];
  }
  explicit_bzero(stream, sizeof(stream));
}

// What the device saw last, for the leak checks; static storage, so that it is
// in neither the heap nor the stack that those checks scan.
struct secret_copy {
  uint8_t bytes[MAX_RAW_KEY + KEY_BLOB_OVERHEAD];
  size_t length;
};
struct seen_secrets {
  secret_copy copies[3];  // key, blob, modifier
  uint8_t first_bytes[65536 / 8];  // the first two bytes of every window, as a bitmap
};
seen_secrets seen;
const char *const SECRET_NAMES[3] = {"key", "blob", "modifier"};
constexpr size_t WINDOW = 8;

// A window of one repeated byte (a zero key, erased flash) says nothing.
bool window_counts(const uint8_t *w)
{
  for (size_t i = 1; i < WINDOW; i++)
    if (w[i] != w[0])
      return true;
  return false;
}

void remember(const uint8_t *key, size_t key_len, const uint8_t *blob, size_t blob_len, const uint8_t *modifier)
{
  const uint8_t *sources[3] = {key, blob, modifier};
  const size_t lengths[3] = {key_len, blob_len, KEY_MODIFIER_LEN};
  memset(seen.first_bytes, 0, sizeof(seen.first_bytes));
  for (int s = 0; s < 3; s++) {
    memcpy(seen.copies[s].bytes, sources[s], lengths[s]);
    seen.copies[s].length = lengths[s];
  }
  for (const secret_copy &c : seen.copies)
    for (size_t i = 0; i + WINDOW <= c.length; i++)
      seen.first_bytes[(c.bytes[i] | c.bytes[i + 1] << 8) / 8] |= static_cast<uint8_t>(1u << (c.bytes[i] & 7));
}

// Which secrets (bit 0 key, 1 blob, 2 modifier) have an 8-byte window in memory.
unsigned find_secrets(const uint8_t *memory, size_t size)
{
  unsigned found = 0;
  for (size_t at = 0; at + WINDOW <= size; at++) {
    unsigned index = memory[at] | memory[at + 1] << 8;
    if ((seen.first_bytes[index / 8] & (1u << (index & 7))) == 0)
      continue;
    for (int s = 0; s < 3; s++) {
      const secret_copy &c = seen.copies[s];
      for (size_t i = 0; i + WINDOW <= c.length; i++)
        if (memcmp(memory + at, c.bytes + i, WINDOW) == 0 && window_counts(c.bytes + i))
          found |= 1u << s;
    }
  }
  return found;
}

bool secrets_seen() { return seen.copies[0].length != 0; }

// The compiler keeps copies of what it hashes in registers it spills to the
// stack; this overwrites the stack the request's callees used.
__attribute__((noinline)) void burn_stack()
{
  uint8_t area[16384];
  explicit_bzero(area, sizeof(area));
  __asm__ __volatile__("" : : "r"(area) : "memory");
}

// The device's work on a well-formed request; returns its outcome word and
// sets *error (0 on success).
const char *run_request(bool encrypt, int fd, const key_blob_request &r, int *error)
{
  // The device's configuration is the file behind the descriptor.
  char config[1024];
  ssize_t n = pread64(fd, config, sizeof(config) - 1, 0);
  config[n > 0 ? n : 0] = '\0';
  char secret[64] = "";
  bool refuse = false;
  const char *cursor = config;
  setting s;
  while (next_setting(&cursor, &s)) {
    if (strcmp(s.word, "secret") == 0)
      snprintf(secret, sizeof(secret), "%s", s.value);
    refuse |= strcmp(s.word, "fail_all") == 0 || strcmp(s.word, encrypt ? "fail_encrypt" : "fail_decrypt") == 0;
  }
  *error = EIO;
  uint8_t *nonce = r.key_blob, *body = r.key_blob + NONCE_LEN, *tag = body + r.raw_key_len;
  if (refuse || (encrypt && getrandom(nonce, NONCE_LEN, 0) != static_cast<ssize_t>(NONCE_LEN)))
    return "fail";
  if (encrypt) {
    apply_keystream(secret, r.key_modifier, nonce, r.raw_key, body, r.raw_key_len);
    keyed_digest('T', secret, r.key_modifier, nonce, r.raw_key_len, body, r.raw_key_len, tag);
  } else {
    uint8_t expected[TAG_LEN], difference = 0;
    keyed_digest('T', secret, r.key_modifier, nonce, r.raw_key_len, body, r.raw_key_len, expected);
    for (size_t i = 0; i < TAG_LEN; i++)
      difference |= static_cast<uint8_t>(expected[i] ^ tag[i]);
    if (difference != 0) {
      *error = EBADMSG;  // nothing is written for a blob this board did not make
      return "refused";
    }
    apply_keystream(secret, r.key_modifier, nonce, body, r.raw_key, r.raw_key_len);
  }
  remember(r.raw_key, r.raw_key_len, r.key_blob, r.key_blob_len, r.key_modifier);
  *error = 0;
  return "ok";
}

int key_blob_ioctl(tracked_fd &t, int fd, unsigned long request, void *argument)
{
  sim_log("dumpable %d locked %ld kB", prctl(PR_GET_DUMPABLE, 0, 0, 0, 0), locked_kib());
  const bool encrypt = request == KEY_BLOB_ENCRYPT;
  if (!encrypt && request != KEY_BLOB_DECRYPT) {
    sim_log("ioctl %s 0x%lx %s", t.path, request, outcome(fail(ENOTTY)));
    return -1;
  }
  const char *op = encrypt ? "ENCRYPT" : "DECRYPT";
  if (argument == nullptr) {
    sim_log("caam %s invalid", op);
    return fail(EFAULT);
  }
  key_blob_request r;
  memcpy(&r, argument, sizeof(r));
  int error = EINVAL;
  const char *how = "invalid";
  if (r.raw_key != nullptr && r.key_blob != nullptr && r.key_modifier != nullptr && r.raw_key_len != 0 &&
      r.raw_key_len <= MAX_RAW_KEY && r.key_blob_len == r.raw_key_len + KEY_BLOB_OVERHEAD &&
      r.key_modifier_len == KEY_MODIFIER_LEN) {
    how = run_request(encrypt, fd, r, &error);
    burn_stack();
  }
  sim_log("caam %s %u %u %u %s", op, r.raw_key_len, r.key_blob_len, r.key_modifier_len, how);
  return error == 0 ? 0 : fail(error);
}

// ---- writes with faults ----

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
  ssize_t result = NEXT(read)(fd, buffer, count);
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

// ---- secret hygiene ----

#ifndef BOARD_SIM_NO_ALLOC_HOOKS
bool in_alloc_hook;

bool allocation_fails(size_t size)
{
  const char *root = sandbox();
  if (root == nullptr || in_alloc_hook)
    return false;
  in_alloc_hook = true;
  errno_keeper keep;
  note_sandbox(root);
  unsigned long n = ++box.allocations;
  faults f = load_faults(root);
  if (f.malloc_trace)
    sim_log("malloc %lu %zu", n, size);
  bool failing = f.malloc_fail == n;
  if (failing)
    sim_log("fault malloc %lu", n);
  in_alloc_hook = false;
  if (failing)
    keep.saved = ENOMEM;
  return failing;
}
#endif

// "LEAK free key 48" for a freed block, "LEAK exit stack key" at exit.
void log_leaks(unsigned found, const char *where, size_t size)
{
  for (int s = 0; s < 3; s++) {
    if ((found & (1u << s)) == 0)
      continue;
    if (strcmp(where, "free") == 0)
      sim_log("LEAK free %s %zu", SECRET_NAMES[s], size);
    else
      sim_log("LEAK exit %s %s", where, SECRET_NAMES[s]);
  }
}

__attribute__((constructor)) void board_sim_start(int argc, char **argv, char **)
{
  if (argc > 0 && argv != nullptr && argv[argc - 1] != nullptr) {
    arguments_start = argv[0];
    arguments_length = static_cast<size_t>(argv[argc - 1] + strlen(argv[argc - 1]) + 1 - argv[0]);
  }
  const char *preload = getenv("LD_PRELOAD");
  under_valgrind = preload != nullptr && strstr(preload, "vgpreload") != nullptr;
}

// What is left of them at exit: a wiped key text reads as zero bytes.
void log_exit_cmdline()
{
  if (arguments_start == nullptr)
    return;
  static char hex[2 * 2048 + 1];
  static const char digits[] = "0123456789abcdef";
  size_t n = arguments_length < 2048 ? arguments_length : 2048;
  for (size_t i = 0; i < n; i++) {
    hex[2 * i] = digits[static_cast<uint8_t>(arguments_start[i]) >> 4];
    hex[2 * i + 1] = digits[static_cast<uint8_t>(arguments_start[i]) & 15];
  }
  hex[2 * n] = '\0';
  sim_log("exit cmdline %s", hex);
}

void scan_stack_and_heap();

__attribute__((destructor)) void board_sim_exit_scan()
{
  if (sandbox() == nullptr)
    return;
  if (secrets_seen() && !under_valgrind)
    scan_stack_and_heap();
  log_exit_cmdline();
}

void scan_stack_and_heap()
{
  static char maps[65536];
  if (!read_text("/proc/self/maps", maps, sizeof(maps)))
    return;
  for (char *line = maps; line != nullptr && *line != '\0';) {
    char *end = strchr(line, '\n');
    if (end != nullptr)
      *end = '\0';
    const char *where = strstr(line, "[stack]") != nullptr ? "stack" : strstr(line, "[heap]") != nullptr ? "heap" : nullptr;
    char *dash = strchr(line, '-');
    if (where != nullptr && dash != nullptr && dash[1] != '\0') {
      uintptr_t from = strtoul(line, nullptr, 16), to = strtoul(dash + 1, nullptr, 16);
      char *perms = strchr(dash, ' ');
      if (perms != nullptr && perms[1] == 'r')
        log_leaks(find_secrets(reinterpret_cast<const uint8_t *>(from), to - from), where, 0);
    }
    line = end != nullptr ? end + 1 : nullptr;
  }
}

}  // namespace

// ---- the interposed C library entry points ----

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

namespace {
// `target` is nullptr when the sandbox path did not fit.
FILE *stream_opened(const char *root, const char *path, FILE *stream, const char *target)
{
  if (target == nullptr)
    errno = ENAMETOOLONG;
  if (stream != nullptr)
    forget(fileno(stream));
  if (root != nullptr && stream == nullptr)
    sim_log("fopen %s -> %s", path, error_name(errno));
  else if (root != nullptr)
    sim_log("fopen %s", path);
  return stream;
}
}  // namespace

SIM_EXPORT FILE *fopen(const char *path, const char *how)
{
  MAP_PATH;
  return stream_opened(root, path, target == nullptr ? nullptr : NEXT(fopen)(target, how), target);
}
SIM_EXPORT FILE *fopen64(const char *path, const char *how)
{
  MAP_PATH;
  return stream_opened(root, path, target == nullptr ? nullptr : NEXT(fopen64)(target, how), target);
}

SIM_EXPORT FILE *popen(const char *command, const char *how)
{
  static const char FDISK[] = "/sbin/fdisk -l /dev/mmcblk0";
  const char *root = sandbox();
  char mapped[PATH_MAX + 64];
  const char *run = command;
  if (root != nullptr && command != nullptr && strcmp(command, FDISK) == 0 && !passthrough(root) &&
      strchr(root, '\'') == nullptr) {
    snprintf(mapped, sizeof(mapped), "'%s'%s", root, FDISK);
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
  if (stream != nullptr) {
    int fd = fileno(stream);
    forget(fd);
    if (how != nullptr && how[0] == 'w' && fd < MAX_TRACKED_FD) {
      fds[fd] = tracked_fd{};
      fds[fd].kind = fd_kind::key_pipe;
      snprintf(fds[fd].path, sizeof(fds[fd].path), "pipe");
    }
  }
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
  int result;
  if (t->kind != fd_kind::flash_image) {
    result = fail(EINVAL);  // neither the MTD nor the key blob device implements fsync
  } else if (load_faults(sandbox()).fsync_eio) {
    sim_log("fault fsync_eio %s", t->path);
    result = fail(EIO);
  } else {
    result = NEXT(fsync)(fd);
  }
  sim_log("fsync %s %s", t->path, outcome(result));
  return result;
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
