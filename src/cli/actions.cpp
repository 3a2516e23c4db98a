// SPDX-License-Identifier: MIT
#include "cli/actions.h"

#include <cstdint>

#include "cli/lifecycle.h"
#include "keyblob/key_blob_device.h"
#include "keyblob/key_recovery.h"
#include "keyblob/keygen.h"
#include "keyring/keyring_device.h"
#include "util/report.h"
#include "util/secure_wipe.h"
#include "volume/cryptsetup.h"

static_assert(VOLUME_KEY_LEN == KEY_LEN, "cryptsetup is given the volume key whole");

namespace {

const char ADD_RECOVERY[] = "add recovery key";

// Located once a run, by the first step that needs it.
int locate_keyring(keyring_location *keyring)
{
  return keyring->keydev != nullptr ? 0 : init_keydev_and_offset(keyring);
}

// Held from before the first step that decides what the keyring will hold
// until the run ends: no other run stores in between.
int hold_keyring(keyring_location *keyring, const char *scope)
{
  if (lock_keyring(keyring, KEYRING_EXCLUSIVE) != LOCK_HELD)
    return report_error(scope, "lock keyring device");
  return 0;
}

// What the format refuses once the keyring is located, before any key is
// made or recovered: no keyring found, or the keyring's own storage as the
// device to format, which would destroy the only blob of the very key the
// new volume gets.
int check_format_target(const cli_options_record *options, keyring_location *keyring)
{
  if (init_keydev_and_offset(keyring) != 0)
    return report_error(SCOPE_FORMAT, "recover key");
  if (holds_keyring(keyring, options->partition_device) != 0)
    return report_error(SCOPE_FORMAT, "partition holds the key blob");
  if (!options->new_key)
    return hold_keyring(keyring, SCOPE_FORMAT);
  return 0;
}

// A key stored for a LUKS volume it does not open leaves that volume with no
// key at all. A device without a LUKS header has nothing to lose.
int new_key_opens(const char *volume, const uint8_t *key)
{
  const luks_state luks = cryptsetup_isLuks(volume);
  if (luks == LUKS_ABSENT)
    return 0;
  if (luks != LUKS_PRESENT)
    return report_error(SCOPE_GENERATE_KEY, "cannot check %s", volume);
  switch (cryptsetup_test_key(volume, key)) {
  case KEY_OPENS:
    return 0;
  case KEY_REFUSED:
    return report_error(SCOPE_GENERATE_KEY, "new key does not open %s", volume);
  default:
    return report_error(SCOPE_GENERATE_KEY, "cannot test key on %s", volume);
  }
}

// The steps of a new key; main's line for the one that failed, or null.
const char *make_and_store(const cli_options_record *options, keyring_location *keyring, const escrow_cert *escrow,
                           new_key *key)
{
  static const char GENERATE[] = "generate key";
  const char *volume = has_partition_work(options) ? options->partition_device : nullptr;
  const bool format = volume != nullptr && options->do_format;
  if (make_new_key(key, options->new_key_base64) != 0)
    return GENERATE;
  // For a volume opened but not formatted, the keyring is held before the
  // key is tried on the volume.
  if (volume != nullptr && !format &&
      (locate_keyring(keyring) != 0 || hold_keyring(keyring, SCOPE_GENERATE_KEY) != 0 ||
       new_key_opens(volume, new_key_plain(key)) != 0))
    return GENERATE;
  if (wrap_new_key(key) != 0 || locate_keyring(keyring) != 0 || hold_keyring(keyring, SCOPE_GENERATE_KEY) != 0)
    return GENERATE;
  // -n -f: the partition is formatted with the new key before its blob is
  // stored. A format that fails (a mistyped or busy device, argon2 killed for
  // memory) then leaves the stored key, and the volumes it opens, as they
  // were. A store that fails after the format leaves a fresh, empty volume
  // and no stored key for it: -n -f again starts over.
  if (format && cryptsetup_format(volume, new_key_plain(key), options->kdf) != 0)
    return "format partition";
  if (store_new_key(key, keyring) != 0)
    return GENERATE;
  if (format && escrow != nullptr && add_recovery_key(volume, new_key_plain(key), escrow, options->kdf) != 0)
    return ADD_RECOVERY;
  return nullptr;
}

int open_volume(const cli_options_record *options, keyring_location *keyring)
{
  const char *device = options->partition_device;
  // Only a device known to hold no LUKS header is reported as one that -f
  // may format: a missing device or cryptsetup, or a killed check, is not.
  const luks_state luks = cryptsetup_isLuks(device);
  if (luks == LUKS_ABSENT)
    return report_error(SCOPE_OPEN, "%s not initialized", device);
  if (luks != LUKS_PRESENT)
    return report_error(SCOPE_OPEN, "cannot check %s", device);
  // A run that rewrites the keyring leaves no blob at all for a moment (on
  // NAND, between the erase and the program): an open that read then would
  // fail, so it waits for the writer. Taken before the open starts, so that
  // the keyring lock always comes before the locks cryptsetup takes.
  if (locate_keyring(keyring) != 0)
    return report_error(SCOPE_OPEN, "recover key");
  if (lock_keyring(keyring, KEYRING_SHARED) == LOCK_REFUSED)
    return report_error(SCOPE_OPEN, "lock keyring device");
  uint8_t key[KEY_LEN];
  int result = get_plain_key(keyring, key, sizeof(key), nullptr) != 0 ? report_error(SCOPE_OPEN, "recover key")
                                                                        : cryptsetup_open(device, options->mapped_name, key);
  secure_wipe(key, sizeof(key));
  return result;
}

}  // namespace

int check_partition_work(const cli_options_record *options, keyring_location *keyring)
{
  const bool format = options->do_format;
  const bool format_refused = format && cryptsetup_format_check(options->partition_device, options->kdf) != 0;
  if (!format_refused && cryptsetup_open_check(options->partition_device, options->mapped_name) != 0)
    return report_error(SCOPE_MAIN, "open partition");
  if (format_refused || (format && check_format_target(options, keyring) != 0))
    return report_error(SCOPE_MAIN, "format partition");
  return 0;
}

int action_new_key(const cli_options_record *options, keyring_location *keyring, const escrow_cert *escrow)
{
  new_key key;
  const char *failed = make_and_store(options, keyring, escrow, &key);
  release_new_key(&key);
  return failed == nullptr ? 0 : report_error(SCOPE_MAIN, "%s", failed);
}

int action_format(const cli_options_record *options, keyring_location *keyring, const escrow_cert *escrow)
{
  // A new volume gets the key of the `safe` partition or none: a blob found
  // behind the U-Boot environment may be an older key, which the next boot
  // would then fail to open the volume with.
  const char *device = options->partition_device;
  uint8_t key[KEY_LEN];
  const char *failed = nullptr;
  const bool recovered = get_primary_plain_key(keyring, key, sizeof(key)) == 0;
  if (!recovered)
    report_error(SCOPE_FORMAT, "recover key");
  if (!recovered || cryptsetup_format(device, key, options->kdf) != 0)
    failed = "format partition";
  else if (escrow != nullptr && add_recovery_key(device, key, escrow, options->kdf) != 0)
    failed = ADD_RECOVERY;
  secure_wipe(key, sizeof(key));
  return failed == nullptr ? 0 : report_error(SCOPE_MAIN, "%s", failed);
}

int action_open(const cli_options_record *options, keyring_location *keyring)
{
  return open_volume(options, keyring) == 0 ? 0 : report_error(SCOPE_MAIN, "open partition");
}
