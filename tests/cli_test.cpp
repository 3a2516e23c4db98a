// SPDX-License-Identifier: MIT
#include <string>

#include <gtest/gtest.h>

#include "support/cases.h"

#include "support/run_program.h"
#include "support/test_data.h"
#include "version.h"

namespace {

// The usage text the program prints: its one copy, filled in as the program
// fills it (version, program name, key length).
std::string filled_usage_text()
{
  std::string text = read_whole_file(USAGE_TEXT_FILE);
  for (const char *value : {LOCKWARDEN_VERSION, "lockwarden-tool"})
    text.replace(text.find("%s"), 2, value);
  text.replace(text.find("%d"), 2, "32");
  return text;
}
const std::string USAGE_TEXT = filled_usage_text();

const std::string VERSION_TEXT = "lockwarden-tool " LOCKWARDEN_VERSION "\n";

struct usage_case {
  const char *name;
  std::vector<std::string> args;
  int status;
  const char *diagnostic;  // expected in stderr; empty: stderr must be empty
  const std::string *out = &USAGE_TEXT;
};

const usage_case USAGE_CASES[] = {
    {"no_arguments", {}, 0, ""},
    {"help", {"--help"}, 0, ""},
    {"help_prefix", {"--he"}, 0, ""},
    {"help_after_format", {"-f", "--help"}, 0, ""},
    {"version", {"--version"}, 0, "", &VERSION_TEXT},
    {"version_prefix", {"--v"}, 0, "", &VERSION_TEXT},
    {"version_before_help", {"-nAAAA", "--version", "--help"}, 0, "", &VERSION_TEXT},
    {"help_before_version", {"--help", "--version"}, 0, ""},
    {"short_v_is_no_option", {"-v"}, 1, "invalid option -- 'v'"},
    {"version_with_value", {"--version=1"}, 1, "option '--version' doesn't allow an argument"},
    {"short_h_is_no_option", {"-h"}, 1, "invalid option -- 'h'"},
    {"unknown_short", {"-x"}, 1, "invalid option -- 'x'"},
    {"unknown_long", {"--foo"}, 1, "unrecognized option '--foo'"},
    {"unknown_before_help", {"--foo", "--help"}, 1, "unrecognized option '--foo'"},
    {"format_with_value", {"--format=yes"}, 1, "option '--format' doesn't allow an argument"},
    {"help_with_value", {"--help=1"}, 1, "option '--help' doesn't allow an argument"},
    {"format_alone", {"-f"}, 1, ""},
    {"format_one_argument", {"-f", "/dev/mmcblk0p3"}, 1, ""},
    {"one_argument", {"/dev/mmcblk0p3"}, 1, ""},
    {"three_arguments", {"/dev/mmcblk0p3", "cryptroot", "extra"}, 1, ""},
    {"ambiguous_nothing_after_dashes", {"--", "/dev/mmcblk0p3"}, 1, ""},
    // Beside -n only none or both positional arguments: "-n TEXT" is a key
    // text typed with a blank, not a request for a random key.
    {"new_key_with_a_detached_text", {"-n", "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8="}, 1, ""},
    {"new_key_with_three_arguments", {"-n", "/dev/mmcblk0p3", "cryptroot", "extra"}, 1, ""},
    {"long_new_key_with_one_argument", {"--newkey", "/dev/mmcblk0p3"}, 1, ""},
    // The report writes nothing and takes at most a device and a name.
    {"status_with_format", {"--status", "-f", "/dev/mmcblk0p3", "cryptroot"}, 1, ""},
    {"status_with_a_new_key", {"-n", "--status"}, 1, ""},
    {"status_with_three_arguments", {"--status", "/dev/mmcblk0p3", "cryptroot", "extra"}, 1, ""},
    // A key derivation only for a keyslot the run makes, and only one of the two.
    {"kdf_without_format", {"--kdf=minimal", "/dev/mmcblk0p3", "cryptroot"}, 1, ""},
    {"kdf_unknown", {"-f", "--kdf=argon2id", "/dev/mmcblk0p3", "cryptroot"}, 1, ""},
    {"kdf_without_value", {"-f", "/dev/mmcblk0p3", "cryptroot", "--kdf"}, 1, "option '--kdf' requires an argument"},
    // The lifecycle options need both arguments and go together with little.
    {"rebind_one_argument", {"--rebind", "/dev/mmcblk0p3"}, 1, ""},
    {"rebind_with_new_key", {"--rebind", "-n", "/dev/mmcblk0p3", "cryptroot"}, 1, ""},
    {"rebind_with_status", {"--status", "--rebind", "/dev/mmcblk0p3", "cryptroot"}, 1, ""},
    {"rebind_and_rotate", {"--rebind", "--rotate", "/dev/mmcblk0p3", "cryptroot"}, 1, ""},
    {"rotate_with_format", {"--rotate", "-f", "/dev/mmcblk0p3", "cryptroot"}, 1, ""},
    {"rotate_with_escrow", {"--rotate", "--escrow=v.pem", "/dev/mmcblk0p3", "cryptroot"}, 1, ""},
    {"rotate_with_value", {"--rotate=1", "/dev/mmcblk0p3", "cryptroot"}, 1, "option '--rotate' doesn't allow an"},
    {"escrow_without_value", {"--escrow"}, 1, "option '--escrow' requires an argument"},
    {"escrow_without_arguments", {"-n", "-f", "--escrow=v.pem"}, 1, ""},
    {"kdf_with_rotate_and_open", {"--kdf=minimal", "--rotate", "/dev/mmcblk0p3", "cryptroot", "x"}, 1, ""},
    {"escrow_with_new_key_but_no_format", {"-n", "--escrow=v.pem", "/dev/mmcblk0p3", "cryptroot"}, 1, ""},
};

class usage_text : public testing::TestWithParam<usage_case> {};

TEST_P(usage_text, is_printed_byte_for_byte_with_its_status)
{
  const usage_case &c = GetParam();
  program_result r = run_tool({c.args, "", "", {}, ""});
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(r.out, *c.out);
  if (c.diagnostic[0] == '\0') {
    EXPECT_EQ(r.err, "");
  } else {
    EXPECT_NE(r.err.find(c.diagnostic), std::string::npos) << r.err;
  }
}

NAMED_CASES(usage_text, usage_case, USAGE_CASES);

TEST(command_line, empty_attached_key_text_fails_its_length_check)
{
  program_result r = run_tool({{"--newkey="}, "", "", {}, ""});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "[ERROR] generate_key: base64 key length\n[ERROR] main: generate key\n");
  EXPECT_EQ(r.err, "");
}

TEST(command_line, short_key_text_fails_before_touching_the_board)
{
  program_result r = run_tool({{"-nQUFBQQ==", "/dev/mmcblk0p3", "cryptroot"}, "", "", {}, ""});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "[ERROR] generate_key: base64 key length\n[ERROR] main: generate key\n");
}

}  // namespace
