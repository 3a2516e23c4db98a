// SPDX-License-Identifier: MIT
#pragma once

struct cli_options_record {
  bool do_format;
  bool new_key;
  char *new_key_base64;  // the program's own copy: the argument strings hold zeros
  char *partition_device;
  char *mapped_name;
};

extern cli_options_record cli_options;

// Fills cli_options; every key text in the arguments is zeroed in place.
void parse_options(int argc, char **argv);
[[noreturn]] void usage(int status);
// Wipes the key text and ends the output.
void end_run();
