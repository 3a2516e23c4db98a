// SPDX-License-Identifier: MIT
// The key lifecycle end to end against the real cryptsetup and openssl on
// image files: a recovery key sealed to a vendor certificate made here, the
// vendor's side with stock tools only, rebind and rotation, and power cuts
// at every point of them.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/board_builders.h"
#include "support/cases.h"
#include "support/run_program.h"
#include "support/test_data.h"

namespace {

const std::string REAL = "PATH=/usr/sbin:/sbin:$PATH cryptsetup ";
constexpr size_t IMAGE_SIZE = 20 * 1024 * 1024;
constexpr size_t DATA_OFFSET = 16 * 1024 * 1024;  // LUKS2's default header size

// A vendor key pair of the given kind ("rsa:2048", "ec ..."): the certificate's path.
std::string make_vendor(const board &b, const std::string &kind)
{
  EXPECT_EQ(run_shell("openssl req -x509 -newkey " + kind + " -nodes -keyout " + b.path("/vendor.key") + " -out " +
                      b.path("/vendor.pem") + " -subj /CN=vendor -days 2")
                .status,
            0);
  return b.path("/vendor.pem");
}

// The vendor's side as documented: the token's id from luksDump, the token
// exported, its "sealed" field decoded and decrypted with the private key.
// The recovery key text, or "" when there is no recovery token.
std::string vendor_recovers(const board &b, const std::string &image)
{
  const program_result r = run_shell(
      "PATH=/usr/sbin:/sbin:$PATH; id=$(cryptsetup luksDump " + image +
      " | sed -n 's/^  \\([0-9]*\\): lockwarden-recovery$/\\1/p') && [ -n \"$id\" ] && "
      "cryptsetup token export --token-id \"$id\" " + image + " | sed 's/.*\"sealed\":\"\\([^\"]*\\)\".*/\\1/' | "
      "base64 -d | openssl cms -decrypt -inform DER -inkey " + b.path("/vendor.key"));
  return r.status == 0 ? r.out : "";
}

// cryptsetup with the key of a key text on its standard input: whether it
// opens a keyslot, or the volume key it unlocks.
const std::string KEY_OPENS = "--test-passphrase -d - --keyfile-size 32 open ";
const std::string VOLUME_KEY = "luksDump --dump-volume-key -q -d - --keyfile-size 32 ";
program_result with_text(const board &b, const std::string &text, const std::string &words)
{
  b.write("/tried", text);
  return run_shell("base64 -d " + b.path("/tried") + " | " + REAL + words);
}

// The keyslots and tokens of the header: "keyslots 0 1 tokens 0:TYPE:0 ...".
std::string layout(const std::string &image)
{
  return run_shell(REAL + "luksDump " + image +
                   " | awk '/^[A-Z]/ { s = $1 } s == \"Keyslots:\" && /^  [0-9]+: / { k = k \" \" $1 + 0 }"
                   " s == \"Tokens:\" && /^  [0-9]+: / { t = t \" \" $1 + 0 \":\" $2 }"
                   " s == \"Tokens:\" && /Keyslot:/ { t = t \":\" $2 } END { printf \"keyslots%s tokens%s\", k, t }'")
      .out;
}

// The program with the real cryptsetup, `stdin_text` on its standard input.
program_result run_fed(const board &b, const std::vector<std::string> &args, const std::string &stdin_text = "")
{
  b.write("/stdin", stdin_text);
  inherited_state state{};
  state.stdin_path = b.path("/stdin");
  return run_tool({args, b.root, PEER_CRYPTSETUP_BIN, {"PEER_CRYPTSETUP_LOG=" + b.path("/children")}, ""}, state);
}

// The --status report of the image, and the value of one of its keys.
std::string status_of(const board &b, const std::string &image)
{
  return "\n" + run_with_real_cryptsetup(b, {"--status", image}).out;
}
std::string value_of(const std::string &report, const std::string &key)
{
  const size_t at = report.find("\n" + key + "=") + key.size() + 2;
  return at < key.size() + 2 ? "(none)" : report.substr(at, report.find('\n', at) - at);
}

// What the program's last cryptsetup child did, as the table names it.
std::string last_child(const board &b)
{
  const std::string calls = b.read("/children");
  const std::string call = calls.substr(calls.rfind('\n', calls.size() - 2) + 1);
  for (const char *action : {"--test-passphrase", "luksDump", "luksAddKey", "token import", "token remove",
                             "luksKillSlot", "open"})
    if (call.find(action) != std::string::npos)
      return action;
  return call;
}

TEST(key_lifecycle, recovery_key_rebind_and_rotation_keep_the_data)
{
  for (const std::string kind : {"ec -pkeyopt ec_paramgen_curve:P-256", "rsa:2048"}) {
    board b;
    make_nand_board(b);
    const std::string image = b.path("/d.img");
    b.image("/d.img", IMAGE_SIZE, 0);
    const std::string cert = make_vendor(b, kind);
    program_result r = run_with_real_cryptsetup(b, {"-n", "-f", "--escrow=" + cert, image, "c"});
    ASSERT_EQ(r.status, 0) << kind << r.out << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(layout(image), "keyslots 0 1 tokens 0:lockwarden-board:0 1:lockwarden-recovery:1");
    const std::string text = vendor_recovers(b, image);
    ASSERT_EQ(text.size(), 45u) << kind;
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(with_text(b, text, KEY_OPENS + image).status, 0) << kind;
    if (kind != "rsa:2048")
      continue;

    // Data in the payload, and the volume key that reads it, before and after.
    std::string volume = b.read("/d.img");
    for (size_t i = DATA_OFFSET; i < volume.size(); i += 4096)
      volume.replace(i, 8, "data" + std::to_string(1000 + i % 9000).substr(0, 4));
    b.write("/d.img", volume);
    const std::string data = volume.substr(DATA_OFFSET), key = with_text(b, text, VOLUME_KEY + image).out;
    ASSERT_NE(key, "");

    // Another key blob secret: the stored blob is refused, which a boot
    // script tells from the report; the recovery key binds the volume to the
    // board as it is now.
    b.write("/dev/caam_kb", "secret board-b\n");
    EXPECT_EQ(run_with_real_cryptsetup(b, {image, "c"}).status, 255);
    r = run_with_real_cryptsetup(b, {"--status", image});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.out.find("\nPRIMARY=refused\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nRECOVERY=yes\nBOARD_KEYSLOT=0\nSTRAY_KEYSLOTS=\n"), std::string::npos) << r.out;
    r = run_fed(b, {"--rebind", image, "c"}, text);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(layout(image), "keyslots 1 2 tokens 1:lockwarden-recovery:1 2:lockwarden-board:2");
    EXPECT_EQ(run_with_real_cryptsetup(b, {image, "c"}).status, 0);

    r = run_with_real_cryptsetup(b, {"--rotate", image, "c"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(layout(image), "keyslots 0 1 tokens 0:lockwarden-board:0 1:lockwarden-recovery:1");
    EXPECT_EQ(run_with_real_cryptsetup(b, {image, "c"}).status, 0);
    EXPECT_EQ(with_text(b, text, VOLUME_KEY + image).out, key);
    EXPECT_EQ(b.read("/d.img").substr(DATA_OFFSET), data);
    expect_no_leak(b);
    // The new keyslot's key derivation is --kdf's (the test cryptsetup's own fast one left out).
    r = run_tool({{"--rotate", "--kdf=minimal", image, "c"}, b.root, PEER_CRYPTSETUP_BIN, {"PEER_CRYPTSETUP_OWN_KDF=1"}, ""});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const std::string report = status_of(b, image);
    EXPECT_EQ(value_of(report, "KEYSLOT") + " " + value_of(report, "KDF"), "2 pbkdf2");
  }
}

// Refused before anything changes: the flash and both images byte for byte.
TEST(key_lifecycle, refusals_change_nothing)
{
  board b;
  make_nand_board(b);
  const std::string plain = b.path("/p.img"), escrowed = b.path("/d.img"), luks1 = b.path("/l.img");
  for (const char *name : {"/p.img", "/d.img", "/l.img"})
    b.image(name, IMAGE_SIZE, 0);
  const std::string cert = make_vendor(b, "rsa:2048");
  ASSERT_EQ(run_with_real_cryptsetup(b, {"-n" + KEY_TEXT, "-f", plain, "c"}).status, 0);
  ASSERT_EQ(run_with_real_cryptsetup(b, {"-f", "--escrow=" + cert, escrowed, "c"}).status, 0);
  b.write("/key", key_00_to_1f());
  ASSERT_EQ(run_shell(REAL + "-q --type luks1 --pbkdf-force-iterations 1000 -d " + b.path("/key") + " luksFormat " +
                      luks1).status,
            0);
  const std::string missing = b.path("/missing.pem");
  const struct {
    std::vector<std::string> args;
    std::string stdin_text, out;
  } rows[] = {
      {{"--rotate", plain, "c"}, "", "[ERROR] replace_board_key: " + plain + " has no recovery keyslot\n"
                                     "[ERROR] main: rotate key\n"},
      {{"--rebind", escrowed, "c"}, KEY_TEXT.substr(1) + "\n", "[ERROR] read_recovery_key: not a 44-character key "
                                                              "text\n[ERROR] main: rebind partition\n"},
      {{"--rebind", escrowed, "c"}, KEY_TEXT + "\n", "[ERROR] replace_board_key: recovery key does not open keyslot "
                                                     "1\n[ERROR] main: rebind partition\n"},
      {{"--escrow=" + cert, escrowed, "c"}, "", "[ERROR] add_recovery_key: " + escrowed + " already has a recovery "
                                                "key\n[ERROR] main: add recovery key\n"},
      {{"--escrow=" + cert, luks1, "c"}, "", "[ERROR] add_recovery_key: " + luks1 + " is not a LUKS2 volume\n"
                                             "[ERROR] main: add recovery key\n"},
      {{"-n", "-f", "--escrow", missing, plain, "c"}, "", "[ERROR] escrow_load_cert: cannot read " + missing +
                                                                ": No such file or directory\n"
                                                                "[ERROR] main: add recovery key\n"},
  };
  for (const auto &row : rows) {
    const std::string before = b.read("/dev/mtd2") + b.read("/p.img") + b.read("/d.img") + b.read("/l.img");
    const program_result r = run_fed(b, row.args, row.stdin_text);
    EXPECT_EQ(r.status, 255) << row.args[0];
    EXPECT_EQ(r.out, row.out);
    EXPECT_TRUE(before == b.read("/dev/mtd2") + b.read("/p.img") + b.read("/d.img") + b.read("/l.img"))
        << row.args[0];
  }
}

// A run killed after each child and each flash write, and cut between the
// erase and the program of the keyring block: the recovery key opens the
// volume, the stored key wherever its store had completed, and a second run
// of the same command finishes the job. The table goes to the output.
class power_cut : public testing::TestWithParam<const char *> {};

TEST_P(power_cut, leaves_a_way_in_and_a_second_run_finishes)
{
  const char *runner = getenv("LOCKWARDEN_TOOL_RUNNER");
  if (runner != nullptr && strstr(runner, "valgrind") != nullptr)
    GTEST_SKIP() << "some 30 runs each of two programs: minutes under memcheck";
  const std::string command = GetParam();
  const bool escrow = command == "escrow";
  board b;
  make_nand_board(b);
  const std::string image = b.path("/d.img");
  b.image("/d.img", IMAGE_SIZE, 0);
  const std::string cert = make_vendor(b, "rsa:2048");
  const std::vector<std::string> first = {"-n", "-f", "--escrow=" + cert, image, "c"};
  ASSERT_EQ(run_with_real_cryptsetup(b, escrow ? std::vector<std::string>{"-n", "-f", image, "c"} : first).status, 0);
  const std::string text = escrow ? "" : vendor_recovers(b, image);
  if (command == "rebind")
    b.write("/dev/caam_kb", "secret board-b\n");
  const std::string volume = b.read("/d.img"), flash = b.read("/dev/mtd2");
  const std::vector<std::string> run = {escrow ? "--escrow=" + cert : "--" + command, image, "c"};

  printf("%-6s %-39s %-9s %-7s %-7s %-7s %-11s %s\n", "run", "killed after", "recovery", "stored", "board", "stray",
         "second run", "header after it");
  auto cut = [&](const std::string &fault) {
    b.write("/d.img", volume);
    b.write("/dev/mtd2", flash);
    b.remove("/children");
    b.write("/faults", fault + "\n");
    program_result r = run_fed(b, run, text);
    b.remove("/faults");
    if (r.status != 137) {  // past the last kill point: a whole run
      EXPECT_EQ(r.status, 0) << fault << r.out << r.err;
      return false;
    }
    const std::string child = last_child(b);
    const bool erased = fault == "powercut_after_erase";
    const bool stored = b.read("/dev/mtd2") != flash && !erased;
    const std::string recovery = escrow ? vendor_recovers(b, image) : text;
    const bool recovery_opens = !recovery.empty() && with_text(b, recovery, KEY_OPENS + image).status == 0;
    // The report's key test is the open's.
    const std::string report = status_of(b, image);
    const bool stored_opens = value_of(report, "KEY_OPENS") == "yes";
    EXPECT_EQ(recovery_opens, !recovery.empty()) << fault;
    EXPECT_TRUE(escrow || recovery_opens) << fault;
    EXPECT_EQ(stored_opens, !erased && (stored || command != "rebind")) << fault;

    // Cut while the blob was rewritten, a rotation has no stored key left to
    // go on with: the recovery key finishes it.
    r = run_fed(b, run, text);
    const bool had_one = escrow && !recovery.empty(), rebind_after = erased && command == "rotate";
    EXPECT_EQ(r.status, had_one || rebind_after ? 255 : 0) << fault << r.out << r.err;
    if (had_one) {
      EXPECT_EQ(r.out, "[ERROR] add_recovery_key: " + image + " already has a recovery key\n"
                       "[ERROR] main: add recovery key\n");
    }
    if (rebind_after) {
      EXPECT_EQ(r.out, "[ERROR] get_plain_key: decrypt ioctl\n[ERROR] replace_board_key: recover key\n"
                       "[ERROR] main: rotate key\n");
      EXPECT_EQ(run_fed(b, {"--rebind", image, "c"}, text).status, 0);
    }
    const std::string after = layout(image);
    EXPECT_EQ(with_text(b, escrow ? vendor_recovers(b, image) : text, KEY_OPENS + image).status, 0) << fault;
    EXPECT_NE(after.find(":lockwarden-board:"), std::string::npos) << fault << after;
    EXPECT_EQ(after.find(":lockwarden-board:"), after.rfind(":lockwarden-board:")) << fault << after;
    const std::string final_report = status_of(b, image);
    EXPECT_EQ(value_of(final_report, "KEY_OPENS") + value_of(final_report, "RECOVERY"), "yesyes") << fault;
    EXPECT_EQ(value_of(final_report, "BOARD_KEYSLOT"), value_of(final_report, "KEYSLOT")) << fault;
    printf("%-6s %-39s %-9s %-7s %-7s %-7s %-11s %s\n", command.c_str(),
           (fault + (fault.compare(0, 16, "kill_after_child") == 0 ? " (" + child + ")" : "")).c_str(),
           recovery_opens ? "opens" : "none yet", stored_opens ? "opens" : "refused", value_of(report, "BOARD_KEYSLOT").c_str(), value_of(report, "STRAY_KEYSLOTS").c_str(),
           had_one ? "refused" : rebind_after ? "--rebind" : "finishes", after.c_str());
    return true;
  };
  for (int n = 1; cut("kill_after_child " + std::to_string(n)); n++)
    ASSERT_LT(n, 20);
  for (int n = 1; cut("kill_after_flash_write " + std::to_string(n)); n++)
    ASSERT_LT(n, 4);
  EXPECT_EQ(cut("powercut_after_erase"), !escrow);
  fflush(stdout);
}

INSTANTIATE_TEST_SUITE_P(commands, power_cut, testing::Values("rebind", "rotate", "escrow"));

}  // namespace
