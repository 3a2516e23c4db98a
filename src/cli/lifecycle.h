// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

#include "cli/options.h"
#include "keyblob/escrow.h"
#include "keyring/keyring_location.h"
#include "volume/keyslots.h"

// The key lifecycle of a LUKS2 volume beyond its first key: a recovery key
// sealed to the vendor (--escrow), and the board key replaced (--rebind,
// --rotate). Each holds the keyring exclusively from before the volume's
// header is read to the end of the run, and returns 0, or -1 after its
// lines, main's own line last.

// Adds a recovery key to the volume on `device`, authorised by `board_key`,
// which opens one of its keyslots: the board token names that keyslot (when
// none does yet), the recovery key is made, sealed to `cert`, added to the
// lowest free keyslot, and its token written. Refused, with nothing changed,
// for a volume that is not LUKS2 or already has a recovery token. 0, or -1
// after the lines of "add_recovery_key".
[[nodiscard]] int add_recovery_key(const char *device, const uint8_t *board_key, const escrow_cert *cert,
                                   luks_kdf kdf);

// --escrow without -f: a recovery key for the existing volume, authorised by
// the stored key of the `safe` partition; then the open.
[[nodiscard]] int action_add_recovery_key(const cli_options_record *options, keyring_location *keyring,
                                          const escrow_cert *cert);

// --rebind: the recovery key text on standard input; --rotate: the stored
// key. A new board key in a new keyslot, stored; the old board keyslot gone;
// then the open.
[[nodiscard]] int action_rebind(const cli_options_record *options, keyring_location *keyring);
[[nodiscard]] int action_rotate(const cli_options_record *options, keyring_location *keyring);

// Locates the keyring and holds it exclusively for the rest of the run: 0,
// or -1 after the line of `scope`.
[[nodiscard]] int hold_keyring_for_change(keyring_location *keyring, const char *scope);

// The last step: the volume opened under `name` with `key`, or left as it is
// when that name already maps it. 0, or -1 after the lines of the open.
[[nodiscard]] int open_unless_mapped(const char *device, const char *name, const uint8_t *key);

// Reads the recovery key text from standard input (from a terminal: asked
// for on standard error, not echoed) into `key`: 0, or -1 after the line of
// "read_recovery_key".
[[nodiscard]] int read_recovery_key(uint8_t *key);
