// SPDX-License-Identifier: MIT
// The board simulator checked against the kernel behaviour it stands in for:
// the MTD character device, the key blob device and the injected faults. The
// simulator is linked into this test, so the test's own calls reach it.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>
#include <mtd/mtd-user.h>

#include "keyblob/key_blob_device.h"
#include "support/board_builders.h"
#include "support/run_program.h"
#include "support/test_data.h"

namespace {

class sim : public testing::Test {
 protected:
  board b;
  void SetUp() override { setenv("BOARD_SIM_ROOT", b.root.c_str(), 1); }
  void TearDown() override { unsetenv("BOARD_SIM_ROOT"); }

  int open_nand(const std::string &geometry_extra, int flags = O_RDWR)
  {
    b.image("/dev/mtd2", NAND_PARTITION_SIZE, 0xFF);
    b.write("/dev/mtd2.nand", "erasesize 131072\nwritesize 2048\n" + geometry_extra);
    return open("/dev/mtd2", flags);
  }
};

struct outcome {
  int result;
  int error;
};

outcome request(int fd, unsigned long code, void *argument)
{
  errno = 0;
  int result = ioctl(fd, code, argument);
  return {result, result < 0 ? errno : 0};
}

TEST_F(sim, nand_reports_its_geometry_like_mtdchar)
{
  int fd = open_nand("");
  mtd_info_user info{};
  ASSERT_EQ(ioctl(fd, MEMGETINFO, &info), 0);
  EXPECT_EQ(info.type, MTD_NANDFLASH);
  EXPECT_EQ(info.flags, static_cast<uint32_t>(MTD_CAP_NANDFLASH));
  EXPECT_EQ(info.size, NAND_PARTITION_SIZE);
  EXPECT_EQ(info.erasesize, NAND_ERASE_SIZE);
  EXPECT_EQ(info.writesize, NAND_PAGE_SIZE);
  EXPECT_EQ(info.oobsize, 64u);
  close(fd);
}

TEST_F(sim, nand_requests_answer_as_the_kernel_does)
{
  const uint32_t block = NAND_ERASE_SIZE;
  struct row {
    const char *name;
    unsigned long code;
    int64_t offset;            // MEMGETBADBLOCK
    erase_info_user range;     // the others
    outcome expected;
  } const rows[] = {
      {"good block", MEMGETBADBLOCK, 2 * block, {}, {0, 0}},
      {"bad block, any offset in it", MEMGETBADBLOCK, block + 4096, {}, {1, 0}},
      {"negative offset", MEMGETBADBLOCK, -1, {}, {-1, EINVAL}},
      {"offset at the end", MEMGETBADBLOCK, NAND_PARTITION_SIZE, {}, {-1, EINVAL}},
      {"erase nothing", MEMERASE, 0, {0, 0}, {0, 0}},
      {"erase unaligned start", MEMERASE, 0, {2048, block}, {-1, EINVAL}},
      {"erase unaligned length", MEMERASE, 0, {0, 4096}, {-1, EINVAL}},
      {"erase past the end", MEMERASE, 0, {7 * block, 2 * block}, {-1, EINVAL}},
      {"erase a bad block", MEMERASE, 0, {block, block}, {-1, EIO}},
      {"erase a failing block", MEMERASE, 0, {3 * block, block}, {-1, EIO}},
      {"erase a good block", MEMERASE, 0, {2 * block, block}, {0, 0}},
      {"lock", MEMLOCK, 0, {0, block}, {0, 0}},
      {"unlock past the end", MEMUNLOCK, 0, {8 * block, block}, {-1, EINVAL}},
  };
  int fd = open_nand("bad 1   # factory-marked\nerase_fail 3\n");
  for (const row &r : rows) {
    int64_t offset = r.offset;
    erase_info_user range = r.range;
    outcome got = request(fd, r.code, r.code == MEMGETBADBLOCK ? static_cast<void *>(&offset) : &range);
    EXPECT_EQ(got.result, r.expected.result) << r.name;
    EXPECT_EQ(got.error, r.expected.error) << r.name;
  }
  close(fd);
}

TEST_F(sim, nand_permissions_and_lock_support)
{
  erase_info_user range{0, NAND_ERASE_SIZE};
  int read_only = open_nand("", O_RDONLY);
  outcome got = request(read_only, MEMERASE, &range);
  EXPECT_EQ(got.error, EPERM) << "erase through a read-only descriptor";
  close(read_only);

  int fd = open_nand("lock unsupported\n");
  EXPECT_EQ(request(fd, MEMUNLOCK, &range).error, EOPNOTSUPP);
  EXPECT_EQ(request(fd, MEMLOCK, &range).error, EOPNOTSUPP);
  close(fd);

  fd = open_nand("getinfo_fail\n");
  mtd_info_user info{};
  EXPECT_EQ(request(fd, MEMGETINFO, &info).error, ENOTTY);
  close(fd);
}

TEST_F(sim, nand_programs_whole_pages_and_only_clears_bits)
{
  int fd = open_nand("");
  std::string page(NAND_PAGE_SIZE, '\x0F');
  errno = 0;
  EXPECT_EQ(write(fd, page.data(), 80), -1) << "a partial page";
  EXPECT_EQ(errno, EINVAL);
  ASSERT_EQ(lseek(fd, 2048, SEEK_SET), 2048);
  EXPECT_EQ(write(fd, page.data(), page.size()), static_cast<ssize_t>(page.size()));
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 4096) << "the position moves past the page";
  std::string other(NAND_PAGE_SIZE, '\xF5');
  ASSERT_EQ(lseek(fd, 2048, SEEK_SET), 2048);
  EXPECT_EQ(write(fd, other.data(), other.size()), static_cast<ssize_t>(other.size()));
  ASSERT_EQ(lseek(fd, NAND_PARTITION_SIZE, SEEK_SET), static_cast<off_t>(NAND_PARTITION_SIZE));
  errno = 0;
  EXPECT_EQ(write(fd, page.data(), page.size()), -1);
  EXPECT_EQ(errno, ENOSPC);
  close(fd);
  std::string image = b.read("/dev/mtd2");
  EXPECT_EQ(image.substr(2048, 2048), std::string(2048, '\x05')) << "programmed twice without an erase";
  EXPECT_EQ(image.substr(0, 2048), std::string(2048, '\xFF'));

  std::vector<std::string> log = b.log_lines("write ");
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0], "write /dev/mtd2 0 80 -> -1 EINVAL");
  EXPECT_EQ(log[1], "write /dev/mtd2 2048 2048 -> 2048");
}

struct blob_call {
  std::vector<uint8_t> key, blob, modifier;
  outcome result;
};

blob_call run_device(unsigned long code, std::vector<uint8_t> key, std::vector<uint8_t> blob,
                     std::vector<uint8_t> modifier)
{
  blob_call call{key, blob, modifier, {-1, 0}};
  key_blob_request r{call.key.data(), static_cast<uint32_t>(call.key.size()), call.blob.data(),
                     static_cast<uint32_t>(call.blob.size()), call.modifier.data(),
                     static_cast<uint32_t>(call.modifier.size())};
  int fd = open(KEY_BLOB_DEVICE, O_RDWR);
  if (fd < 0)
    return {{}, {}, {}, {-1, errno}};
  call.result = request(fd, code, &r);
  close(fd);
  return call;
}

TEST_F(sim, key_blob_device_opens_only_its_own_blobs)
{
  b.write("/dev/caam_kb", "secret board-a\n");
  const std::vector<uint8_t> key(32, 0x5A), modifier(16, 0x11), other_modifier(16, 0x12);
  std::vector<uint8_t> with_key = key;
  for (size_t i = 0; i < key.size(); i++)
    with_key[i] = static_cast<uint8_t>(i * 37 + 1);
  blob_call made = run_device(KEY_BLOB_ENCRYPT, with_key, std::vector<uint8_t>(80), modifier);
  ASSERT_EQ(made.result.result, 0);
  EXPECT_NE(made.blob, std::vector<uint8_t>(80)) << "the blob was written";

  blob_call back = run_device(KEY_BLOB_DECRYPT, std::vector<uint8_t>(32), made.blob, modifier);
  EXPECT_EQ(back.result.result, 0);
  EXPECT_EQ(back.key, with_key);

  std::vector<uint8_t> tampered = made.blob;
  tampered[20] ^= 1;
  struct row {
    const char *name;
    std::vector<uint8_t> blob, modifier;
  } const refused[] = {
      {"another modifier", made.blob, other_modifier},
      {"a changed byte", tampered, modifier},
      {"erased flash", std::vector<uint8_t>(80, 0xFF), modifier},
      {"zeroed storage", std::vector<uint8_t>(80, 0), modifier},
  };
  for (const row &r : refused) {
    blob_call got = run_device(KEY_BLOB_DECRYPT, std::vector<uint8_t>(32), r.blob, r.modifier);
    EXPECT_EQ(got.result.result, -1) << r.name;
    EXPECT_EQ(got.result.error, EBADMSG) << r.name;
    EXPECT_EQ(got.key, std::vector<uint8_t>(32)) << r.name << ": nothing written";
  }

  b.write("/dev/caam_kb", "secret board-b\n");
  EXPECT_EQ(run_device(KEY_BLOB_DECRYPT, std::vector<uint8_t>(32), made.blob, modifier).result.error, EBADMSG)
      << "a blob from another board";
  b.write("/dev/caam_kb", "secret board-a\nfail_decrypt\n");
  EXPECT_EQ(run_device(KEY_BLOB_DECRYPT, std::vector<uint8_t>(32), made.blob, modifier).result.error, EIO);
  EXPECT_EQ(run_device(KEY_BLOB_ENCRYPT, key, std::vector<uint8_t>(79), modifier).result.error, EINVAL);
  b.remove("/dev/caam_kb");
  EXPECT_EQ(run_device(KEY_BLOB_ENCRYPT, key, std::vector<uint8_t>(80), modifier).result.error, ENOENT);

  std::vector<std::string> log = b.log_lines("caam ");
  ASSERT_EQ(log.size(), 9u);
  EXPECT_EQ(log[0], "caam ENCRYPT 32 80 16 ok");
  EXPECT_EQ(log[1], "caam DECRYPT 32 80 16 ok");
  EXPECT_EQ(log[2], "caam DECRYPT 32 80 16 refused");
  EXPECT_EQ(log[7], "caam DECRYPT 32 80 16 fail");
  EXPECT_EQ(log[8], "caam ENCRYPT 32 79 16 invalid");
  EXPECT_EQ(b.log_lines("open /dev/caam_kb O_RDWR -> ENOENT").size(), 1u);
}

TEST_F(sim, freed_key_copies_are_reported)
{
#ifdef BOARD_SIM_NO_ALLOC_HOOKS
  GTEST_SKIP() << "the sanitizer owns malloc and free";
#endif
  // On the stack only, so that the one copy on the heap is the planted one.
  uint8_t key[32], blob[80] = {}, modifier[16];
  for (size_t i = 0; i < sizeof(key); i++)
    key[i] = static_cast<uint8_t>(i * 91 + 7);
  memset(modifier, 3, sizeof(modifier));
  b.write("/dev/caam_kb", "secret board-a\n");
  key_blob_request r{key, 32, blob, 80, modifier, 16};
  int fd = open(KEY_BLOB_DEVICE, O_RDWR);
  ASSERT_EQ(ioctl(fd, KEY_BLOB_ENCRYPT, &r), 0);
  close(fd);

  char *wiped = static_cast<char *>(malloc(48));
  memcpy(wiped + 16, key + 4, 8);
  explicit_bzero(wiped, 48);
  free(wiped);
  char *copy = static_cast<char *>(malloc(48));
  memcpy(copy + 16, key + 4, 8);
  const std::string expected = "LEAK free key " + std::to_string(malloc_usable_size(copy));
  free(copy);
  EXPECT_EQ(b.log_lines("LEAK "), std::vector<std::string>{expected});
}

TEST_F(sim, getrandom_is_the_kernels_unless_a_fault_says_otherwise)
{
  struct row {
    const char *faults;
    outcome first, second;
  } const rows[] = {
      {"", {1, 0}, {1, 0}},
      {"getrandom_eintr\n", {-1, EINTR}, {1, 0}},
      {"getrandom_enosys\n", {-1, ENOSYS}, {-1, ENOSYS}},
      {"getrandom_eperm\n", {-1, EPERM}, {-1, EPERM}},
  };
  for (const row &r : rows) {
    board box;
    setenv("BOARD_SIM_ROOT", box.root.c_str(), 1);
    box.write("/faults", r.faults);
    for (const outcome &expected : {r.first, r.second}) {
      uint8_t byte;
      errno = 0;
      EXPECT_EQ(getrandom(&byte, 1, 0), expected.result) << r.faults;
      EXPECT_EQ(expected.result < 0 ? errno : 0, expected.error) << r.faults;
    }
    EXPECT_EQ(box.log_lines("getrandom 1 0").size(), 2u) << box.log();
  }
}

TEST_F(sim, flash_locks_exclude_each_other_as_the_kernels_do)
{
  int holder = open_nand("");
  int other = open("/dev/mtd2", O_RDWR);
  EXPECT_EQ(flock(holder, LOCK_EX), 0);
  errno = 0;
  EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), -1) << "another open of the same device";
  EXPECT_EQ(errno, EWOULDBLOCK);
  close(holder);
  EXPECT_EQ(flock(other, LOCK_EX), 0) << "released by the close";
  close(other);
  EXPECT_EQ(b.log_lines("flock"), (std::vector<std::string>{"flock /dev/mtd2 LOCK_EX -> 0",
                                                            "flock /dev/mtd2 LOCK_EX|LOCK_NB -> -1 EAGAIN",
                                                            "flock /dev/mtd2 LOCK_EX -> 0"}));
}

TEST_F(sim, keyring_faults_hit_the_image_writes)
{
  b.image("/dev/mmcblk0p4", 4096, 0);
  b.write("/faults", "keyring_eintr\nkeyring_short\nfsync_eio\n");
  int fd = open("/dev/mmcblk0p4", O_RDWR);
  const char data[] = "0123456789";
  errno = 0;
  EXPECT_EQ(write(fd, data, 10), -1);
  EXPECT_EQ(errno, EINTR);
  EXPECT_EQ(write(fd, data, 10), 5) << "half, once the interruption has fired";
  EXPECT_EQ(fsync(fd), -1);
  EXPECT_EQ(errno, EIO);
  close(fd);
  EXPECT_EQ(b.read("/dev/mmcblk0p4").substr(0, 6), std::string("01234") + '\0');
  EXPECT_EQ(b.log_lines("fsync"), std::vector<std::string>{"fsync /dev/mmcblk0p4 -> -1 EIO"});
}

// Whether the allocation right after `faults` is written fails, in a sandbox
// of its own: the count restarts with each sandbox, so two runs agree.
bool allocation_fails(const board &box, const std::string &faults)
{
  const std::string path = box.path("/faults");
  setenv("BOARD_SIM_ROOT", box.root.c_str(), 1);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  EXPECT_EQ(write(fd, faults.data(), faults.size()), static_cast<ssize_t>(faults.size()));
  close(fd);
  errno = 0;
  void *block = malloc(1000);
  const bool failed = block == nullptr && errno == ENOMEM;
  void *next = malloc(1000);
  EXPECT_NE(next, nullptr) << "only that one fails";
  free(block);
  free(next);
  unsetenv("BOARD_SIM_ROOT");
  return failed;
}

TEST_F(sim, the_nth_allocation_fails_when_asked)
{
#ifdef BOARD_SIM_NO_ALLOC_HOOKS
  GTEST_SKIP() << "the sanitizer owns malloc and free";
#endif
  unsetenv("BOARD_SIM_ROOT");
  EXPECT_FALSE(allocation_fails(b, "malloc_trace\n"));
  std::vector<std::string> trace = b.log_lines("malloc ");
  ASSERT_EQ(trace.size(), 2u);
  const std::string n = trace[0].substr(7, trace[0].find(' ', 7) - 7);
  EXPECT_EQ(trace[0], "malloc " + n + " 1000");

  board second;
  EXPECT_TRUE(allocation_fails(second, "malloc_fail " + n + "\n"));
  EXPECT_EQ(second.log_lines("fault "), std::vector<std::string>{"fault malloc " + n});
}

TEST_F(sim, platform_paths_map_into_the_sandbox)
{
  b.write("/proc/cmdline", "root=ubi0:rootfs\n");
  b.write("/sys/fsl_otp/HW_OCOTP_MAC0", "0x1\n");
  char text[64] = {};
  int fd = open("/proc/cmdline", O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_GT(read(fd, text, sizeof(text) - 1), 0);
  close(fd);
  EXPECT_STREQ(text, "root=ubi0:rootfs\n");

  b.write("/passthrough", "");
  fd = open("/proc/cmdline", O_RDONLY);
  ASSERT_GE(fd, 0);
  memset(text, 0, sizeof(text));
  EXPECT_GT(read(fd, text, sizeof(text) - 1), 0);
  close(fd);
  EXPECT_STRNE(text, "root=ubi0:rootfs\n") << "passthrough: the real kernel's command line";
  FILE *fuse = fopen("/sys/fsl_otp/HW_OCOTP_MAC0", "r");
  EXPECT_NE(fuse, nullptr) << "the fuses stay simulated";
  if (fuse != nullptr)
    fclose(fuse);
}

}  // namespace
