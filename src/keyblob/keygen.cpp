// SPDX-License-Identifier: MIT
#include "keyblob/keygen.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "keyblob/key_blob_device.h"
#include "keyblob/keymod.h"
#include "keyring/keyring_device.h"
#include "util/base64.h"
#include "util/io.h"
#include "util/report.h"
#include "util/secure_wipe.h"

namespace {

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
    if (get_random(raw_key, KEY_LEN) < 0)
      return report_error(SCOPE_GENERATE_KEY, "get random data");
    return 0;
  }
  if (strlen(base64_key) != KEY_BASE64_LEN)
    return report_error(SCOPE_GENERATE_KEY, "base64 key length");
  if (decode_key_text(base64_key, raw_key) != 0)
    return report_error(SCOPE_GENERATE_KEY, "base64 key characters");
  return 0;
}

// The blob as it now stands in the keyring, read back where the store put it.
int read_stored_blob(const keyring_location *primary, uint8_t *blob, size_t blob_len)
{
  int keyring = open(primary->keydev, O_RDONLY | O_CLOEXEC);
  if (keyring < 0)
    return -1;
  // The written pages are still cached: without dropping them the read would
  // show what the program wrote, not what the device kept.
  if (!primary->keydev_is_mtd)
    (void)posix_fadvise(keyring, 0, 0, POSIX_FADV_DONTNEED);
  int result = -1;
  if (lseek(keyring, static_cast<off_t>(primary->offset), SEEK_SET) != static_cast<off_t>(-1) &&
      read_until_full(keyring, blob, blob_len, nullptr) == static_cast<ssize_t>(blob_len))
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
int verify_stored_blob(const keyring_location *primary, const key_blob_request *stored)
{
  uint8_t blob[KEY_BLOB_LEN];
  int result = -1;
  if (read_stored_blob(primary, blob, sizeof(blob)) == 0) {
    int device = open(KEY_BLOB_DEVICE, O_RDWR | O_CLOEXEC);
    if (device >= 0) {
      result = unwraps_to_key(device, blob, stored);
      close(device);
    }
  }
  secure_wipe(blob, sizeof(blob));
  return result;
}

void close_device(new_key *key)
{
  if (key->device >= 0)
    close(key->device);
  key->device = -1;
}

}  // namespace

int decode_key_text(const char *text, uint8_t *key)
{
  if (strlen(text) != KEY_BASE64_LEN || !is_key_text(text))
    return -1;
  // Straight into the key: the 43rd character's last two bits lie past it.
  base64_decode_exact(text, key, KEY_LEN);
  return 0;
}

int make_new_key(new_key *key, const char *base64_key)
{
  memset(key, 0, sizeof(*key));
  key->device = -1;
  key_blob_request &request = key->request;
  request.raw_key_len = KEY_LEN;
  request.key_blob_len = KEY_LEN + KEY_BLOB_OVERHEAD;
  request.key_modifier_len = KEY_MODIFIER_LEN;

  request.raw_key = static_cast<uint8_t *>(malloc(request.raw_key_len));
  if (request.raw_key == nullptr)
    return report_error(SCOPE_GENERATE_KEY, "malloc raw key");
  if ((request.key_blob = static_cast<uint8_t *>(malloc(request.key_blob_len))) == nullptr)
    return report_error(SCOPE_GENERATE_KEY, "malloc key blob");
  if ((request.key_modifier = static_cast<uint8_t *>(malloc(request.key_modifier_len))) == nullptr)
    return report_error(SCOPE_GENERATE_KEY, "malloc key modifier");
  return fill_raw_key(request.raw_key, base64_key);
}

int wrap_new_key(new_key *key)
{
  key_blob_request *request = &key->request;
  memset(request->key_blob, 0, request->key_blob_len);
  if (compute_keymod(request->key_modifier, request->key_modifier_len) < 0)
    return report_error(SCOPE_GENERATE_KEY, "compute key modifier");

  key->device = open(KEY_BLOB_DEVICE, O_RDWR | O_CLOEXEC);
  if (key->device < 0)
    return report_error(SCOPE_GENERATE_KEY, "open key blob device");
  int result = ioctl(key->device, KEY_BLOB_ENCRYPT, request);
  if (result != 0)
    return report_error(SCOPE_GENERATE_KEY, "encrypt ioctl: %d", result);
  // The flash is touched only for a blob this device unwraps again.
  if (unwraps_to_key(key->device, request->key_blob, request) != 0)
    return report_error(SCOPE_GENERATE_KEY, "verify new key blob");
  return 0;
}

int store_new_key(new_key *key, keyring_location *primary)
{
  int result = keyring_store(primary, key->request.key_blob, key->request.key_blob_len) < 0 ? -1 : 0;
  close_device(key);
  if (result == 0 && verify_stored_blob(primary, &key->request) != 0) {
    report_error(SCOPE_GENERATE_KEY, "verify stored key blob");
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
