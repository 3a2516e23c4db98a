// SPDX-License-Identifier: MIT
#include "volume/cryptsetup.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "util/io.h"
#include "util/report.h"

namespace {

// Room for any path the kernel takes (PATH_MAX less its NUL), such as a
// /dev/disk/by-partlabel/ link, and for any device-mapper name (DM_NAME_LEN
// less its NUL); the commands' own words fit in what is left.
constexpr size_t DEVICE_MAX = 4095;
constexpr size_t MAPPED_NAME_MAX = 127;
constexpr size_t COMMAND_LEN = DEVICE_MAX + 1 + MAPPED_NAME_MAX + 256;

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

// Besides letters and digits: the mapped-name punctuation the boot scripts
// share, and '/' for device paths, which a name may hold as well.
constexpr char ARGUMENT_PUNCTUATION[] = "/" LOCKWARDEN_NAME_CHARS;

// The arguments go unquoted into a root shell's command line: only plain
// path and name characters pass, and nothing that could read as an option.
bool is_safe_argument(const char *argument)
{
  if (argument == nullptr || argument[0] == '\0' || argument[0] == '-')
    return false;
  for (const char *c = argument; *c != '\0'; c++) {
    if ((*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9'))
      continue;
    if (strchr(ARGUMENT_PUNCTUATION, *c) == nullptr)
      return false;
  }
  return true;
}

const char *format_words(luks_kdf kdf) { return kdf == KDF_MINIMAL ? FORMAT_MINIMAL_WORDS : FORMAT_DEFAULT_WORDS; }

// The one place a command line is made: the command's words, the device and
// the name, if there is one. Arguments unsafe for the shell, or longer than
// any command has room for, are refused alike for every command (with the
// line of `scope` where there is one); a command line cut short never runs.
bool compose_command(char *command, const char *scope, const char *words, const char *device, const char *name)
{
  if (!is_safe_argument(device) || (name != nullptr && !is_safe_argument(name))) {
    if (scope != nullptr)
      report_error(scope, "unsafe argument");
    return false;
  }
  const int length = snprintf(command, COMMAND_LEN, "%s %s%s%s", words, device, name != nullptr ? " " : "",
                              name != nullptr ? name : "");
  if (strlen(device) <= DEVICE_MAX && (name == nullptr || strlen(name) <= MAPPED_NAME_MAX) && length >= 0 &&
      static_cast<size_t>(length) < COMMAND_LEN)
    return true;
  if (scope != nullptr)
    report_error(scope, "command too long");
  return false;
}

// The one reading of a child's wait status: its exit status (0 to 255), or
// -1 when it was ended by a signal or could not be waited for (the latter
// with the "pclose" line of `scope`, where there is one).
int exit_status_of(int wait_status, const char *scope)
{
  if (wait_status < 0) {
    if (scope != nullptr)
      report_error(scope, "pclose");
    return -1;
  }
  return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
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
  int written = complete_write(fileno(child), key, VOLUME_KEY_LEN);
  sigaction(SIGPIPE, &previous, nullptr);
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
  // cryptsetup exits with 2 when no key slot takes the key.
  switch (exit_status_of(status, nullptr)) {
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
