// SPDX-License-Identifier: MIT
#include "keyblob/keygen.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "keyblob/key_blob_device.h"
#include "keyblob/keymod.h"
#include "keyring/keyring_device.h"
#include "keyring/keyring_location.h"
#include "util/base64.h"
#include "util/io.h"
#include "util/secure_wipe.h"
#include "volume/cryptsetup.h"

namespace {

// A 44-character text decodes to 33 bytes and the decoder touches one more:
// room for all of them, so that nothing lands outside the key buffer.
constexpr size_t DECODE_ROOM = KEY_BASE64_LEN / 4 * 3 + 1;

// The decoder takes any byte as some value, so one mistyped character would
// silently store another key than the one kept on file: only the canonical
// form of 32 bytes, 43 alphabet characters and one '=', is taken.
bool is_key_text(const char *text)
{
  for (size_t i = 0; i + 1 < KEY_BASE64_LEN; i++) {
    const char c = text[i];
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/'))
      return false;
  }
  return text[KEY_BASE64_LEN - 1] == '=';
}

int fill_raw_key(uint8_t *raw_key, const char *base64_key)
{
  if (base64_key == nullptr) {
    if (get_random(raw_key, KEY_LEN) < 0) {
      printf("[ERROR] %s: get random data\n", "generate_key");
      return -1;
    }
    return 0;
  }
  if (strlen(base64_key) != KEY_BASE64_LEN) {
    printf("[ERROR] %s: base64 key length\n", "generate_key");
    return -1;
  }
  if (!is_key_text(base64_key)) {
    printf("[ERROR] %s: base64 key characters\n", "generate_key");
    return -1;
  }
  uint8_t decoded[DECODE_ROOM] = {};
  base64_decode_string(base64_key, decoded);
  memcpy(raw_key, decoded, KEY_LEN);
  secure_wipe(decoded, sizeof(decoded));
  return 0;
}

// Reads exactly `count` bytes, quietly: the caller reports the failure.
bool read_exactly(int fd, uint8_t *buffer, size_t count)
{
  while (count != 0) {
    ssize_t done = read(fd, buffer, count);
    if (done < 0 && errno == EINTR)
      continue;
    if (done <= 0)
      return false;
    buffer += done;
    count -= static_cast<size_t>(done);
  }
  return true;
}

// The blob as it now stands in the keyring, read back where the store put it.
int read_stored_blob(uint8_t *blob, size_t blob_len)
{
  int keyring = open(keyring_location.keydev, O_RDONLY | O_CLOEXEC);
  if (keyring < 0)
    return -1;
  // The written pages are still cached: without dropping them the read would
  // show what the program wrote, not what the device kept.
  if (!keyring_location.keydev_is_mtd)
    (void)posix_fadvise(keyring, 0, 0, POSIX_FADV_DONTNEED);
  int result = -1;
  if (lseek(keyring, static_cast<off_t>(keyring_location.offset), SEEK_SET) != static_cast<off_t>(-1) &&
      read_exactly(keyring, blob, blob_len))
    result = 0;
  close(keyring);
  return result;
}

// Has the device unwrap `blob` under the modifier of `made`: 0 when that
// gives exactly the key of `made`.
int unwraps_to_key(int device, uint8_t *blob, const key_blob_request *made)
{
  uint8_t key[KEY_LEN];
  key_blob_request check;
  memset(&check, 0, sizeof(check));
  check.raw_key = key;
  check.raw_key_len = KEY_LEN;
  check.key_blob = blob;
  check.key_blob_len = KEY_BLOB_LEN;
  check.key_modifier = made->key_modifier;
  check.key_modifier_len = made->key_modifier_len;

  int result = -1;
  memset(key, 0, sizeof(key));
  if (made->raw_key_len == KEY_LEN && made->key_blob_len == KEY_BLOB_LEN &&
      ioctl(device, KEY_BLOB_DECRYPT, &check) == 0) {
    // Byte by byte through volatile reads: a vectorised comparison would
    // leave both keys in vector registers, which a later variadic call
    // saves on the stack (on AArch64, q0-q7 in every one that hands its
    // argument list on, as printf does).
    const volatile uint8_t *unwrapped = key;
    const volatile uint8_t *expected = made->raw_key;
    uint8_t difference = 0;
    for (size_t i = 0; i < KEY_LEN; i++)
      difference |= static_cast<uint8_t>(unwrapped[i] ^ expected[i]);
    result = difference == 0 ? 0 : -1;
  }
  secure_wipe(key, sizeof(key));
  return result;
}

// A store the device acknowledged may still have left other bytes behind (a
// lost or torn write, a stale block): only a blob read back from the flash
// that unwraps to the very key just made counts as stored.
int verify_stored_blob(const key_blob_request *stored)
{
  uint8_t blob[KEY_BLOB_LEN];
  int result = -1;
  if (read_stored_blob(blob, sizeof(blob)) == 0) {
    int device = open(KEY_BLOB_DEVICE, O_RDWR | O_CLOEXEC);
    if (device >= 0) {
      result = unwraps_to_key(device, blob, stored);
      close(device);
    }
  }
  secure_wipe(blob, sizeof(blob));
  return result;
}

// Held from before the first step that decides what the keyring will hold
// until the run ends: no other run stores in between.
int hold_keyring()
{
  if (keyring_location.keydev == nullptr && init_keydev_and_offset() != 0)
    return -1;
  if (lock_keyring() != 0) {
    printf("[ERROR] %s: lock keyring device\n", "generate_key");
    return -1;
  }
  return 0;
}

// A key stored for a LUKS volume it does not open leaves that volume with no
// key at all. A device without a LUKS header has nothing to lose.
int opens_volume(const char *volume, const uint8_t *key)
{
  const int luks = cryptsetup_isLuks(volume);
  if (luks == 1)
    return 0;
  if (luks != 0) {
    printf("[ERROR] %s: cannot check %s\n", "generate_key", volume);
    return -1;
  }
  const int tested = cryptsetup_test_key(volume, key);
  if (tested == 1)
    printf("[ERROR] %s: new key does not open %s\n", "generate_key", volume);
  else if (tested != 0)
    printf("[ERROR] %s: cannot test key on %s\n", "generate_key", volume);
  return tested == 0 ? 0 : -1;
}

// Fills and wraps the key and checks the fresh blob in memory, then holds
// the keyring; every buffer is the caller's. The device stays open in
// key->device until the blob is stored.
int make_and_wrap(new_key *key, const char *base64_key, const char *volume)
{
  key_blob_request *request = &key->request;
  if (fill_raw_key(request->raw_key, base64_key) != 0)
    return -1;
  if (volume != nullptr && (hold_keyring() != 0 || opens_volume(volume, request->raw_key) != 0))
    return -1;
  memset(request->key_blob, 0, request->key_blob_len);
  if (compute_keymod(request->key_modifier, request->key_modifier_len) < 0) {
    printf("[ERROR] %s: compute key modifier\n", "generate_key");
    return -1;
  }

  key->device = open(KEY_BLOB_DEVICE, O_RDWR | O_CLOEXEC);
  if (key->device < 0) {
    printf("[ERROR] %s: open key blob device\n", "generate_key");
    return -1;
  }
  int result = ioctl(key->device, KEY_BLOB_ENCRYPT, request);
  if (result != 0) {
    printf("[ERROR] %s: encrypt ioctl: %d\n", "generate_key", result);
    return -1;
  }
  if (unwraps_to_key(key->device, request->key_blob, request) != 0) {
    // The flash is touched only for a blob this device unwraps again.
    printf("[ERROR] %s: verify new key blob\n", "generate_key");
    return -1;
  }
  return hold_keyring();
}

void close_device(new_key *key)
{
  if (key->device >= 0)
    close(key->device);
  key->device = -1;
}

}  // namespace

int make_new_key(new_key *key, const char *base64_key, const char *volume)
{
  memset(key, 0, sizeof(*key));
  key->device = -1;
  key_blob_request &request = key->request;
  request.raw_key_len = KEY_LEN;
  request.key_blob_len = KEY_LEN + KEY_BLOB_OVERHEAD;
  request.key_modifier_len = KEY_MODIFIER_LEN;

  int result = -1;
  request.raw_key = static_cast<uint8_t *>(malloc(request.raw_key_len));
  if (request.raw_key == nullptr) {
    printf("[ERROR] %s: malloc raw key\n", "generate_key");
  } else if ((request.key_blob = static_cast<uint8_t *>(malloc(request.key_blob_len))) == nullptr) {
    printf("[ERROR] %s: malloc key blob\n", "generate_key");
  } else if ((request.key_modifier = static_cast<uint8_t *>(malloc(request.key_modifier_len))) == nullptr) {
    printf("[ERROR] %s: malloc key modifier\n", "generate_key");
  } else {
    result = make_and_wrap(key, base64_key, volume);
  }
  if (result != 0)
    close_device(key);
  return result;
}

int store_new_key(new_key *key)
{
  int result = keyring_store(key->request.key_blob, key->request.key_blob_len) < 0 ? -1 : 0;
  close_device(key);
  if (result == 0 && verify_stored_blob(&key->request) != 0) {
    printf("[ERROR] %s: verify stored key blob\n", "generate_key");
    result = -1;
  }
  return result;
}

void release_new_key(new_key *key)
{
  close_device(key);
  // Every secret wiped, then released, last allocated first.
  key_blob_request &request = key->request;
  release_secret(request.key_modifier, request.key_modifier_len);
  release_secret(request.key_blob, request.key_blob_len);
  release_secret(request.raw_key, request.raw_key_len);
  memset(&request, 0, sizeof(request));
}

int generate_key(const char *base64_key, const char *volume)
{
  new_key key;
  int result = make_new_key(&key, base64_key, volume);
  if (result == 0)
    result = store_new_key(&key);
  release_new_key(&key);
  return result;
}
