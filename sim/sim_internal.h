// SPDX-License-Identifier: MIT
// The board simulator's own interface between its parts: the sandbox and its
// settings, the descriptor table, the simulated devices and the leak checks.
// Only interpose.cpp exports anything; everything here stays inside the
// library (hidden visibility).
#pragma once

// The simulator defines the C library's own entry points, so it must see their
// plain declarations: no large-file or fortify redirections.
#undef _FILE_OFFSET_BITS
#undef _FORTIFY_SOURCE

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <dlfcn.h>
#include <sys/types.h>

#include "keyblob/key_blob_device.h"

// The next definition of a C library function (the library's own).
#define NEXT(fn)                                                                \
  ([] {                                                                         \
    static decltype(&fn) next_fn;                                               \
    if (next_fn == nullptr)                                                     \
      next_fn = reinterpret_cast<decltype(&fn)>(dlsym(RTLD_NEXT, #fn));         \
    return next_fn;                                                             \
  }())

namespace board_sim {

// ---- sandbox paths and settings (sandbox.cpp) ----

struct errno_keeper {
  int saved = errno;
  ~errno_keeper() { errno = saved; }
};

// The simulator's own file access: system calls, never the interposed hooks.
int sys_open(const char *path, int flags, mode_t mode = 0);
void sys_close(int fd);

// BOARD_SIM_ROOT, or nullptr when no sandbox is set.
const char *sandbox();
bool join(char *out, size_t size, const char *root, const char *path, const char *suffix = "");
bool has_prefix(const char *text, const char *prefix);
bool read_text(const char *path, char *text, size_t size);
bool read_sandbox_text(const char *root, const char *name, char *text, size_t size);

// One "word [value]" setting per line; '#' starts a comment.
struct setting {
  char word[64];
  char value[64];
};
bool next_setting(const char **cursor, setting *s);
unsigned long setting_number(const setting &s);

__attribute__((format(printf, 1, 2))) void sim_log(const char *format, ...);
const char *error_name(int error);
const char *outcome(long result);
int fail(int error);

// Per-sandbox state: one-shot faults and the allocation count start again
// with each new BOARD_SIM_ROOT.
struct sandbox_state {
  char root[256];
  unsigned long allocations;
  bool keyring_eintr_done;
  bool pipe_eintr_done;
  bool getrandom_eintr_done;
  bool pause_done;
};
extern sandbox_state box;
void note_sandbox(const char *root);

struct faults {
  unsigned long malloc_fail;
  bool malloc_trace, keyring_eintr, keyring_short, keyring_write_eio, keyring_write_lost, keyring_read_eio, fsync_eio;
  bool pipe_eintr, pipe_short, pipe_wait_reader_gone, powercut_after_erase, pause_after_erase;
  bool getrandom_enosys, getrandom_eperm, getrandom_eintr, flock_enolck;
};
faults load_faults(const char *root);

bool passthrough(const char *root);
// The path to open: below the sandbox for a mapped path (root_out set), the
// given one otherwise; nullptr when the sandbox path does not fit.
const char *map_path(const char *path, char *buffer, size_t size, const char **root_out);
// The device number of an eMMC node (/dev/mmcblkN, /dev/mmcblkNpM) whose
// sysfs entry in the sandbox (`root`, null: none) has a uevent with MAJOR=
// and MINOR=: the node is then that block device.
bool block_device_number(const char *root, const char *path, unsigned *major_number, unsigned *minor_number);

// ---- the descriptor table (descriptors.cpp) ----

enum class fd_kind : uint8_t { none, nand, flash_image, key_blob_device, key_pipe };

constexpr int MAX_LISTED_BLOCKS = 32;

struct nand_geometry {
  uint32_t erasesize = 131072, writesize = 2048;
  bool lock_unsupported = false, getinfo_fail = false;
  int bad_count = 0, erase_fail_count = 0;
  uint32_t bad[MAX_LISTED_BLOCKS], erase_fail[MAX_LISTED_BLOCKS];
};

struct tracked_fd {
  fd_kind kind;
  bool erased;  // a MEMERASE succeeded on this descriptor
  char path[48];
  nand_geometry nand;
};

constexpr int MAX_TRACKED_FD = 256;
extern tracked_fd fds[MAX_TRACKED_FD];

tracked_fd *tracked(int fd);
void forget(int fd);
// Logs an open of a mapped path and classifies the new descriptor.
int opened(const char *root, const char *path, const char *target, int flags, int fd);
// `target` is nullptr when the sandbox path did not fit.
FILE *stream_opened(const char *root, const char *path, const char *how, FILE *stream, const char *target);
void track_key_pipe(FILE *stream, const char *how);
int64_t position(int fd);
int64_t image_size(int fd);
ssize_t faulty_write(tracked_fd *t, int fd, const void *data, size_t count);
ssize_t tracked_read(tracked_fd &t, int fd, void *buffer, size_t count);
void log_seek(int fd, int64_t offset, int64_t result);
// posix_fadvise returns the error number itself.
void log_fadvise(int fd, int64_t offset, int64_t length, int advice, int result);
int tracked_fsync(tracked_fd &t, int fd);
int tracked_flock(tracked_fd &t, int fd, int operation);
// The kernel's random pool behind getrandom(2), with its faults.
ssize_t pool_getrandom(void *buffer, size_t count, unsigned int flags);

// ---- raw NAND (nand.cpp) ----

void load_geometry(const char *text, nand_geometry *g);
int nand_ioctl(tracked_fd &t, int fd, unsigned long request, void *argument);
ssize_t nand_write(tracked_fd &t, int fd, const void *data, size_t count, const faults &f);

// ---- the key blob device (key_blob_device.cpp) ----

int key_blob_ioctl(tracked_fd &t, int fd, unsigned long request, void *argument);

// ---- leak checks (leak_checks.cpp) ----

// The longest raw key the device takes.
constexpr size_t MAX_RAW_KEY = 512;

// Copies a secret with a byte loop, never through the C library's vector
// routines (see leak_checks.cpp).
void copy_secret(uint8_t *to, const uint8_t *from, size_t n);
// Zeroes the vector registers a call may leave secrets in. On AArch64 every
// variadic function that hands its va_list on (vsnprintf in sim_log, printf)
// saves q0-q7 on the stack, and the exit scan would find the simulator's own
// work there.
void forget_vector_registers();

// Records the last successful request's key, blob and modifier.
void remember(const uint8_t *key, size_t key_len, const uint8_t *blob, size_t blob_len, const uint8_t *modifier);
bool secrets_seen();
// Which secrets (bit 0 key, 1 blob, 2 modifier) have an 8-byte window in memory.
unsigned find_secrets(const uint8_t *memory, size_t size);
// "LEAK free key 48" for a freed block, "LEAK exit stack key" at exit.
void log_leaks(unsigned found, const char *where, size_t size);
#ifndef BOARD_SIM_NO_ALLOC_HOOKS
extern bool in_alloc_hook;
bool allocation_fails(size_t size);
#endif

}  // namespace board_sim
