// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/ioctl.h>
#include <mtd/mtd-user.h>

#include "keyring/keyring_location.h"

static_assert(MEMGETINFO == 0x80204D01u, "MEMGETINFO");
static_assert(MEMGETBADBLOCK == 0x40084D0Bu, "MEMGETBADBLOCK");
static_assert(MEMUNLOCK == 0x40084D06u, "MEMUNLOCK");
static_assert(MEMERASE == 0x40084D02u, "MEMERASE");
static_assert(MEMLOCK == 0x40084D05u, "MEMLOCK");

// Writes the key blob into the keyring area at `primary` (erasing and
// relocking raw NAND), past bad blocks, which move its offset. A fallback
// or a location not found is refused. It takes no lock of its own: a run
// that writes holds lock_keyring(KEYRING_EXCLUSIVE). 0, or negative after
// its lines.
[[nodiscard]] int keyring_store(keyring_location *primary, const uint8_t *blob, uint32_t blob_len);

enum keyring_lock_mode {
  KEYRING_EXCLUSIVE,  // a run that writes: waits for as long as another run holds the keyring
  KEYRING_SHARED,     // a run that reads: waits 30 s at most for a run that writes
};
enum keyring_lock_result { LOCK_HELD, LOCK_NO_DEVICE, LOCK_REFUSED };

// Holds the keyring device of `primary` for the rest of the run: a flock on
// a read-only descriptor of its own, kept in `primary->lock_fd` until
// free_keydev. A run takes one lock: when it holds one, that counts, in its
// mode. LOCK_NO_DEVICE: the device cannot be opened (a read reports that
// itself); LOCK_REFUSED: the time ran out, the lock was refused, or the
// location is no primary found. Prints nothing.
[[nodiscard]] keyring_lock_result lock_keyring(keyring_location *primary, keyring_lock_mode mode);

// Moves `location->offset` past bad erase blocks of its MTD device `fd`.
[[nodiscard]] int is_bad_block(keyring_location *location, int fd);

// The MTD device's erase and write (page) sizes, from one MEMGETINFO: 0, or
// the request's result, which both sizes then hold as well.
struct mtd_geometry {
  int erasesize;
  int writesize;
};
[[nodiscard]] int get_mtd_geometry(int fd, mtd_geometry *geometry);
