#include "support/sandbox.h"
#include "support/cases.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

void make_parents(const std::string &path)
{
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
    mkdir(path.substr(0, slash).c_str(), 0755);
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
  return remove(path);
}

std::string slurp(const std::string &path)
{
  std::string text;
  FILE *f = fopen(path.c_str(), "rb");
  if (f == nullptr)
    return text;
  char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0)
    text.append(buffer, n);
  fclose(f);
  return text;
}

}  // namespace

board::board()
{
  // Short: the tests use image paths below it in 63-character command lines.
  char dir[] = "/tmp/lwXXXXXX";
  if (mkdtemp(dir) == nullptr)
    abort();
  root = dir;
}

board::~board()
{
  if (getenv("KEEP_BOARD") == nullptr)
    nftw(root.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

void board::write(const std::string &platform_path, const std::string &content) const
{
  std::string full = path(platform_path);
  make_parents(full);
  FILE *f = fopen(full.c_str(), "wb");
  ASSERT_NE(f, nullptr) << full;
  fwrite(content.data(), 1, content.size(), f);
  fclose(f);
}

std::string board::read(const std::string &platform_path) const { return slurp(path(platform_path)); }

bool board::exists(const std::string &platform_path) const
{
  struct stat st;
  return lstat(path(platform_path).c_str(), &st) == 0;
}

void board::remove(const std::string &platform_path) const { unlink(path(platform_path).c_str()); }

void board::image(const std::string &platform_path, size_t size, unsigned char fill) const
{
  write(platform_path, std::string(size, static_cast<char>(fill)));
}

void board::fdisk_prints(const std::string &listing) const
{
  write("/sbin/fdisk.txt", listing);
  write("/sbin/fdisk", "#!/bin/sh\ncat \"$(dirname \"$0\")/fdisk.txt\"\n");
  chmod(path("/sbin/fdisk").c_str(), 0755);
}

std::string board::log() const { return slurp(root + "/sim.log"); }

std::vector<std::string> board::log_lines(const std::string &prefix) const
{
  std::vector<std::string> lines;
  std::string text = log();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos)
      end = text.size();
    std::string line = text.substr(start, end - start);
    if (line.compare(0, prefix.size(), prefix) == 0)
      lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

void board::clear_log() const { unlink((root + "/sim.log").c_str()); }

void add_board_identity(const board &b, const std::string &secret)
{
  b.write("/sys/fsl_otp/HW_OCOTP_MAC0", "0x1f2e3d4c\n");
  b.write("/sys/fsl_otp/HW_OCOTP_MAC1", "0x5b6a\n");
  b.write("/dev/caam_kb", "secret " + secret + "\n");
  make_parents(b.path("/dev/urandom"));
  EXPECT_EQ(symlink("/dev/urandom", b.path("/dev/urandom").c_str()), 0);
}

void make_emmc_board(const board &b, const std::string &listing, const std::string &safe_partition)
{
  add_board_identity(b);
  mkdir(b.path("/fake").c_str(), 0755);
  b.write("/proc/cmdline", "console=ttymxc0,115200 root=/dev/mmcblk0p2 rootwait rw\n");
  b.fdisk_prints(listing.empty() ? read_fixture("fdisk/gpt-safe-p4.txt") : listing);
  b.image(safe_partition, 1024 * 1024, 0);
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

std::string read_fixture(const std::string &relative_path)
{
  std::string text = slurp(std::string(FIXTURES_DIR) + "/" + relative_path);
  EXPECT_FALSE(text.empty()) << relative_path;
  return text;
}

std::string hex(const std::string &bytes)
{
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char c : bytes) {
    text += digits[c >> 4];
    text += digits[c & 15];
  }
  return text;
}

program_run board_run(const board &b, const std::vector<std::string> &args)
{
  return {args, b.root, FAKE_CRYPTSETUP_BIN, {"FAKE_CRYPTSETUP_DIR=" + b.path("/fake")}, ""};
}

program_result run_on_board(const board &b, const std::vector<std::string> &args)
{
  return run_tool(board_run(b, args));
}

program_result run_with_real_cryptsetup(const board &b, const std::vector<std::string> &args)
{
  return run_tool({args, b.root, std::string(FAKE_CRYPTSETUP_BIN) + "/real", {}, ""});
}

std::vector<std::string> cryptsetup_calls(const board &b)
{
  std::vector<std::string> lines;
  std::string text = b.read("/fake/calls");
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string cryptsetup_input(const board &b, int n) { return b.read("/fake/stdin." + std::to_string(n)); }

void cryptsetup_behaves(const board &b, const std::string &command, const std::string &behaviour)
{
  b.write("/fake/behaviour." + command, behaviour);
}

bool under_valgrind()
{
  FILE *maps = fopen("/proc/self/maps", "r");
  char line[512];
  bool found = false;
  while (!found && fgets(line, sizeof(line), maps) != nullptr)
    found = strstr(line, "vgpreload") != nullptr;
  fclose(maps);
  return found;
}
