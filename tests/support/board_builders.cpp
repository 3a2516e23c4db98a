// SPDX-License-Identifier: MIT
#include "support/board_builders.h"

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/test_data.h"

void add_board_identity(const board &b, const std::string &secret)
{
  b.write("/sys/fsl_otp/HW_OCOTP_MAC0", "0x1f2e3d4c\n");
  b.write("/sys/fsl_otp/HW_OCOTP_MAC1", "0x5b6a\n");
  b.write("/dev/caam_kb", "secret " + secret + "\n");
  mkdir(b.path("/dev").c_str(), 0755);
  EXPECT_EQ(symlink("/dev/urandom", b.path("/dev/urandom").c_str()), 0);
}

void make_emmc_board(const board &b, const std::string &listing, const std::string &safe_partition)
{
  add_board_identity(b);
  mkdir(b.path("/fake").c_str(), 0755);
  b.write("/proc/cmdline", "console=ttymxc0,115200 root=" + BUILD_MMC_DISK + "p2 rootwait rw\n");
  b.fdisk_prints(listing.empty() ? read_fixture("fdisk/gpt-safe-p4.txt") : listing);
  b.image(safe_partition.empty() ? BUILD_MMC_DISK + "p4" : safe_partition, 1024 * 1024, 0);
}

void make_nand_board(const board &b, const std::string &geometry_extra)
{
  add_board_identity(b);
  mkdir(b.path("/fake").c_str(), 0755);
  b.write("/proc/cmdline", "console=ttymxc0,115200 ubi.mtd=3 root=ubi0:rootfs rootfstype=ubifs\n");
  b.write("/proc/mtd",
          "dev:    size   erasesize  name\n"
          "mtd0: 00400000 00020000 \"u-boot\"\n"
          "mtd1: 00100000 00020000 \"u-boot-env\"\n"
          "mtd2: 00100000 00020000 \"safe\"\n"
          "mtd3: 0f900000 00020000 \"ubi\"\n");
  b.image("/dev/mtd2", NAND_PARTITION_SIZE, 0xFF);
  b.write("/dev/mtd2.nand", "erasesize 131072\nwritesize 2048\n" + geometry_extra);
}

void sysfs_partition(const board &b, const std::string &disk, int number, const char *partname)
{
  const std::string name = disk + "p" + std::to_string(number);
  const std::string device_dir =
      "/sys/devices/platform/soc/2100000.bus/2194000.mmc/mmc_host/mmc0/mmc0:0001/block/" + disk + "/" + name;
  std::string uevent = "MAJOR=179\nMINOR=" + std::to_string(number) + "\nDEVNAME=" + name +
                       "\nDEVTYPE=partition\nDISKSEQ=9\nPARTN=" + std::to_string(number) + "\n";
  if (partname != nullptr)
    uevent += std::string("PARTNAME=") + partname + "\n";
  b.write(device_dir + "/uevent", uevent);
  EXPECT_TRUE(b.link("/sys/class/block/" + name, "../../devices" + device_dir.substr(strlen("/sys/devices"))));
}
