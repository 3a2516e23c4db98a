// SPDX-License-Identifier: MIT
#include "keyblob/key_recovery.h"

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
#include "util/io.h"
#include "util/report.h"
#include "util/secure_wipe.h"

namespace {

constexpr int BLOB_REFUSED = 1;

// Reads the blob at the current location and has the device unwrap it into
// request->raw_key. The caller owns the buffers and both descriptors.
int unwrap_at_location(key_blob_request *request, int *keyring, int *device)
{
  memset(request->raw_key, 0, request->raw_key_len);

  *keyring = open(keyring_location.keydev, O_RDONLY | O_CLOEXEC);
  if (*keyring < 0) {
    report_error(SCOPE_READ_AND_VERIFY_KEY, "open keyring device");
    return *keyring;
  }
  if (keyring_location.keydev_is_mtd) {
    int scan = is_bad_block(*keyring);
    if (scan < 0)
      return scan;
  }
  if (lseek(*keyring, static_cast<off_t>(keyring_location.offset), SEEK_SET) == static_cast<off_t>(-1))
    return report_error(SCOPE_READ_AND_VERIFY_KEY, "lseek keyring");
  if (complete_read(*keyring, request->key_blob, request->key_blob_len) != 0)
    return report_error(SCOPE_READ_AND_VERIFY_KEY, "read key blob");
  // Derived only now, so that an unreadable keyring fails before the fuses.
  if (compute_keymod(request->key_modifier, request->key_modifier_len) < 0)
    return report_error(SCOPE_READ_AND_VERIFY_KEY, "compute key modifier");
  *device = open(KEY_BLOB_DEVICE, O_RDWR | O_CLOEXEC);
  if (*device < 0) {
    report_error(SCOPE_READ_AND_VERIFY_KEY, "open key blob device");
    return *device;
  }
  // A refusal is the device's only sign that these bytes are not a blob of
  // this board: the one failure that makes the caller look elsewhere.
  if (ioctl(*device, KEY_BLOB_DECRYPT, request) != 0)
    return BLOB_REFUSED;
  return 0;
}

}  // namespace

int read_and_verify_key(uint8_t *key, size_t key_len)
{
  key_blob_request request;
  memset(&request, 0, sizeof(request));
  request.raw_key = key;
  request.raw_key_len = static_cast<uint32_t>(key_len);
  request.key_blob_len = static_cast<uint32_t>(key_len + KEY_BLOB_OVERHEAD);
  request.key_modifier_len = KEY_MODIFIER_LEN;
  int keyring = -1;
  int device = -1;

  int result = -1;
  request.key_blob = static_cast<uint8_t *>(malloc(request.key_blob_len));
  if (request.key_blob == nullptr) {
    report_error(SCOPE_READ_AND_VERIFY_KEY, "malloc key blob");
  } else if ((request.key_modifier = static_cast<uint8_t *>(malloc(request.key_modifier_len))) == nullptr) {
    report_error(SCOPE_READ_AND_VERIFY_KEY, "malloc key modifier");
  } else {
    result = unwrap_at_location(&request, &keyring, &device);
  }

  // The one exit: secrets wiped and released, devices closed.
  release_secret(request.key_modifier, request.key_modifier_len);
  release_secret(request.key_blob, request.key_blob_len);
  if (device >= 0)
    close(device);
  if (keyring >= 0)
    close(keyring);
  return result;
}

namespace {

int recover_plain_key(uint8_t *key, size_t key_len, bool may_fall_back)
{
  if (key == nullptr || key_len == 0)
    return report_error(SCOPE_GET_PLAIN_KEY, "bad parameters");
  if (keyring_location.keydev == nullptr && init_keydev_and_offset() != 0)
    return -1;

  int result = read_and_verify_key(key, key_len);
  if (result == BLOB_REFUSED && may_fall_back) {
    (void)get_keydev_and_offset_from_fwenv();
    result = read_and_verify_key(key, key_len);
  }
  if (result == BLOB_REFUSED)
    report_error(SCOPE_GET_PLAIN_KEY, "decrypt ioctl");
  return result == 0 ? 0 : -1;
}

}  // namespace

int get_plain_key(uint8_t *key, size_t key_len)
{
  return recover_plain_key(key, key_len, true);
}

int get_primary_plain_key(uint8_t *key, size_t key_len)
{
  return recover_plain_key(key, key_len, false);
}
