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
#include "util/secure_wipe.h"

namespace {

// A 44-character text decodes to 33 bytes and the decoder touches one more:
// room for all of them, so that nothing lands outside the key buffer.
constexpr size_t DECODE_ROOM = KEY_BASE64_LEN / 4 * 3 + 1;

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
  uint8_t decoded[DECODE_ROOM] = {};
  base64_decode_string(base64_key, decoded);
  memcpy(raw_key, decoded, KEY_LEN);
  secure_wipe(decoded, sizeof(decoded));
  return 0;
}

// Wraps the key and stores the blob; every buffer is the caller's.
int wrap_and_store(key_blob_request *request, const char *base64_key)
{
  if (fill_raw_key(request->raw_key, base64_key) != 0)
    return -1;
  memset(request->key_blob, 0, request->key_blob_len);
  if (compute_keymod(request->key_modifier, request->key_modifier_len) < 0) {
    printf("[ERROR] %s: compute key modifier\n", "generate_key");
    return -1;
  }

  int device = open(KEY_BLOB_DEVICE, O_RDWR | O_CLOEXEC);
  if (device < 0) {
    printf("[ERROR] %s: open key blob device\n", "generate_key");
    return -1;
  }
  int result = ioctl(device, KEY_BLOB_ENCRYPT, request);
  if (result != 0) {
    printf("[ERROR] %s: encrypt ioctl: %d\n", "generate_key", result);
    result = -1;
  } else if (keyring_store(request->key_blob, request->key_blob_len) < 0) {
    result = -1;
  }
  close(device);
  return result;
}

}  // namespace

int generate_key(const char *base64_key)
{
  key_blob_request request;
  memset(&request, 0, sizeof(request));
  request.raw_key_len = KEY_LEN;
  request.key_blob_len = KEY_LEN + KEY_BLOB_OVERHEAD;
  request.key_modifier_len = KEY_MODIFIER_LEN;

  int result = -1;
  request.raw_key = static_cast<uint8_t *>(malloc(request.raw_key_len));
  if (request.raw_key == nullptr) {
    printf("[ERROR] %s: malloc raw key\n", __func__);
  } else if ((request.key_blob = static_cast<uint8_t *>(malloc(request.key_blob_len))) == nullptr) {
    printf("[ERROR] %s: malloc key blob\n", __func__);
  } else if ((request.key_modifier = static_cast<uint8_t *>(malloc(request.key_modifier_len))) == nullptr) {
    printf("[ERROR] %s: malloc key modifier\n", __func__);
  } else {
    result = wrap_and_store(&request, base64_key);
  }

  // The one exit: every secret wiped, then released, last allocated first.
  release_secret(request.key_modifier, request.key_modifier_len);
  release_secret(request.key_blob, request.key_blob_len);
  release_secret(request.raw_key, request.raw_key_len);
  return result;
}
