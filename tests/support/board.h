// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// A simulated board: a fresh directory laid out as the board simulator reads
// it (absolute platform paths below the root). Removed by its destructor,
// kept when KEEP_BOARD is set (to look at a failed test's board).
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
  // A symbolic link at `platform_path` to `target`, as it is written.
  bool link(const std::string &platform_path, const std::string &target) const;
  // An image of `size` bytes, all `fill`.
  void image(const std::string &platform_path, size_t size, unsigned char fill) const;
  // /sbin/fdisk as a script printing `listing` (text), or missing.
  void fdisk_prints(const std::string &listing) const;
  std::string log() const;
  std::vector<std::string> log_lines(const std::string &prefix) const;
  void clear_log() const;
};
