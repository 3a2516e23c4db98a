// SPDX-License-Identifier: MIT
// The volume commands end to end against the real cryptsetup on image files:
// it alone judges whether the stored key opens a volume.
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <utility>

#include <gtest/gtest.h>

#include "support/board_builders.h"
#include "support/run_program.h"
#include "support/test_data.h"
#include "volume/luks_dump.h"

namespace {

// What the report says of the board of these tests before the volume.
const std::string STATUS_KEYRING = "BOARD=emmc\nDISK=" + BUILD_MMC_DISK + "\nKEYRING=" + BUILD_MMC_DISK +
                                   "p4\nKEYRING_OFFSET=0\nPRIMARY=ok\nFALLBACK=none\n";

// The real cryptsetup judges the key: format an image, then open it in a
// fresh run with the key recovered from the stored blob.
TEST(real_cryptsetup, formats_and_opens_an_image_with_the_stored_key)
{
  const std::string real = "PATH=/usr/sbin:/sbin:$PATH cryptsetup ";
  board b;
  make_emmc_board(b);
  const std::string image = b.path("/d.img");
  b.image("/d.img", 32 * 1024 * 1024, 0);
  program_result r = run_with_real_cryptsetup(b, {"-n" + KEY_TEXT});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  r = run_with_real_cryptsetup(b, {"-f", image, "cryptdata"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "");
  r = run_with_real_cryptsetup(b, {image, "cryptdata"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "");
  r = run_with_real_cryptsetup(b, {"--status", image, "cryptdata"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, STATUS_KEYRING + "VOLUME=luks2\nKEY_OPENS=yes\nKEYSLOT=0\nKDF=pbkdf2\nTOKENS=0\nMAPPED=no\n"
                   "MAPPED_AS_NAME=no\nRECOVERY=no\nBOARD_KEYSLOT=\nSTRAY_KEYSLOTS=\n");

  // A random key for the formatted volume would orphan it: refused, and the
  // old blob still opens the volume.
  const std::string keyring = b.read("/dev/mmcblk0p4");
  r = run_with_real_cryptsetup(b, {"-n", image, "cryptdata"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "[ERROR] generate_key: new key does not open " + image + "\n[ERROR] main: generate key\n");
  EXPECT_EQ(b.read("/dev/mmcblk0p4"), keyring);
  EXPECT_EQ(run_with_real_cryptsetup(b, {image, "cryptdata"}).status, 0);
  // The volume's own key text restores a keyring that lost its blob.
  b.image("/dev/mmcblk0p4", 1024 * 1024, 0);
  r = run_with_real_cryptsetup(b, {"-n" + KEY_TEXT, image, "cryptdata"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "");

  // A key blob made on another board is refused by this board's device.
  b.write("/dev/caam_kb", "secret another-board\n");
  ASSERT_EQ(run_with_real_cryptsetup(b, {"-n"}).status, 0);
  b.write("/dev/caam_kb", "secret board-a\n");
  r = run_with_real_cryptsetup(b, {image, "cryptdata"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "[ERROR] get_keydev_and_offset_from_fwenv: Failed to open /etc/fw_env.config\n"
                   "[ERROR] get_plain_key: decrypt ioctl\n[ERROR] cryptsetup_open: recover key\n"
                   "[ERROR] main: open partition\n");

  // A new key of this board unwraps, but the LUKS header refuses it.
  ASSERT_EQ(run_with_real_cryptsetup(b, {"-n"}).status, 0);
  r = run_with_real_cryptsetup(b, {image, "cryptdata"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "[ERROR] main: open partition\n");

  // A keyring token with the volume's key in a session keyring of its own
  // lets cryptsetup's plain key test pass any key (here none); the
  // program's test counts keyslots only.
  b.write("/volume.key", key_00_to_1f());
  b.write("/in-session", "#!/bin/sh\nLD_PRELOAD= keyctl padd user lockwarden-token @s <" + b.path("/volume.key") +
                             " >/dev/null || exit 77\nexec \"$@\"\n");
  ASSERT_EQ(chmod(b.path("/in-session").c_str(), 0755), 0);
  const std::string session = "keyctl session - " + b.path("/in-session");
  ASSERT_EQ(run_shell(real + "token add --key-description lockwarden-token --key-slot 0 " + image).status, 0);
  r = run_shell("env PATH=/usr/sbin:/sbin:$PATH " + session + " cryptsetup --test-passphrase -d /dev/null open " + image);
  if (r.status != 0)
    GTEST_SKIP() << "no keyring token unlocks here (keyctl, add_key): " << r.status << " " << r.err;
  const std::string stored = b.read("/dev/mmcblk0p4");
  r = run_tool({{"-n", image, "cryptdata"}, b.root, PEER_CRYPTSETUP_BIN, {}, session});
  EXPECT_EQ(r.out, "[ERROR] generate_key: new key does not open " + image + "\n[ERROR] main: generate key\n");
  EXPECT_EQ(b.read("/dev/mmcblk0p4"), stored);
  // Nor does the report's: the stored key is not the volume's.
  r = run_tool({{"--status", image}, b.root, PEER_CRYPTSETUP_BIN, {}, session});
  EXPECT_EQ(r.status, 255);
  EXPECT_NE(r.out.find("\nKEY_OPENS=no\nKEYSLOT=\nKDF=\nTOKENS=1\n"), std::string::npos) << r.out;
}

// The report names the keyslot the stored key opens and that keyslot's key
// derivation (slot 0 here derives with PBKDF2 and takes another key), from
// cryptsetup's own dump, which gives the tokens too; LUKS1 derives with PBKDF2.
TEST(real_cryptsetup, status_names_the_keyslot_and_its_key_derivation)
{
  const std::string real = "PATH=/usr/sbin:/sbin:$PATH cryptsetup -q ";
  board b;
  make_emmc_board(b);
  ASSERT_EQ(run_with_real_cryptsetup(b, {"-n" + KEY_TEXT}).status, 0);
  b.write("/key", key_00_to_1f());
  b.write("/other", key_20_to_3f());
  const std::string luks2 = b.path("/2.img"), luks1 = b.path("/1.img");
  b.image("/2.img", 32 * 1024 * 1024, 0);
  b.image("/1.img", 4 * 1024 * 1024, 0);
  for (const std::string &command :
       {"--pbkdf pbkdf2 --pbkdf-force-iterations 1000 -d " + b.path("/other") + " luksFormat " + luks2,
        "--pbkdf argon2id --pbkdf-memory 8192 --pbkdf-force-iterations 4 -d " + b.path("/other") + " luksAddKey " +
            luks2 + " " + b.path("/key"),
        "token add --key-description a --key-slot 1 " + luks2, "token add --key-description b --key-slot 0 " + luks2,
        "--type luks1 --pbkdf-force-iterations 1000 -d " + b.path("/key") + " luksFormat " + luks1})
    ASSERT_EQ(run_shell(real + command).status, 0) << command;
  program_result r = run_with_real_cryptsetup(b, {"--status", luks2});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, STATUS_KEYRING + "VOLUME=luks2\nKEY_OPENS=yes\nKEYSLOT=1\nKDF=argon2id\nTOKENS=2\nMAPPED=no\n"
                   "RECOVERY=no\nBOARD_KEYSLOT=\nSTRAY_KEYSLOTS=\n");
  r = run_with_real_cryptsetup(b, {"--status", luks1});
  EXPECT_EQ(r.out, STATUS_KEYRING + "VOLUME=luks1\nKEY_OPENS=yes\nKEYSLOT=0\nKDF=pbkdf2\nTOKENS=0\nMAPPED=no\n"
                   "RECOVERY=no\nBOARD_KEYSLOT=\nSTRAY_KEYSLOTS=\n");

  setenv("PATH", ("/usr/sbin:/sbin:" + std::string(getenv("PATH"))).c_str(), 1);
  luks_header_dump dump;
  ASSERT_EQ(cryptsetup_luksDump(luks2.c_str(), &dump), 0);
  EXPECT_EQ(dump.version, 2);
  EXPECT_STREQ(dump.keyslots[0].kdf, "pbkdf2");
  EXPECT_TRUE(dump.keyslots[1].active && !dump.keyslots[2].active);
  ASSERT_EQ(dump.token_count, 2);
  EXPECT_EQ(std::string(dump.tokens[1].type) + " " + std::to_string(dump.tokens[1].id), "luks2-keyring 1");
  EXPECT_EQ(dump.tokens[0].keyslots, 2u);
  EXPECT_EQ(dump.tokens[1].keyslots, 1u);
  ASSERT_EQ(cryptsetup_luksDump(luks1.c_str(), &dump), 0);
  EXPECT_TRUE(dump.version == 1 && dump.keyslots[0].active && !dump.keyslots[1].active && dump.token_count == 0);
  EXPECT_EQ(cryptsetup_luksDump(b.path("/key").c_str(), &dump), -1);
}

// Both builds open the volumes of both: one image formatted through the
// program (in the default build with cryptsetup's own key derivation,
// argon2id), one with the other build's format options given to cryptsetup
// directly.
TEST(real_cryptsetup, volumes_of_either_build_open)
{
  board b;
  make_emmc_board(b);
  ASSERT_EQ(run_with_real_cryptsetup(b, {"-n" + KEY_TEXT}).status, 0);
  b.write("/key", key_00_to_1f());
  const std::string own = b.path("/own.img"), other = b.path("/other.img");
  b.image("/own.img", 32 * 1024 * 1024, 0);
  b.image("/other.img", 32 * 1024 * 1024, 0);
  program_result r = run_tool({{"-f", own, "c"}, b.root, PEER_CRYPTSETUP_BIN, {"PEER_CRYPTSETUP_OWN_KDF=1"}, ""});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::string real = "PATH=/usr/sbin:/sbin:$PATH cryptsetup ";
  ASSERT_EQ(run_shell(real + OTHER_BUILD_FORMAT_OPTIONS + " -d " + b.path("/key") + " luksFormat " + other).status, 0);
  const bool minimal = LOCKWARDEN_MINIMAL_KDF;
  for (const auto &[image, kdf] : {std::pair{own, minimal ? "pbkdf2" : "argon2id"},
                                   std::pair{other, minimal ? "argon2id" : "pbkdf2"}}) {
    EXPECT_EQ(run_shell(real + "luksDump " + image + " | grep -c 'PBKDF: *" + kdf + "$'").out, "1\n") << image;
    r = run_with_real_cryptsetup(b, {image, "c"});
    EXPECT_EQ(r.status, 0) << image << r.out << r.err;
  }
  // A new key and --kdf=minimal: a PBKDF2 keyslot of 1000 iterations in either build.
  r = run_tool({{"-n" + KEY_TEXT, "-f", "--kdf=minimal", own, "c"}, b.root, PEER_CRYPTSETUP_BIN,
                {"PEER_CRYPTSETUP_OWN_KDF=1"}, ""});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(run_shell(real + "luksDump " + own + " | sed -n '/^Keyslots:/,/^Tokens:/p'"
                      " | grep -c -e 'PBKDF: *pbkdf2$' -e 'Iterations: *1000$'").out, "2\n");
}

TEST(real_cryptsetup, volume_formatted_with_a_new_key_opens_in_a_fresh_run)
{
  board b;
  make_emmc_board(b);
  const std::string image = b.path("/d.img");
  b.image("/d.img", 32 * 1024 * 1024, 0);
  program_result r = run_with_real_cryptsetup(b, {"-f", "-n", image, "cryptdata"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "");
  r = run_with_real_cryptsetup(b, {image, "cryptdata"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "");

  // A mistyped device: luksFormat fails (status 4), the volume's key stays.
  const std::string keyring = b.read("/dev/mmcblk0p4");
  r = run_with_real_cryptsetup(b, {"-f", "-n", b.path("/dta.img"), "cryptdata"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "[ERROR] main: format partition\n");
  EXPECT_NE(r.err.find("does not exist"), std::string::npos) << r.err;
  EXPECT_EQ(b.read("/dev/mmcblk0p4"), keyring);
  r = run_with_real_cryptsetup(b, {image, "cryptdata"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
}

TEST(real_cryptsetup, key_only_behind_the_environment_formats_nothing)
{
  board b;
  make_emmc_board(b);
  ASSERT_EQ(run_with_real_cryptsetup(b, {"-n"}).status, 0);
  const std::string blob = b.read("/dev/mmcblk0p4").substr(0, 80);
  std::string disk(0x500000, '\0');
  disk.replace(0x402000, 80, blob);
  b.write("/dev/mmcblk0", disk);
  b.write("/etc/fw_env.config", "/dev/mmcblk0 0x400000 0x2000\n");
  b.image("/dev/mmcblk0p4", 1024 * 1024, 0);
  const std::string image = b.path("/d.img");
  b.image("/d.img", 32 * 1024 * 1024, 0);
  program_result r = run_with_real_cryptsetup(b, {"-f", image, "cryptdata"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "[ERROR] get_plain_key: decrypt ioctl\n[ERROR] cryptsetup_format: recover key\n"
                   "[ERROR] main: format partition\n");
  EXPECT_EQ(b.read("/d.img"), std::string(32 * 1024 * 1024, '\0'));
  // The open of the same run would have fallen back: it still does alone,
  // and finds no LUKS header on the untouched image.
  r = run_with_real_cryptsetup(b, {image, "cryptdata"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "[ERROR] cryptsetup_open: " + image + " not initialized\n[ERROR] main: open partition\n");
}

}  // namespace
