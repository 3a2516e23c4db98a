// SPDX-License-Identifier: MIT
#include "support/board.h"

#include <cstdio>
#include <cstdlib>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/test_data.h"

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

std::string board::read(const std::string &platform_path) const { return read_whole_file(path(platform_path)); }

bool board::exists(const std::string &platform_path) const
{
  struct stat st;
  return lstat(path(platform_path).c_str(), &st) == 0;
}

void board::remove(const std::string &platform_path) const { unlink(path(platform_path).c_str()); }

bool board::link(const std::string &platform_path, const std::string &target) const
{
  make_parents(path(platform_path));
  return symlink(target.c_str(), path(platform_path).c_str()) == 0;
}

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

std::string board::log() const { return read_whole_file(root + "/sim.log"); }

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
