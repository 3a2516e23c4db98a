// SPDX-License-Identifier: MIT
// No copy of a secret may stay behind in the stack frames of a returned call.
// The operations run in this process (the board simulator linked in); right
// after each returns, the dead stack below the caller is searched for the key,
// the key blob and the key modifier.
#include <cstdio>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/cases.h"

#include "cli/actions.h"
#include "keyblob/key_recovery.h"
#include "support/capture.h"
#include "support/run_program.h"
#include "support/fake_cryptsetup.h"
#include "support/in_process.h"
#include "util/md5.h"

namespace {


// What is searched for, kept off the stack.
struct secrets {
  uint8_t key[32];
  uint8_t modifier[16];
  uint8_t blob[80];
};
secrets wanted;

uintptr_t stack_low_end()
{
  static char maps[65536];
  FILE *f = fopen("/proc/self/maps", "r");
  size_t n = fread(maps, 1, sizeof(maps) - 1, f);
  fclose(f);
  maps[n] = '\0';
  for (char *line = strtok(maps, "\n"); line != nullptr; line = strtok(nullptr, "\n")) {
    if (strstr(line, "[stack]") != nullptr)
      return strtoul(line, nullptr, 16);
  }
  return 0;
}

// Searches the dead stack below this frame for any 8-byte window of a secret.
// Small frame, no calls before the search: it must not overwrite what it seeks.
__attribute__((noinline, no_sanitize_address)) const char *secret_below(uintptr_t low_end)
{
  volatile uint8_t marker = 0;
  const uint8_t *top = const_cast<const uint8_t *>(&marker);
  static const struct {
    const uint8_t *bytes;
    size_t length;
    const char *name;
  } kinds[] = {{wanted.key, 32, "key"}, {wanted.modifier, 16, "modifier"}, {wanted.blob, 80, "blob"}};
  for (const auto &kind : kinds) {
    for (size_t start = 0; start + 8 <= kind.length; start++) {
      for (const uint8_t *p = top - 8; reinterpret_cast<uintptr_t>(p) >= low_end; p--) {
        if (p[0] == kind.bytes[start] && memcmp(p, kind.bytes + start, 8) == 0)
          return kind.name;
      }
    }
  }
  return nullptr;
}

class no_residue : public on_board {
 protected:
  uintptr_t low_end = 0;

  void SetUp() override
  {
    on_board::SetUp();
    if (under_valgrind())
      GTEST_SKIP() << "memcheck forbids reading below the stack pointer";
    low_end = stack_low_end();
    ASSERT_NE(low_end, 0u);
    make_emmc_board(b);
    setenv("FAKE_CRYPTSETUP_DIR", b.path("/fake").c_str(), 1);
    std::string path = std::string(FAKE_CRYPTSETUP_BIN) + ":" + getenv("PATH");
    setenv("PATH", path.c_str(), 1);
    for (int i = 0; i < 32; i++)
      wanted.key[i] = static_cast<uint8_t>(i);
    const uint8_t fuse_message[8] = {0x4c, 0x3d, 0x2e, 0x1f, 0x6a, 0x5b, 0, 0};  // the board's fuse words
    md5_digest(fuse_message, sizeof(fuse_message), wanted.modifier);
  }
  void TearDown() override
  {
    unsetenv("FAKE_CRYPTSETUP_DIR");
    on_board::TearDown();
  }
  // As a run with --newkey=KEY_TEXT stores it, its lock released at its end.
  static int new_key_from_text()
  {
    static char text[64];
    snprintf(text, sizeof(text), "%s", KEY_TEXT.c_str());
    cli_options_record options;
    options.new_key = true;
    options.new_key_base64 = text;
    keyring_location keyring;
    const int result = action_new_key(&options, &keyring, nullptr);
    free_keydev(&keyring);
    return result;
  }
  void store_key()
  {
    int result = 0;
    captured_output(1, [&] { result = new_key_from_text(); });
    ASSERT_EQ(result, 0);
    read_stored_blob();
  }
  // Straight from the kernel into the search pattern: a copy through the C
  // library's vector routines would leave the blob in registers that a later
  // variadic call saves on this stack (AArch64).
  void read_stored_blob()
  {
    int fd = open(b.path("/dev/mmcblk0p4").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(read(fd, wanted.blob, sizeof(wanted.blob)), static_cast<ssize_t>(sizeof(wanted.blob)));
    close(fd);
  }
};

TEST_F(no_residue, after_generating_a_key_from_text)
{
  // The decoding scratch and the key modifier of key generation.
  ASSERT_EQ(new_key_from_text(), 0);
  read_stored_blob();
  EXPECT_EQ(secret_below(low_end), nullptr);
}

TEST_F(no_residue, after_recovering_the_key_into_a_caller_buffer)
{
  store_key();
  static uint8_t key[32];
  ASSERT_EQ(init_keydev_and_offset(&location), 0);
  ASSERT_EQ(get_plain_key(&location, key, sizeof(key), nullptr), 0);
  EXPECT_EQ(secret_below(low_end), nullptr);
  EXPECT_EQ(memcmp(key, wanted.key, 32), 0);
}

// The partition work of a run of its own: -f DEVICE NAME, or DEVICE NAME.
cli_options_record partition_work(bool format)
{
  cli_options_record options;
  options.do_format = format;
  options.partition_device = const_cast<char *>("/dev/mmcblk0p3");
  options.mapped_name = const_cast<char *>("cryptroot");
  return options;
}

TEST_F(no_residue, after_formatting_and_opening)
{
  store_key();
  const cli_options_record options = partition_work(true);
  keyring_location keyring;
  ASSERT_EQ(check_partition_work(&options, &keyring), 0);
  ASSERT_EQ(action_format(&options, &keyring, nullptr), 0);
  EXPECT_EQ(secret_below(low_end), nullptr);
  ASSERT_EQ(action_open(&options, &keyring), 0);
  EXPECT_EQ(secret_below(low_end), nullptr);
  free_keydev(&keyring);
}

TEST_F(no_residue, after_a_failed_open)
{
  store_key();
  cryptsetup_behaves(b, "open", "exit 2");
  const cli_options_record options = partition_work(false);
  keyring_location keyring;
  std::string out = captured_output(1, [&] { EXPECT_EQ(action_open(&options, &keyring), -1); });
  EXPECT_EQ(out, "[ERROR] main: open partition\n");
  EXPECT_EQ(secret_below(low_end), nullptr);
  free_keydev(&keyring);
}

}  // namespace
