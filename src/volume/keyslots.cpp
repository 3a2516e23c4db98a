// SPDX-License-Identifier: MIT
#include "volume/keyslots.h"

#include <cstdio>

#include "util/report.h"
#include "volume/command_line.h"
#include "volume/cryptsetup.h"
#include "volume/key_pipe.h"
#include "volume/luks_dump.h"

namespace {

static_assert(PIPED_KEY_LEN == VOLUME_KEY_LEN, "both keys are volume keys");

// The command words; the device and the pipe's path (or the keyslot) follow.
// cryptsetup 2.5 and later say on standard output that --key-slot names the
// new keyslot (the only way 2.4 has): that goes to standard error, with
// cryptsetup's other messages, so that the program's own output stays its own.
constexpr char MINIMAL_KDF_WORDS[] = " --pbkdf pbkdf2 --pbkdf-force-iterations 1000";
constexpr char ADD_WORDS[] = ">&2 cryptsetup luksAddKey%s --key-slot %d -d - --keyfile-size 32 --new-keyfile-size 32";
constexpr char KILL_WORDS[] = "cryptsetup luksKillSlot -d - --keyfile-size 32";
constexpr size_t WORDS_LEN = sizeof(ADD_WORDS) + sizeof(MINIMAL_KDF_WORDS) + 8;
constexpr size_t PIPE_PATH_MAX = sizeof(key_pipe::path) - 1;
static_assert(WORDS_LEN + 1 + DEVICE_MAX + 1 + PIPE_PATH_MAX < COMMAND_LEN && PIPE_PATH_MAX <= MAPPED_NAME_MAX,
              "the keyslot commands have room for the longest device path");

bool is_keyslot(int keyslot) { return keyslot >= 0 && keyslot < LUKS_KEYSLOTS_MAX; }

}  // namespace

int cryptsetup_add_keyslot(const char *device, const uint8_t *key, const uint8_t *new_key, int keyslot, luks_kdf kdf)
{
  if (!is_keyslot(keyslot))
    return -1;
  key_pipe pipe;
  if (open_key_pipe(&pipe, new_key) != 0)
    return report_error(SCOPE_ADD_KEYSLOT, "key pipe");
  char words[WORDS_LEN];
  (void)snprintf(words, sizeof(words), ADD_WORDS, kdf == KDF_MINIMAL ? MINIMAL_KDF_WORDS : "", keyslot);
  char command[COMMAND_LEN];
  int status = -1;
  if (compose_command(command, SCOPE_ADD_KEYSLOT, words, device, pipe.path))
    status = run_with_key_pipe(&pipe, command, key, nullptr, 0);
  close_key_pipe(&pipe);
  return status == 0 ? 0 : -1;
}

int cryptsetup_kill_keyslot(const char *device, const uint8_t *key, int keyslot)
{
  char number[16];
  (void)snprintf(number, sizeof(number), "%d", keyslot);
  char command[COMMAND_LEN];
  if (!is_keyslot(keyslot) || !compose_command(command, SCOPE_KILL_KEYSLOT, KILL_WORDS, device, number))
    return -1;
  key_pipe none;  // the key goes on standard input alone
  return run_with_key_pipe(&none, command, key, nullptr, 0) == 0 ? 0 : -1;
}
