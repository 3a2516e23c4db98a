// SPDX-License-Identifier: MIT
#pragma once

#include "keyblob/key_blob_device.h"
#include "keyring/keyring_location.h"

// A new volume key in the steps a caller orders, with its own steps between
// them (a format, a key test, the keyring lock): make it, wrap it into a key
// blob, store the blob and read it back. Each step returns 0, or -1 after its
// lines ("[ERROR] generate_key: ..."); release_new_key follows on every path.

// The key, blob and modifier buffers, and the key blob device, open from the
// wrap until the store.
struct new_key {
  key_blob_request request;
  int device;
};

// A key text, the 44-character canonical base64 of KEY_LEN bytes, decoded
// into `key`: 0, or -1 for any other text (nothing printed, nothing written).
[[nodiscard]] int decode_key_text(const char *text, uint8_t *key);

// Allocates the buffers and fills the key: random, or the 44-character
// canonical base64 text of its 32 bytes.
[[nodiscard]] int make_new_key(new_key *key, const char *base64_key);
// Wraps the key under the board's key modifier and checks, in memory, that
// the fresh blob unwraps to it again.
[[nodiscard]] int wrap_new_key(new_key *key);
// The plain key of a made key: KEY_LEN bytes.
inline const uint8_t *new_key_plain(const new_key *key) { return key->request.raw_key; }
// Stores the blob at the located `primary`, then reads it back from the flash
// and has the device unwrap it to the very key made.
[[nodiscard]] int store_new_key(new_key *key, keyring_location *primary);
// Wipes and releases everything the steps left.
void release_new_key(new_key *key);
