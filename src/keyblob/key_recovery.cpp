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
#include "util/io.h"
#include "util/report.h"
#include "util/secure_wipe.h"

namespace {

// Reads the blob at `location` and has the device unwrap it into
// request->raw_key. The caller owns the buffers and both descriptors.
blob_outcome unwrap_at(keyring_location *location, key_blob_request *request, int *keyring, int *device)
{
  memset(request->raw_key, 0, request->raw_key_len);
  if (location->keydev == nullptr)
    return BLOB_NOT_ASKED;

  *keyring = open(location->keydev, O_RDONLY | O_CLOEXEC);
  if (*keyring < 0) {
    report_error(SCOPE_READ_AND_VERIFY_KEY, "open keyring device");
    return BLOB_UNREADABLE;
  }
  if (location->keydev_is_mtd && is_bad_block(location, *keyring) < 0)
    return BLOB_UNREADABLE;
  if (lseek(*keyring, static_cast<off_t>(location->offset), SEEK_SET) == static_cast<off_t>(-1)) {
    report_error(SCOPE_READ_AND_VERIFY_KEY, "lseek keyring");
    return BLOB_UNREADABLE;
  }
  if (complete_read(*keyring, request->key_blob, request->key_blob_len) != 0) {
    report_error(SCOPE_READ_AND_VERIFY_KEY, "read key blob");
    return BLOB_UNREADABLE;
  }
  // Derived only now, so that an unreadable keyring fails before the fuses.
  if (compute_keymod(request->key_modifier, request->key_modifier_len) < 0) {
    report_error(SCOPE_READ_AND_VERIFY_KEY, "compute key modifier");
    return BLOB_NOT_ASKED;
  }
  *device = open(KEY_BLOB_DEVICE, O_RDWR | O_CLOEXEC);
  if (*device < 0) {
    report_error(SCOPE_READ_AND_VERIFY_KEY, "open key blob device");
    return BLOB_NOT_ASKED;
  }
  // A refusal is the device's only sign that these bytes are not a blob of
  // this board: the one failure that makes the caller look elsewhere.
  return ioctl(*device, KEY_BLOB_DECRYPT, request) == 0 ? BLOB_UNWRAPPED : BLOB_REFUSED;
}

}  // namespace

blob_outcome read_and_verify_key(keyring_location *location, uint8_t *key, size_t key_len)
{
  key_blob_request request;
  memset(&request, 0, sizeof(request));
  request.raw_key = key;
  request.raw_key_len = static_cast<uint32_t>(key_len);
  request.key_blob_len = static_cast<uint32_t>(key_len + KEY_BLOB_OVERHEAD);
  request.key_modifier_len = KEY_MODIFIER_LEN;
  int keyring = -1;
  int device = -1;

  blob_outcome outcome = BLOB_NOT_ASKED;
  request.key_blob = static_cast<uint8_t *>(malloc(request.key_blob_len));
  if (request.key_blob == nullptr)
    report_error(SCOPE_READ_AND_VERIFY_KEY, "malloc key blob");
  else if ((request.key_modifier = static_cast<uint8_t *>(malloc(request.key_modifier_len))) == nullptr)
    report_error(SCOPE_READ_AND_VERIFY_KEY, "malloc key modifier");
  else
    outcome = unwrap_at(location, &request, &keyring, &device);

  // The one exit: secrets wiped and released, devices closed.
  release_secret(request.key_modifier, request.key_modifier_len);
  release_secret(request.key_blob, request.key_blob_len);
  if (device >= 0)
    close(device);
  if (keyring >= 0)
    close(keyring);
  return outcome;
}

namespace {

int recover_plain_key(keyring_location *primary, uint8_t *key, size_t key_len, bool may_fall_back,
                      keyring_source *answered)
{
  if (key == nullptr || key_len == 0)
    return report_error(SCOPE_GET_PLAIN_KEY, "bad parameters");

  keyring_source source = KEYRING_PRIMARY;
  blob_outcome outcome = read_and_verify_key(primary, key, key_len);
  if (outcome == BLOB_REFUSED && may_fall_back) {
    keyring_location fallback;
    (void)get_keydev_and_offset_from_fwenv(primary, &fallback);
    outcome = read_and_verify_key(&fallback, key, key_len);
    free_keydev(&fallback);
    source = KEYRING_FALLBACK;
  }
  if (outcome == BLOB_REFUSED)
    report_error(SCOPE_GET_PLAIN_KEY, "decrypt ioctl");
  if (answered != nullptr)
    *answered = source;
  return outcome == BLOB_UNWRAPPED ? 0 : -1;
}

}  // namespace

int get_plain_key(keyring_location *primary, uint8_t *key, size_t key_len, keyring_source *answered)
{
  return recover_plain_key(primary, key, key_len, true, answered);
}

int get_primary_plain_key(keyring_location *primary, uint8_t *key, size_t key_len)
{
  return recover_plain_key(primary, key, key_len, false, nullptr);
}
