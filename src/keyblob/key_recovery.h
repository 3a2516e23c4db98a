// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>

#include "keyring/keyring_location.h"

// What one attempt at one location gave.
enum blob_outcome {
  BLOB_UNWRAPPED,   // the plain key is in the caller's buffer
  BLOB_REFUSED,     // the key blob device refused the bytes read: no blob of this board there
  BLOB_UNREADABLE,  // the keyring device could not be opened, scanned, positioned or read
  BLOB_NOT_ASKED,   // no location, no memory, no key modifier (fuses) or no key blob device
};

// One attempt: reads the blob at `location` and has the key blob device
// unwrap it into `key`, after the lines of what failed (a refusal has none).
[[nodiscard]] blob_outcome read_and_verify_key(keyring_location *location, uint8_t *key, size_t key_len);

// Recovers the plain volume key into `key` from the located `primary`,
// trying the place behind the U-Boot environment once when the key blob
// device refuses the blob there: only a refusal leads there. 0, with the
// place that answered in `*answered` (may be null), or -1 after the lines.
[[nodiscard]] int get_plain_key(keyring_location *primary, uint8_t *key, size_t key_len, keyring_source *answered);

// The same without the fallback: the key of the `safe` partition or none.
// A refusal there fails with get_plain_key's line. 0 or -1.
[[nodiscard]] int get_primary_plain_key(keyring_location *primary, uint8_t *key, size_t key_len);
