// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>

// Recovers the plain volume key into `key`, trying the fallback location once
// when the key blob device refuses the blob at the current one. 0 or -1.
[[nodiscard]] int get_plain_key(uint8_t *key, size_t key_len);

// The same without the fallback: the key of the blob at the keyring location
// as it stands, which in a run that has not yet recovered a key is the `safe`
// partition. A refusal there fails (with get_plain_key's message). 0 or -1.
[[nodiscard]] int get_primary_plain_key(uint8_t *key, size_t key_len);

// One attempt at the current location: 0 (key recovered), 1 (the device
// refused the blob) or negative (any other failure).
[[nodiscard]] int read_and_verify_key(uint8_t *key, size_t key_len);
