#include "keyring/keyring_location.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "keyring/location_parsers.h"

keyring_location_record keyring_location = {nullptr, 0, 0};

int check_cmdline_for_nand()
{
  FILE *cmdline = fopen(CMDLINE_PATH, "re");
  if (cmdline == nullptr) {
    printf("[ERROR] %s: Failed to open '%s'\n", __func__, CMDLINE_PATH);
    return -5;
  }
  char line[CMDLINE_LINE_LEN];
  char *read = fgets(line, sizeof(line), cmdline);
  (void)fclose(cmdline);
  if (read == nullptr)
    return -5;
  return parse_cmdline_root(line);
}

namespace {

int find_safe_mtd_partition()
{
  FILE *table = fopen(MTD_TABLE_PATH, "re");
  if (table == nullptr) {
    printf("[ERROR] %s: Failed to open %s\n", "init_keydev_and_offset", MTD_TABLE_PATH);
    return -5;
  }
  char line[LOCATION_LINE_LEN];
  while (fgets(line, sizeof(line), table) != nullptr) {
    char *device = nullptr;
    if (parse_mtd_line(line, &device)) {
      char *path = nullptr;
      if (asprintf(&path, "/dev/%s", device) >= 0) {
        keyring_location.keydev = path;
        keyring_location.offset = 0;
      }
      free(device);
      break;
    }
  }
  (void)fclose(table);
  return 0;
}

int find_safe_emmc_partition()
{
  FILE *listing = popen(FDISK_COMMAND, "r");
  if (listing == nullptr) {
    printf("[ERROR] %s: Failed to execute '%s'\n", "init_keydev_and_offset", FDISK_COMMAND);
    return -5;
  }
  char line[LOCATION_LINE_LEN];
  while (fgets(line, sizeof(line), listing) != nullptr) {
    int partition = 0;
    if (parse_fdisk_line(line, &partition)) {
      char *path = nullptr;
      if (asprintf(&path, "/dev/mmcblk0p%d", partition) >= 0) {
        keyring_location.keydev = path;
        keyring_location.offset = 0;
      }
      break;
    }
  }
  pclose(listing);
  return 0;
}

}  // namespace

int init_keydev_and_offset()
{
  int is_nand = check_cmdline_for_nand();
  keyring_location.keydev_is_mtd = is_nand;
  if (is_nand < 0)
    return is_nand;

  int result = is_nand == 1 ? find_safe_mtd_partition() : find_safe_emmc_partition();
  if (result != 0)
    return result;
  return keyring_location.keydev != nullptr ? 0 : -1;
}

int get_keydev_and_offset_from_fwenv()
{
  FILE *config = fopen(FW_ENV_CONFIG_PATH, "re");
  if (config == nullptr) {
    printf("[ERROR] %s: Failed to open %s\n", __func__, FW_ENV_CONFIG_PATH);
    return -5;
  }

  uint32_t device_offset = 0;
  uint32_t env_size = 0;
  int accepted = 0;
  char line[LOCATION_LINE_LEN];
  // With a redundant environment the second copy is the one the key sits behind.
  while (accepted < 2 && fgets(line, sizeof(line), config) != nullptr) {
    char *device = nullptr;
    if (!parse_fwenv_line(line, &device, &device_offset, &env_size))
      continue;
    free(keyring_location.keydev);
    keyring_location.keydev = device;
    accepted++;
  }
  (void)fclose(config);

  keyring_location.offset = static_cast<uint32_t>(device_offset + env_size);
  if (keyring_location.keydev != nullptr && strstr(keyring_location.keydev, "/dev/mtd") != nullptr)
    keyring_location.keydev_is_mtd = 1;
  return 0;
}

void free_keydev()
{
  free(keyring_location.keydev);
  keyring_location.keydev = nullptr;
}
