#pragma once

struct cli_options_record {
  bool do_format;
  bool new_key;
  char *new_key_base64;  // points into argv; main wipes it in place
  char *partition_device;
  char *mapped_name;
};

extern cli_options_record cli_options;

void parse_options(int argc, char **argv);
[[noreturn]] void usage(int status);
