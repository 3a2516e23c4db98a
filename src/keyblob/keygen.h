// SPDX-License-Identifier: MIT
#pragma once

#include "keyblob/key_blob_device.h"

// Makes a new volume key (random, or the 44-character base64 text), wraps it
// into a key blob and stores the blob in the keyring, which stays locked to
// the end of the run. With a `volume` device that holds a LUKS header, the
// key must open it first. 0 or -1.
[[nodiscard]] int generate_key(const char *base64_key, const char *volume);

// The same in two steps, for a run that uses the key before it is stored.
// A new key made and wrapped, its blob not yet stored: the key, blob and
// modifier buffers, and the key blob device, open until the store.
struct new_key {
  key_blob_request request;
  int device;
};

// Makes the key, wraps it, checks that the fresh blob unwraps to it, and
// takes the keyring lock for the rest of the run. 0 or -1, after its lines.
[[nodiscard]] int make_new_key(new_key *key, const char *base64_key, const char *volume);
// The plain key of a made key: KEY_LEN bytes.
inline const uint8_t *new_key_plain(const new_key *key) { return key->request.raw_key; }
// Stores the blob and reads it back. 0 or -1, after its lines.
[[nodiscard]] int store_new_key(new_key *key);
// Wipes and releases everything make_new_key left, on every path.
void release_new_key(new_key *key);
