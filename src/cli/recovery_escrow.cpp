// SPDX-License-Identifier: MIT
// The recovery key sealed to the vendor: added once to a LUKS2 volume, either
// right after -f formatted it or later, authorised by the stored key.
#include "cli/lifecycle.h"

#include <cstdlib>
#include <cstring>

#include "keyblob/key_blob_device.h"
#include "keyblob/key_recovery.h"
#include "keyring/keyring_device.h"
#include "util/io.h"
#include "util/report.h"
#include "util/secure_wipe.h"
#include "volume/cryptsetup.h"
#include "volume/keyslot_test.h"
#include "volume/luks_tokens.h"

namespace {

// The header as it stands, for a volume that may take a recovery key.
int read_header_for_recovery(const char *device, luks_header_dump *dump)
{
  if (cryptsetup_luksDump(device, dump) != 0)
    return report_error(SCOPE_ADD_RECOVERY_KEY, "cannot read the LUKS header of %s", device);
  if (dump->version != 2)
    return report_error(SCOPE_ADD_RECOVERY_KEY, "%s is not a LUKS2 volume", device);
  for (int i = 0; i < dump->token_count; i++)
    if (strcmp(dump->tokens[i].type, RECOVERY_TOKEN_TYPE) == 0)
      return report_error(SCOPE_ADD_RECOVERY_KEY, "%s already has a recovery key", device);
  return 0;
}

// The keyslot the board key opens, named by a board token from here on: the
// token is written before the recovery keyslot, so that a run cut short
// after that leaves a volume whose board keyslot is known.
int name_board_keyslot(const char *device, const uint8_t *board_key, const luks_header_dump *dump)
{
  int board = -1;
  switch (cryptsetup_test_keyslot(device, board_key, -1, &board)) {
  case KEY_OPENS:
    break;
  case KEY_REFUSED:
    return report_error(SCOPE_ADD_RECOVERY_KEY, "stored key opens no keyslot of %s", device);
  default:
    return report_error(SCOPE_ADD_RECOVERY_KEY, "cannot test key on %s", device);
  }
  if (board < 0 || board >= LUKS_KEYSLOTS_MAX)
    return report_error(SCOPE_ADD_RECOVERY_KEY, "cannot test key on %s", device);
  if ((board_keyslots(dump) & (uint32_t{1} << board)) != 0)
    return 0;
  if (cryptsetup_import_board_token(device, board) != 0)
    return report_error(SCOPE_ADD_RECOVERY_KEY, "write board token");
  return 0;
}

// The recovery key is sealed before it goes into a keyslot: a seal that fails
// leaves no keyslot whose key nobody holds.
int add_sealed_keyslot(const char *device, const uint8_t *board_key, const escrow_cert *cert, int keyslot,
                       luks_kdf kdf)
{
  uint8_t recovery[KEY_LEN];
  uint8_t *sealed = nullptr;
  size_t sealed_len = 0;
  int result = -1;
  if (get_random(recovery, sizeof(recovery)) < 0)
    report_error(SCOPE_ADD_RECOVERY_KEY, "get random data");
  else if (escrow_seal_key(cert, recovery, &sealed, &sealed_len) != 0)
    report_error(SCOPE_ADD_RECOVERY_KEY, "seal recovery key");
  else if (cryptsetup_add_keyslot(device, board_key, recovery, keyslot, kdf) != 0)
    report_error(SCOPE_ADD_RECOVERY_KEY, "add keyslot %d", keyslot);
  else if (cryptsetup_import_recovery_token(device, keyslot, sealed, sealed_len, cert->der_sha256_hex) != 0)
    report_error(SCOPE_ADD_RECOVERY_KEY, "write recovery token");
  else
    result = 0;
  secure_wipe(recovery, sizeof(recovery));
  free(sealed);
  return result;
}

}  // namespace

int add_recovery_key(const char *device, const uint8_t *board_key, const escrow_cert *cert, luks_kdf kdf)
{
  luks_header_dump dump;
  if (read_header_for_recovery(device, &dump) != 0 || name_board_keyslot(device, board_key, &dump) != 0)
    return -1;
  const int keyslot = free_keyslot(&dump);
  if (keyslot < 0)
    return report_error(SCOPE_ADD_RECOVERY_KEY, "no free keyslot on %s", device);
  return add_sealed_keyslot(device, board_key, cert, keyslot, kdf);
}

int action_add_recovery_key(const cli_options_record *options, keyring_location *keyring, const escrow_cert *cert)
{
  const char *device = options->partition_device;
  int result = hold_keyring_for_change(keyring, SCOPE_ADD_RECOVERY_KEY);
  if (result == 0) {
    uint8_t key[KEY_LEN];
    if (get_primary_plain_key(keyring, key, sizeof(key)) != 0)
      result = report_error(SCOPE_ADD_RECOVERY_KEY, "recover key");
    else if ((result = add_recovery_key(device, key, cert, options->kdf)) == 0)
      result = open_unless_mapped(device, options->mapped_name, key);
    secure_wipe(key, sizeof(key));
  }
  return result == 0 ? 0 : report_error(SCOPE_MAIN, "add recovery key");
}
