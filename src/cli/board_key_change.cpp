// SPDX-License-Identifier: MIT
// A new board key for a volume with a recovery keyslot, authorised by the
// recovery key (--rebind, when the key blob device no longer unwraps the
// stored blob) or by the stored key (--rotate). At every step some key opens
// the volume: the recovery key throughout, the stored key at every point but
// while the blob itself is rewritten, and the old board keyslot goes only
// after the new one has been proven with the key read back from the flash.
#include "cli/lifecycle.h"

#include <cstring>

#include "keyblob/key_blob_device.h"
#include "keyblob/key_recovery.h"
#include "keyblob/keygen.h"
#include "keyring/keyring_device.h"
#include "util/report.h"
#include "util/secure_wipe.h"
#include "volume/cryptsetup.h"
#include "volume/dm_mapping.h"
#include "volume/keyslot_test.h"
#include "volume/luks_tokens.h"

namespace {

// The header as it was before the run changed anything, and what the run
// makes of it.
struct key_change {
  const char *device;
  luks_header_dump dump;
  int recovery_slot;   // stays
  int new_slot;        // the lowest that is neither active nor named by a token
  uint32_t old_slots;  // board keyslots, removed once the new one is proven
};

int read_header_for_change(const char *device, key_change *change)
{
  change->device = device;
  if (cryptsetup_luksDump(device, &change->dump) != 0)
    return report_error(SCOPE_REPLACE_BOARD_KEY, "cannot read the LUKS header of %s", device);
  if (change->dump.version != 2)
    return report_error(SCOPE_REPLACE_BOARD_KEY, "%s is not a LUKS2 volume", device);
  change->recovery_slot = recovery_keyslot(&change->dump);
  if (change->recovery_slot < 0)
    return report_error(SCOPE_REPLACE_BOARD_KEY, "%s has no recovery keyslot", device);
  change->old_slots = board_keyslots(&change->dump);
  change->new_slot = free_keyslot(&change->dump);
  if (change->new_slot < 0)
    return report_error(SCOPE_REPLACE_BOARD_KEY, "no free keyslot on %s", device);
  return 0;
}

// The token-proof test of `key` on `keyslot` (-1: any, the one it opens in
// *opened): 0 when it opens, or -1 after a line that names the key as `who`.
int prove_key(const char *device, const uint8_t *key, int keyslot, const char *who, int *opened)
{
  switch (cryptsetup_test_keyslot(device, key, keyslot, opened)) {
  case KEY_OPENS:
    if (keyslot >= 0 || (*opened >= 0 && *opened < LUKS_KEYSLOTS_MAX))
      return 0;
    break;
  case KEY_REFUSED:
    if (keyslot >= 0)
      return report_error(SCOPE_REPLACE_BOARD_KEY, "%s does not open keyslot %d", who, keyslot);
    return report_error(SCOPE_REPLACE_BOARD_KEY, "%s opens no keyslot of %s", who, device);
  default:
    break;
  }
  return report_error(SCOPE_REPLACE_BOARD_KEY, "cannot test key on %s", device);
}

// Steps 2 to 4: the new key in its keyslot, its blob stored and read back,
// and the stored key proven on that keyslot.
int add_and_store(const key_change *change, const uint8_t *authorising, new_key *key, keyring_location *keyring,
                  luks_kdf kdf)
{
  const int slot = change->new_slot;
  if (cryptsetup_add_keyslot(change->device, authorising, new_key_plain(key), slot, kdf) != 0)
    return report_error(SCOPE_REPLACE_BOARD_KEY, "add keyslot %d", slot);
  if (wrap_new_key(key) != 0 || store_new_key(key, keyring) != 0)
    return report_error(SCOPE_REPLACE_BOARD_KEY, "store new key");
  int opened = -1;
  return prove_key(change->device, new_key_plain(key), slot, "stored key", &opened);
}

// Steps 5 and 6: the new board token before the old ones go, then the old
// board keyslots, each removed with the new key.
int retire_old_board_key(const key_change *change, const uint8_t *key)
{
  const char *device = change->device;
  if (cryptsetup_import_board_token(device, change->new_slot) != 0)
    return report_error(SCOPE_REPLACE_BOARD_KEY, "write board token");
  for (int i = 0; i < change->dump.token_count; i++) {
    const luks_token &token = change->dump.tokens[i];
    if (strcmp(token.type, BOARD_TOKEN_TYPE) == 0 && cryptsetup_remove_token(device, token.id) != 0)
      return report_error(SCOPE_REPLACE_BOARD_KEY, "remove token %d", token.id);
  }
  for (int slot = 0; slot < LUKS_KEYSLOTS_MAX; slot++) {
    if ((change->old_slots & (uint32_t{1} << slot)) == 0 || slot == change->recovery_slot || slot == change->new_slot)
      continue;
    if (cryptsetup_kill_keyslot(device, key, slot) != 0)
      return report_error(SCOPE_REPLACE_BOARD_KEY, "remove keyslot %d", slot);
  }
  return 0;
}

int replace_board_key(const key_change *change, const uint8_t *authorising, keyring_location *keyring,
                      const cli_options_record *options)
{
  new_key key;
  int result = make_new_key(&key, nullptr);
  if (result == 0)
    result = add_and_store(change, authorising, &key, keyring, options->kdf);
  if (result == 0)
    result = retire_old_board_key(change, new_key_plain(&key));
  if (result == 0)
    result = open_unless_mapped(change->device, options->mapped_name, new_key_plain(&key));
  release_new_key(&key);
  return result;
}

}  // namespace

int hold_keyring_for_change(keyring_location *keyring, const char *scope)
{
  if (keyring->keydev == nullptr && init_keydev_and_offset(keyring) != 0)
    return report_error(scope, "find keyring device");
  if (lock_keyring(keyring, KEYRING_EXCLUSIVE) != LOCK_HELD)
    return report_error(scope, "lock keyring device");
  return 0;
}

int open_unless_mapped(const char *device, const char *name, const uint8_t *key)
{
  luks_mapping mapping;
  find_luks_mapping(device, name, &mapping);
  return mapping.as_name ? 0 : cryptsetup_open(device, name, key);
}

int action_rebind(const cli_options_record *options, keyring_location *keyring)
{
  const char *device = options->partition_device;
  uint8_t recovery[KEY_LEN];
  key_change change;
  int opened = -1;
  // The key text is read before the keyring is held: an operator may take
  // long to type it, while the boot's opens wait for the lock.
  int result = cryptsetup_open_check(device, options->mapped_name);
  if (result == 0 && (result = read_recovery_key(recovery)) == 0 &&
      (result = hold_keyring_for_change(keyring, SCOPE_REPLACE_BOARD_KEY)) == 0 &&
      (result = read_header_for_change(device, &change)) == 0 &&
      (result = prove_key(device, recovery, change.recovery_slot, "recovery key", &opened)) == 0)
    result = replace_board_key(&change, recovery, keyring, options);
  secure_wipe(recovery, sizeof(recovery));
  return result == 0 ? 0 : report_error(SCOPE_MAIN, "rebind partition");
}

int action_rotate(const cli_options_record *options, keyring_location *keyring)
{
  const char *device = options->partition_device;
  uint8_t stored[KEY_LEN];
  key_change change;
  int board = -1;
  int result = cryptsetup_open_check(device, options->mapped_name);
  if (result == 0 && (result = hold_keyring_for_change(keyring, SCOPE_REPLACE_BOARD_KEY)) == 0 &&
      (result = read_header_for_change(device, &change)) == 0) {
    if (get_primary_plain_key(keyring, stored, sizeof(stored)) != 0)
      result = report_error(SCOPE_REPLACE_BOARD_KEY, "recover key");
    else if ((result = prove_key(device, stored, -1, "stored key", &board)) == 0) {
      // The keyslot the stored key opens is the board's, whatever a run cut
      // short left the tokens saying.
      if (board != change.recovery_slot)
        change.old_slots |= uint32_t{1} << board;
      result = replace_board_key(&change, stored, keyring, options);
    }
  }
  secure_wipe(stored, sizeof(stored));
  return result == 0 ? 0 : report_error(SCOPE_MAIN, "rotate key");
}
