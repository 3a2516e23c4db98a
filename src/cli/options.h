// SPDX-License-Identifier: MIT
#pragma once

#include "volume/cryptsetup.h"

// What the command line asks for; parse_options fills it.
struct cli_options_record {
  bool do_format = false;
  bool new_key = false;
  bool status = false;  // --status: the report, nothing else
  char *new_key_base64 = nullptr;  // the program's own copy: the argument strings hold zeros
  char *partition_device = nullptr;
  char *mapped_name = nullptr;
  const char *escrow_cert = nullptr;  // --escrow: the vendor's certificate or public key
  bool rebind = false;                // --rebind: a new board key, authorised by the recovery key
  bool rotate = false;                // --rotate: a new board key, authorised by the stored key
  luks_kdf kdf = BUILD_KDF;           // of the keyslots the run adds: --kdf, else the build's
};

// Fills `options`, every key text in the arguments zeroed in place, or ends
// the run with the usage text (status 0 or 1) or the version line.
void parse_options(int argc, char **argv, cli_options_record *options);

// Both positional arguments: a partition to format or open.
inline bool has_partition_work(const cli_options_record *options)
{
  return options->partition_device != nullptr && options->mapped_name != nullptr;
}

// Wipes the program's copy of the key text, at the end of the run.
void wipe_key_text(cli_options_record *options);
