#include "cli/options.h"

#include <cstdio>
#include <cstdlib>
#include <getopt.h>

#include "keyblob/key_blob_device.h"
#include "version.h"

cli_options_record cli_options = {false, false, nullptr, nullptr, nullptr};

namespace {

constexpr const char *PROGRAM_NAME = "lockwarden-tool";

const option LONG_OPTIONS[] = {
    {"format", no_argument, nullptr, 'f'},
    {"newkey", optional_argument, nullptr, 'n'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

}  // namespace

void usage(int status)
{
  printf("Lockwarden command line tool for file systems encryption.\n"
         "\n"
         "Version: %s\n"
         "\n"
         "Usage: %s [options] [<partition-device> <mapped-name>]\n"
         "\n"
         "  -f  --format             Initialize encrypted MMC partition\n"
         "  -n  --newkey=[<STRING>]  Add new key (overwrite previous)\n"
         "      --help               Print help and exit\n"
         "\n"
         "<partition-device>  Encrypted physical partition device\n"
         "<partition-name>    Encrypted partition name\n"
         "[<STRING>]          Base64 encoding of a %d bytes binary key\n"
         "                    Generate a random key if not provided\n"
         "\n",
         LOCKWARDEN_VERSION, PROGRAM_NAME, static_cast<int>(KEY_LEN));
  exit(status);
}

void parse_options(int argc, char **argv)
{
  if (argc == 1)
    usage(0);

  int option_char;
  while ((option_char = getopt_long(argc, argv, "fn::", LONG_OPTIONS, nullptr)) != -1) {
    switch (option_char) {
    case 'h':
      usage(0);
    case 'n':
      cli_options.new_key = true;
      if (optarg != nullptr)
        cli_options.new_key_base64 = optarg;
      break;
    case 'f':
      cli_options.do_format = true;
      break;
    default:
      usage(1);
    }
  }

  // A word left over beside -n is most often a key text typed with a blank
  // (-n TEXT): storing a random key in its place would lose the operator's key.
  const int positional = argc - optind;
  if (positional == 2) {
    cli_options.partition_device = argv[optind];
    cli_options.mapped_name = argv[optind + 1];
  } else if (!cli_options.new_key || positional != 0) {
    usage(1);
  }
}
