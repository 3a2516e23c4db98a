// SPDX-License-Identifier: MIT
// Leak checks: the key, blob and modifier of the key blob device's last
// request are looked for in every freed block and, at exit, in the stack and
// the heap; the argument strings are logged at exit as others see them.
// Allocation faults live here too, in the same malloc hooks.

// First: it undoes the large-file and fortify redirections.
#include "sim_internal.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace board_sim {
namespace {

// Under valgrind the heap is valgrind's and an exit scan reads freed memory.
bool under_valgrind = false;

// The argument strings as the process started with them: the memory the
// kernel shows to others as /proc/PID/cmdline. Read here rather than through
// that file, which under qemu-user or valgrind shows the launcher's copy.
const char *arguments_start = nullptr;
size_t arguments_length = 0;

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

// The checks move the secrets with their own byte loops, never the C
// library's string routines. In a sanitized program those are interceptors,
// and the first call of one binds a hook lazily: the dynamic linker's
// trampoline then saves the whole vector register file on the stack, and with
// AVX-512 the C library's memcmp has just loaded the compared window into one
// of those registers. The exit scan would find its own comparison there.
// Volatile access keeps the compiler from turning the loops back into calls.
bool same_window(const uint8_t *memory, const uint8_t *secret)
{
  const volatile uint8_t *a = memory, *b = secret;
  for (size_t i = 0; i < WINDOW; i++)
    if (a[i] != b[i])
      return false;
  return true;
}

}  // namespace

void copy_secret(uint8_t *to, const uint8_t *from, size_t n)
{
  volatile uint8_t *out = to;
  for (size_t i = 0; i < n; i++)
    out[i] = from[i];
}

void forget_vector_registers()
{
#if defined(__aarch64__)
  // The caller-saved registers only: naming v8-v15 would make the compiler
  // save their lower halves on the stack around this.
  __asm__ __volatile__(
      "movi v0.16b, #0\n movi v1.16b, #0\n movi v2.16b, #0\n movi v3.16b, #0\n"
      "movi v4.16b, #0\n movi v5.16b, #0\n movi v6.16b, #0\n movi v7.16b, #0\n"
      "movi v16.16b, #0\n movi v17.16b, #0\n movi v18.16b, #0\n movi v19.16b, #0\n"
      "movi v20.16b, #0\n movi v21.16b, #0\n movi v22.16b, #0\n movi v23.16b, #0\n"
      "movi v24.16b, #0\n movi v25.16b, #0\n movi v26.16b, #0\n movi v27.16b, #0\n"
      "movi v28.16b, #0\n movi v29.16b, #0\n movi v30.16b, #0\n movi v31.16b, #0\n" ::
          : "v0", "v1", "v2", "v3", "v4", "v5", "v6", "v7", "v16", "v17", "v18", "v19", "v20", "v21", "v22",
            "v23", "v24", "v25", "v26", "v27", "v28", "v29", "v30", "v31");
#endif
}

void remember(const uint8_t *key, size_t key_len, const uint8_t *blob, size_t blob_len, const uint8_t *modifier)
{
  const uint8_t *sources[3] = {key, blob, modifier};
  const size_t lengths[3] = {key_len, blob_len, KEY_MODIFIER_LEN};
  memset(seen.first_bytes, 0, sizeof(seen.first_bytes));
  for (int s = 0; s < 3; s++) {
    copy_secret(seen.copies[s].bytes, sources[s], lengths[s]);
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
        if (same_window(memory + at, c.bytes + i) && window_counts(c.bytes + i))
          found |= 1u << s;
    }
  }
  return found;
}

bool secrets_seen() { return seen.copies[0].length != 0; }

// ---- allocation faults ----

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

namespace {

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

__attribute__((destructor)) void board_sim_exit_scan()
{
  if (sandbox() == nullptr)
    return;
  if (secrets_seen() && !under_valgrind)
    scan_stack_and_heap();
  log_exit_cmdline();
}

}  // namespace
}  // namespace board_sim
