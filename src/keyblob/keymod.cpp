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

namespace {

// 1 with the word read, 0 when the file holds no number, -1 when it cannot
// be opened.
int read_fuse_word(const char *path, unsigned int *word)
{
  FILE *fuse = fopen(path, "re");
  if (fuse == nullptr)
    return -1;
  const int scanned = fscanf(fuse, "%x", word);
  (void)fclose(fuse);
  return scanned == 1 ? 1 : 0;
}

}  // namespace

int compute_keymod(uint8_t *key_modifier, size_t key_modifier_len)
{
  (void)key_modifier_len;  // the digest is always 16 bytes
  unsigned int fuse_words[2] = {0, 0};

  for (int index = 0; index < 2; index++) {
    const char *path = FUSE_WORD_FILES[index];
    const int read = read_fuse_word(path, &fuse_words[index]);
    if (read < 0)
      return report_error(SCOPE_COMPUTE_KEYMOD, "open %s", path);
    if (read == 0) {
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

const char *unreadable_fuse_file()
{
  for (const char *path : FUSE_WORD_FILES) {
    unsigned int word = 0;
    const int read = read_fuse_word(path, &word);
    secure_wipe(&word, sizeof(word));
    if (read != 1)
      return path;
  }
  return nullptr;
}
