// SPDX-License-Identifier: MIT
#include "keyblob/keymod.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "keyblob/key_blob_device.h"
#include "util/md5.h"
#include "util/report.h"
#include "util/secure_wipe.h"

static_assert(KEY_MODIFIER_LEN == MD5_DIGEST_LEN, "the key modifier is an MD5 digest");

int compute_keymod(uint8_t *key_modifier, size_t key_modifier_len)
{
  (void)key_modifier_len;  // the digest is always 16 bytes
  unsigned int fuse_words[2] = {0, 0};
  char path[] = "/sys/fsl_otp/HW_OCOTP_MACN";

  for (int index = 0; index < 2; index++) {
    (void)snprintf(path, sizeof(path), "/sys/fsl_otp/HW_OCOTP_MAC%d", index);
    FILE *fuse = fopen(path, "re");
    if (fuse == nullptr)
      return report_error(SCOPE_COMPUTE_KEYMOD, "open %s", path);
    int scanned = fscanf(fuse, "%x", &fuse_words[index]);
    (void)fclose(fuse);
    if (scanned != 1) {
      // The one error line without a colon behind its scope, as boards log it.
      printf("[ERROR] %s Read: %s\n", SCOPE_COMPUTE_KEYMOD, strerror(errno));
      return -1;
    }
  }

  // Little-endian whatever the host: blobs already stored depend on it.
  uint8_t message[8];
  for (int index = 0; index < 2; index++) {
    for (int byte = 0; byte < 4; byte++)
      message[4 * index + byte] = static_cast<uint8_t>(fuse_words[index] >> (8 * byte));
  }
  md5_digest(message, sizeof(message), key_modifier);
  secure_wipe(message, sizeof(message));
  secure_wipe(fuse_words, sizeof(fuse_words));
  return 0;
}
