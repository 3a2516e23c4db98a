// SPDX-License-Identifier: MIT
#include "volume/dm_mapping.h"

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "util/io.h"

namespace {

constexpr size_t SYSFS_PATH_LEN = 128;

// The first line of a small sysfs file, without its newline: false when it
// cannot be read or is longer than `size` allows.
bool read_sysfs_line(const char *path, char *text, size_t size)
{
  FILE *file = fopen(path, "re");
  if (file == nullptr)
    return false;
  bool at_line_start = true;
  const bool got = next_whole_line(file, text, static_cast<int>(size), &at_line_start);
  (void)fclose(file);
  if (got)
    text[strcspn(text, "\n")] = '\0';
  return got;
}

// The LUKS mappings among the holders in `holders` (a sysfs directory).
void read_holders(const char *holders, const char *name, luks_mapping *mapping)
{
  DIR *dir = opendir(holders);
  if (dir == nullptr)
    return;
  const dirent *entry;
  // cppcheck-suppress readdirCalled ; single-threaded, and readdir_r is deprecated in glibc
  while ((entry = readdir(dir)) != nullptr) {
    if (entry->d_name[0] == '.')
      continue;
    char path[SYSFS_PATH_LEN + 256];
    char uuid[SYSFS_PATH_LEN];
    char mapped[sizeof(mapping->name)];
    if (snprintf(path, sizeof(path), "%s/%s/dm/uuid", holders, entry->d_name) >= static_cast<int>(sizeof(path)) ||
        !read_sysfs_line(path, uuid, sizeof(uuid)) || strncmp(uuid, "CRYPT-LUKS", strlen("CRYPT-LUKS")) != 0)
      continue;
    (void)snprintf(path, sizeof(path), "%s/%s/dm/name", holders, entry->d_name);
    if (!read_sysfs_line(path, mapped, sizeof(mapped)))
      continue;
    if (mapping->name[0] == '\0')
      memcpy(mapping->name, mapped, sizeof(mapped));
    mapping->as_name |= name != nullptr && strcmp(mapped, name) == 0;
  }
  (void)closedir(dir);
}

// The holders of every loop device backed by the file `image`.
void read_loop_holders(const struct stat *image, const char *name, luks_mapping *mapping)
{
  DIR *block = opendir("/sys/block");
  if (block == nullptr)
    return;
  const dirent *entry;
  // cppcheck-suppress readdirCalled ; single-threaded, and readdir_r is deprecated in glibc
  while ((entry = readdir(block)) != nullptr) {
    char path[SYSFS_PATH_LEN + 256];
    char backing[DEVICE_MAX + 1];
    struct stat file;
    if (strncmp(entry->d_name, "loop", 4) != 0 ||
        snprintf(path, sizeof(path), "/sys/block/%s/loop/backing_file", entry->d_name) >= static_cast<int>(sizeof(path)) ||
        !read_sysfs_line(path, backing, sizeof(backing)) || stat(backing, &file) != 0 ||
        file.st_dev != image->st_dev || file.st_ino != image->st_ino)
      continue;
    (void)snprintf(path, sizeof(path), "/sys/block/%s/holders", entry->d_name);
    read_holders(path, name, mapping);
  }
  (void)closedir(block);
}

}  // namespace

void find_luks_mapping(const char *device, const char *name, luks_mapping *mapping)
{
  *mapping = luks_mapping{};
  struct stat node;
  if (device == nullptr || stat(device, &node) != 0)
    return;
  if (S_ISBLK(node.st_mode)) {
    char holders[SYSFS_PATH_LEN];
    (void)snprintf(holders, sizeof(holders), "/sys/dev/block/%u:%u/holders", major(node.st_rdev), minor(node.st_rdev));
    read_holders(holders, name, mapping);
  } else if (S_ISREG(node.st_mode)) {
    read_loop_holders(&node, name, mapping);
  }
}
