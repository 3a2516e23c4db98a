// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/ioctl.h>
#include <mtd/mtd-user.h>

static_assert(MEMGETINFO == 0x80204D01u, "MEMGETINFO");
static_assert(MEMGETBADBLOCK == 0x40084D0Bu, "MEMGETBADBLOCK");
static_assert(MEMUNLOCK == 0x40084D06u, "MEMUNLOCK");
static_assert(MEMERASE == 0x40084D02u, "MEMERASE");
static_assert(MEMLOCK == 0x40084D05u, "MEMLOCK");

// Writes the key blob into the keyring area (erasing and relocking raw NAND).
// It takes no lock of its own: a run that writes holds lock_keyring().
[[nodiscard]] int keyring_store(const uint8_t *blob, uint32_t blob_len);

// Holds the keyring device of the located keyring (never the fallback) for
// the rest of the run: an exclusive flock on a read-only descriptor of its
// own, kept open until the process exits. 0 when held (also when it already
// was), -1 when the device cannot be opened or locked. Prints nothing.
[[nodiscard]] int lock_keyring();

// For a run that only reads: waits, 30 s at most, until no run that writes
// holds the located keyring, and holds it shared (on one read-only
// descriptor) until the process exits, so that no rewrite starts while the
// key is read. 0 when held, also by an earlier lock of this run; 1 when the
// device cannot be opened (the read reports that itself); -1 when the time
// ran out or the lock was refused. Prints nothing.
[[nodiscard]] int wait_for_keyring();

// Moves keyring_location.offset past bad erase blocks of the MTD device `fd`.
[[nodiscard]] int is_bad_block(int fd);

[[nodiscard]] int get_mtd_erasesize(int fd);
[[nodiscard]] int get_mtd_writesize(int fd);
