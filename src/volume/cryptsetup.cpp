// SPDX-License-Identifier: MIT
#include "volume/cryptsetup.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "keyblob/key_blob_device.h"
#include "keyblob/key_recovery.h"
#include "keyring/keyring_device.h"
#include "keyring/keyring_location.h"
#include "util/io.h"
#include "util/secure_wipe.h"

namespace {

// Room for any path the kernel takes (PATH_MAX less its NUL), such as a
// /dev/disk/by-partlabel/ link, and for any device-mapper name (DM_NAME_LEN
// less its NUL); the templates' own words fit in what is left.
constexpr size_t DEVICE_MAX = 4095;
constexpr size_t MAPPED_NAME_MAX = 127;
constexpr size_t COMMAND_LEN = DEVICE_MAX + 1 + MAPPED_NAME_MAX + 256;

// The program's keys are 32 random bytes: stretching them adds no strength,
// only seconds and memory at every unlock. A minimal-KDF build formats with
// the least key derivation the standards allow; opening reads whatever the
// header says, so both builds open the volumes of both.
#if LOCKWARDEN_MINIMAL_KDF
#define FORMAT_TEMPLATE "cryptsetup -q -h sha256 --pbkdf pbkdf2 --pbkdf-force-iterations 1000 -d - luksFormat %s"
#else
#define FORMAT_TEMPLATE "cryptsetup -q -h sha256 -d - luksFormat %s"
#endif
static_assert(sizeof(FORMAT_TEMPLATE) - sizeof("%s") + DEVICE_MAX < COMMAND_LEN,
              "the format command has room for the longest device path");

// A LUKS2 token (a keyring, TPM2 or FIDO2 token enrolled by another tool)
// unlocks the volume whatever key stands on the input: only keyslots the key
// itself opens may count, so the test asks for a token type nobody has.
#define TEST_KEY_TEMPLATE "cryptsetup --test-passphrase --token-type lockwarden-no-token -d - open --type luks %s"
static_assert(sizeof(TEST_KEY_TEMPLATE) - sizeof("%s") + DEVICE_MAX < COMMAND_LEN,
              "the key test has room for the longest device path");

// The arguments go unquoted into a root shell's command line: only plain
// path and name characters pass, and nothing that could read as an option.
bool is_safe_argument(const char *argument)
{
  if (argument == nullptr || argument[0] == '\0' || argument[0] == '-')
    return false;
  for (const char *c = argument; *c != '\0'; c++) {
    if ((*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9'))
      continue;
    if (strchr("/._-+:@,=", *c) == nullptr)
      return false;
  }
  return true;
}

bool arguments_are_safe(const char *operation, const char *device, const char *name)
{
  if (is_safe_argument(device) && (name == nullptr || is_safe_argument(name)))
    return true;
  printf("[ERROR] %s: unsafe argument\n", operation);
  return false;
}

// Arguments longer than any command has room for are refused alike for
// every command; a command line that was cut short is never run.
bool command_fits(const char *operation, size_t device_len, size_t name_len, int length)
{
  if (device_len <= DEVICE_MAX && name_len <= MAPPED_NAME_MAX && length >= 0 &&
      static_cast<size_t>(length) < COMMAND_LEN)
    return true;
  printf("[ERROR] %s: command too long\n", operation);
  return false;
}

int map_wait_status(int status, const char *operation)
{
  if (status < 0) {
    printf("[ERROR] %s: pclose\n", operation);
    return status;
  }
  if (WIFEXITED(status))
    return WEXITSTATUS(status) == 0 ? 0 : -1;
  return -1;
}

// Starts the command, writes the key to its standard input and waits for
// it, leaving the wait status (or the wait's negative result) in *status.
// 0: the key was written whole; -1: the command did not start; -2: the write
// failed (the child has been waited for).
int feed_key(const char *command, const uint8_t *key, int *status)
{
  FILE *child = popen(command, "w");
  if (child == nullptr)
    return -1;
  // A child that quits before reading must not kill us with SIGPIPE. Ignored
  // only after the child started, so that it keeps the default disposition.
  struct sigaction ignore;
  struct sigaction previous;
  memset(&ignore, 0, sizeof(ignore));
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, &previous);
  int written = complete_write(fileno(child), key, KEY_LEN);
  sigaction(SIGPIPE, &previous, nullptr);
  *status = pclose(child);
  return written == 0 ? 0 : -2;
}

int run_with_key(const char *command, const char *operation, const uint8_t *key)
{
  int status = 0;
  const int fed = feed_key(command, key, &status);
  if (fed != 0) {
    printf("[ERROR] %s: %s\n", operation, fed == -1 ? "popen" : "write key");
    return -1;
  }
  return map_wait_status(status, operation);
}

// Recovers the key, runs the command with it, and wipes it on every path.
int run_keyed_command(const char *command, const char *operation, bool primary_only)
{
  uint8_t key[KEY_LEN];
  int result;
  if ((primary_only ? get_primary_plain_key(key, sizeof(key)) : get_plain_key(key, sizeof(key))) != 0) {
    printf("[ERROR] %s: recover key\n", operation);
    result = -1;
  } else {
    result = run_with_key(command, operation, key);
  }
  secure_wipe(key, sizeof(key));
  return result;
}

// isLuks says 1 also for a LUKS2 header whose metadata it cannot read: only
// a device without the LUKS magic is known to hold none. An unreadable start
// tells nothing.
int holds_luks_magic(const char *device)
{
  static const uint8_t MAGIC[] = {'L', 'U', 'K', 'S', 0xba, 0xbe};
  uint8_t start[sizeof(MAGIC)];
  int fd = open(device, O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return -1;
  size_t got = 0;
  while (got < sizeof(start)) {
    ssize_t done = read(fd, start + got, sizeof(start) - got);
    if (done < 0 && errno == EINTR)
      continue;
    if (done < 0) {
      close(fd);
      return -1;
    }
    if (done == 0)
      break;
    got += static_cast<size_t>(done);
  }
  close(fd);
  return got == sizeof(MAGIC) && memcmp(start, MAGIC, sizeof(MAGIC)) == 0 ? 1 : 0;
}

}  // namespace

int cryptsetup_isLuks(const char *device)
{
  char command[COMMAND_LEN];
  if (!arguments_are_safe(__func__, device, nullptr) ||
      !command_fits(__func__, strlen(device), 0, snprintf(command, sizeof(command), "cryptsetup isLuks %s", device)))
    return -1;
  FILE *child = popen(command, "r");
  if (child == nullptr) {
    printf("[ERROR] %s: popen\n", __func__);
    return -1;
  }
  int status = pclose(child);
  if (status < 0) {
    printf("[ERROR] %s: pclose\n", __func__);
    return -1;
  }
  if (!WIFEXITED(status))
    return -1;
  if (WEXITSTATUS(status) == 0)
    return 0;
  if (WEXITSTATUS(status) != 1)
    return -1;
  return holds_luks_magic(device) == 0 ? 1 : -1;
}

namespace {

bool compose_format_command(char *command, const char *device)
{
  return arguments_are_safe("cryptsetup_format", device, nullptr) &&
         command_fits("cryptsetup_format", strlen(device), 0,
                      snprintf(command, COMMAND_LEN, FORMAT_TEMPLATE, device));
}

bool compose_open_command(char *command, const char *device, const char *name)
{
  return arguments_are_safe("cryptsetup_open", device, name) &&
         command_fits("cryptsetup_open", strlen(device), strlen(name),
                      snprintf(command, COMMAND_LEN, "cryptsetup -d - open --type luks %s %s", device, name));
}

}  // namespace

int cryptsetup_format_check(const char *device)
{
  char command[COMMAND_LEN];
  return compose_format_command(command, device) ? 0 : -1;
}

int cryptsetup_open_check(const char *device, const char *name)
{
  char command[COMMAND_LEN];
  return compose_open_command(command, device, name) ? 0 : -1;
}

int cryptsetup_format_prepare(const char *device, bool lock)
{
  if (keyring_location.keydev == nullptr && init_keydev_and_offset() != 0) {
    printf("[ERROR] %s: recover key\n", "cryptsetup_format");
    return -1;
  }
  // Formatting the keyring would destroy the only blob of the very key the
  // new volume gets.
  if (holds_keyring(device) != 0) {
    printf("[ERROR] %s: partition holds the key blob\n", "cryptsetup_format");
    return -1;
  }
  if (lock && lock_keyring() != 0) {
    printf("[ERROR] %s: lock keyring device\n", "cryptsetup_format");
    return -1;
  }
  return 0;
}

int cryptsetup_format(const char *device)
{
  char command[COMMAND_LEN];
  if (!compose_format_command(command, device))
    return -1;
  // A new volume gets the key of the `safe` partition or none: a blob found
  // behind the U-Boot environment may be an older key, which the next boot
  // would then fail to open the volume with.
  return run_keyed_command(command, __func__, true);
}

int cryptsetup_format_with_key(const char *device, const uint8_t *key)
{
  char command[COMMAND_LEN];
  if (!compose_format_command(command, device))
    return -1;
  // Named as the format of the stored key is: the same step to the user.
  return run_with_key(command, "cryptsetup_format", key);
}

int cryptsetup_test_key(const char *device, const uint8_t *key)
{
  char command[COMMAND_LEN];
  if (!is_safe_argument(device) || strlen(device) > DEVICE_MAX ||
      snprintf(command, sizeof(command), TEST_KEY_TEMPLATE, device) >= static_cast<int>(sizeof(command)))
    return -1;
  int status = 0;
  if (feed_key(command, key, &status) != 0 || status < 0 || !WIFEXITED(status))
    return -1;
  // cryptsetup exits with 2 when no key slot takes the key.
  if (WEXITSTATUS(status) == 0)
    return 0;
  return WEXITSTATUS(status) == 2 ? 1 : -1;
}

int cryptsetup_open(const char *device, const char *name)
{
  char command[COMMAND_LEN];
  if (!compose_open_command(command, device, name))
    return -1;
  // Only a device known to hold no LUKS header is reported as one that -f
  // may format: a missing device or cryptsetup, or a killed check, is not.
  int luks = cryptsetup_isLuks(device);
  if (luks == 1)
    printf("[ERROR] %s: %s not initialized\n", __func__, device);
  else if (luks != 0)
    printf("[ERROR] %s: cannot check %s\n", __func__, device);
  if (luks != 0)
    return -1;
  // A run that rewrites the keyring leaves no blob at all for a moment (on
  // NAND, between the erase and the program): an open that read then would
  // fail, so it waits for the writer, for a while only, since a stopped
  // writer must not hang every boot. Taken before the open starts, so that
  // the keyring lock always comes before the locks cryptsetup takes.
  if (keyring_location.keydev == nullptr && init_keydev_and_offset() != 0) {
    printf("[ERROR] %s: recover key\n", __func__);
    return -1;
  }
  if (wait_for_keyring() < 0) {
    printf("[ERROR] %s: lock keyring device\n", __func__);
    return -1;
  }
  return run_keyed_command(command, __func__, false);
}
