#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "support/run_program.h"

// A simulated board: a fresh directory laid out as the board simulator reads
// it (absolute platform paths below the root). Removed by its destructor.
struct board {
  std::string root;

  board();
  ~board();
  board(const board &) = delete;
  board &operator=(const board &) = delete;

  std::string path(const std::string &platform_path) const { return root + platform_path; }
  void write(const std::string &platform_path, const std::string &content) const;
  std::string read(const std::string &platform_path) const;
  bool exists(const std::string &platform_path) const;
  void remove(const std::string &platform_path) const;
  // An image of `size` bytes, all `fill`.
  void image(const std::string &platform_path, size_t size, unsigned char fill) const;
  // /sbin/fdisk as a script printing `listing` (text), or missing.
  void fdisk_prints(const std::string &listing) const;
  std::string log() const;
  std::vector<std::string> log_lines(const std::string &prefix) const;
  void clear_log() const;
};

constexpr size_t NAND_ERASE_SIZE = 128 * 1024;
constexpr size_t NAND_PAGE_SIZE = 2048;
constexpr size_t NAND_PARTITION_SIZE = 8 * NAND_ERASE_SIZE;

// The fuse words, key blob device and random device every board has.
void add_board_identity(const board &b, const std::string &secret = "board-a");

// eMMC board: root on /dev/mmcblk0p2, fdisk lists `listing` (the real BusyBox
// GPT listing by default), the keyring partition image of 1 MiB of zeros.
void make_emmc_board(const board &b, const std::string &listing = "",
                     const std::string &safe_partition = "/dev/mmcblk0p4");

// NAND board: root on UBI, /proc/mtd in the kernel's format with "safe" on
// mtd2 (1 MiB, 128 KiB blocks, 2 KiB pages, erased), `geometry_extra` added
// to its geometry file (e.g. "bad 0\n").
void make_nand_board(const board &b, const std::string &geometry_extra = "");

std::string read_fixture(const std::string &relative_path);
std::string hex(const std::string &bytes);

// Runs the program on the board with the recording fake cryptsetup on PATH
// (or the wrapped real one), the board simulator preloaded.
program_result run_on_board(const board &b, const std::vector<std::string> &args);
// The run that run_on_board makes, for a test to change before run_tool.
program_run board_run(const board &b, const std::vector<std::string> &args);
program_result run_with_real_cryptsetup(const board &b, const std::vector<std::string> &args);

// What the fake cryptsetup saw: one line of arguments per call, and the bytes
// call number n (1-based) read on its standard input.
std::vector<std::string> cryptsetup_calls(const board &b);
std::string cryptsetup_input(const board &b, int n);
void cryptsetup_behaves(const board &b, const std::string &command, const std::string &behaviour);
