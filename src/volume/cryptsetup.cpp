// SPDX-License-Identifier: MIT
#include "volume/cryptsetup.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "util/io.h"
#include "util/report.h"
#include "volume/command_line.h"

namespace {

// The format command of each key derivation.
constexpr char FORMAT_DEFAULT_WORDS[] = "cryptsetup -q -h sha256 -d - luksFormat";
constexpr char FORMAT_MINIMAL_WORDS[] =
    "cryptsetup -q -h sha256 --pbkdf pbkdf2 --pbkdf-force-iterations 1000 -d - luksFormat";
constexpr char ISLUKS_WORDS[] = "cryptsetup isLuks";
constexpr char OPEN_WORDS[] = "cryptsetup -d - open --type luks";
// A LUKS2 token (a keyring, TPM2 or FIDO2 token enrolled by another tool)
// unlocks the volume whatever key stands on the input: only keyslots the key
// itself opens may count, so the test asks for a token type nobody has.
constexpr char TEST_KEY_WORDS[] = "cryptsetup --test-passphrase --token-type lockwarden-no-token -d - open --type luks";
static_assert(sizeof(FORMAT_MINIMAL_WORDS) > sizeof(FORMAT_DEFAULT_WORDS) &&
                  sizeof(FORMAT_MINIMAL_WORDS) + DEVICE_MAX < COMMAND_LEN &&
                  sizeof(TEST_KEY_WORDS) + DEVICE_MAX < COMMAND_LEN &&
                  sizeof(OPEN_WORDS) + DEVICE_MAX + 1 + MAPPED_NAME_MAX < COMMAND_LEN,
              "every command has room for the longest device path and mapped name");

const char *format_words(luks_kdf kdf) { return kdf == KDF_MINIMAL ? FORMAT_MINIMAL_WORDS : FORMAT_DEFAULT_WORDS; }

// Starts the command, writes the key to its standard input and waits for
// it, leaving the wait status (or the wait's negative result) in *status.
// 0: the key was written whole; -1: the command did not start; -2: the write
// failed (the child has been waited for).
int feed_key(const char *command, const uint8_t *key, int *status)
{
  FILE *child = popen(command, "w");
  if (child == nullptr)
    return -1;
  const int written = write_key_to_child(child, key, VOLUME_KEY_LEN);
  *status = pclose(child);
  return written == 0 ? 0 : -2;
}

int run_with_key(const char *command, const char *scope, const uint8_t *key)
{
  int status = 0;
  const int fed = feed_key(command, key, &status);
  if (fed != 0)
    return report_error(scope, "%s", fed == -1 ? "popen" : "write key");
  return exit_status_of(status, scope) == 0 ? 0 : -1;
}

// isLuks says 1 also for a LUKS2 header whose metadata it cannot read: only
// a device without the LUKS magic is known to hold none. An unreadable start
// tells nothing.
luks_state luks_magic(const char *device)
{
  static const uint8_t MAGIC[] = {'L', 'U', 'K', 'S', 0xba, 0xbe};
  uint8_t start[sizeof(MAGIC)];
  int fd = open(device, O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return LUKS_UNKNOWN;
  const ssize_t got = read_until_full(fd, start, sizeof(start), nullptr);
  close(fd);
  if (got == static_cast<ssize_t>(sizeof(MAGIC)) && memcmp(start, MAGIC, sizeof(MAGIC)) == 0)
    return LUKS_PRESENT;
  return got < 0 ? LUKS_UNKNOWN : LUKS_ABSENT;
}

}  // namespace

luks_state cryptsetup_isLuks(const char *device)
{
  char command[COMMAND_LEN];
  if (!compose_command(command, SCOPE_ISLUKS, ISLUKS_WORDS, device, nullptr))
    return LUKS_UNKNOWN;
  FILE *child = popen(command, "r");
  if (child == nullptr) {
    report_error(SCOPE_ISLUKS, "popen");
    return LUKS_UNKNOWN;
  }
  const int status = exit_status_of(pclose(child), SCOPE_ISLUKS);
  if (status == 0)
    return LUKS_PRESENT;
  return status == 1 && luks_magic(device) == LUKS_ABSENT ? LUKS_ABSENT : LUKS_UNKNOWN;
}

key_test cryptsetup_test_key(const char *device, const uint8_t *key)
{
  char command[COMMAND_LEN];
  int status = 0;
  if (!compose_command(command, nullptr, TEST_KEY_WORDS, device, nullptr) || feed_key(command, key, &status) != 0)
    return KEY_UNTESTED;
  return key_test_of_exit(exit_status_of(status, nullptr));
}

key_test key_test_of_exit(int exit_status)
{
  // cryptsetup exits with 2 when no key slot takes the key.
  switch (exit_status) {
  case 0:
    return KEY_OPENS;
  case 2:
    return KEY_REFUSED;
  default:
    return KEY_UNTESTED;
  }
}

int cryptsetup_format(const char *device, const uint8_t *key, luks_kdf kdf)
{
  char command[COMMAND_LEN];
  if (!compose_command(command, SCOPE_FORMAT, format_words(kdf), device, nullptr))
    return -1;
  return run_with_key(command, SCOPE_FORMAT, key);
}

int cryptsetup_open(const char *device, const char *name, const uint8_t *key)
{
  char command[COMMAND_LEN];
  if (!compose_command(command, SCOPE_OPEN, OPEN_WORDS, device, name))
    return -1;
  return run_with_key(command, SCOPE_OPEN, key);
}

int cryptsetup_format_check(const char *device, luks_kdf kdf)
{
  char command[COMMAND_LEN];
  return compose_command(command, SCOPE_FORMAT, format_words(kdf), device, nullptr) ? 0 : -1;
}

int cryptsetup_open_check(const char *device, const char *name)
{
  char command[COMMAND_LEN];
  return compose_command(command, SCOPE_OPEN, OPEN_WORDS, device, name) ? 0 : -1;
}
