// SPDX-License-Identifier: MIT
#pragma once

#include "cli/options.h"
#include "keyring/keyring_location.h"

// The program's actions, each holding its whole policy: the checks that come
// first, when the keyring is located and locked (exclusively by a run that
// writes it, shared by one that only reads; the lock lasts until the run
// releases `keyring`), and the steps that follow. `keyring` is the run's
// primary location, empty until the first step that needs it. Each returns 0,
// or -1 after its lines, main's own line last.

// Everything the partition work would refuse, refused before any step:
// arguments the format and open commands cannot take and, once the keyring is
// located, a format of the keyring's own storage. A format of the stored key
// holds the keyring from here on.
[[nodiscard]] int check_partition_work(const cli_options_record *options, keyring_location *keyring);

// -n: makes a new key and stores its blob, read back before it counts. With
// -f the partition is formatted with it before it is stored; for a volume
// opened in the same run the key must open it first.
[[nodiscard]] int action_new_key(const cli_options_record *options, keyring_location *keyring);

// -f without -n: formats the partition with the stored key of the `safe`
// partition, never the copy behind the U-Boot environment.
[[nodiscard]] int action_format(const cli_options_record *options, keyring_location *keyring);

// Opens the LUKS partition under its name with the stored key, after waiting
// (30 s at most) for a run that rewrites the keyring.
[[nodiscard]] int action_open(const cli_options_record *options, keyring_location *keyring);

// --status: the KEY=VALUE report of whether an open of the partition (or,
// without one, a recovery of the key) would succeed, and why not, on
// standard output alone; everything else goes to standard error. It writes
// nothing and holds the keyring shared, as an open does. 0 when the stored
// key opens the partition (without one: the primary blob unwraps), 2 when
// only the copy behind the U-Boot environment would, else -1.
[[nodiscard]] int action_status(const cli_options_record *options, keyring_location *keyring);
