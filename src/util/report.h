// SPDX-License-Identifier: MIT
#pragma once

// Error lines on standard output, "[ERROR] <scope>: <message>\n". The scope
// names the step as the boards' logs and the callers that match the lines
// know it, whatever function now prints it: grep a scope for its lines.
constexpr const char *SCOPE_MAIN = "main";
constexpr const char *SCOPE_GENERATE_KEY = "generate_key";
constexpr const char *SCOPE_COMPUTE_KEYMOD = "compute_keymod";
constexpr const char *SCOPE_GET_PLAIN_KEY = "get_plain_key";
constexpr const char *SCOPE_READ_AND_VERIFY_KEY = "read_and_verify_key";
constexpr const char *SCOPE_ESCROW_LOAD_CERT = "escrow_load_cert";
constexpr const char *SCOPE_ESCROW_SEAL_KEY = "escrow_seal_key";
constexpr const char *SCOPE_CHECK_CMDLINE = "check_cmdline_for_nand";
constexpr const char *SCOPE_INIT_KEYDEV = "init_keydev_and_offset";
constexpr const char *SCOPE_FWENV = "get_keydev_and_offset_from_fwenv";
constexpr const char *SCOPE_KEYRING_STORE = "keyring_store";
constexpr const char *SCOPE_IS_BAD_BLOCK = "is_bad_block";
constexpr const char *SCOPE_ISLUKS = "cryptsetup_isLuks";
constexpr const char *SCOPE_FORMAT = "cryptsetup_format";
constexpr const char *SCOPE_OPEN = "cryptsetup_open";
constexpr const char *SCOPE_ADD_KEYSLOT = "cryptsetup_luksAddKey";
constexpr const char *SCOPE_KILL_KEYSLOT = "cryptsetup_luksKillSlot";
constexpr const char *SCOPE_TOKEN = "cryptsetup_token";
constexpr const char *SCOPE_READ_RECOVERY_KEY = "read_recovery_key";
constexpr const char *SCOPE_ADD_RECOVERY_KEY = "add_recovery_key";
constexpr const char *SCOPE_REPLACE_BOARD_KEY = "replace_board_key";

// Prints the line and returns -1: a failing step ends with
//   return report_error(SCOPE_KEYRING_STORE, "open keyring device");
__attribute__((format(printf, 2, 3))) int report_error(const char *scope, const char *format, ...);
