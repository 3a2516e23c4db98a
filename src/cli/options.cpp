// SPDX-License-Identifier: MIT
#include "cli/options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

#include "cli/process_state.h"
#include "keyblob/key_blob_device.h"
#include "util/secure_wipe.h"
#include "usage_text.h"
#include "version.h"

namespace {

constexpr const char *PROGRAM_NAME = "lockwarden-tool";

// Long options without a short form: values past any character.
constexpr int OPTION_STATUS = 0x100;
constexpr int OPTION_ESCROW = 0x101;
constexpr int OPTION_REBIND = 0x102;
constexpr int OPTION_ROTATE = 0x103;

const option LONG_OPTIONS[] = {
    {"format", no_argument, nullptr, 'f'},
    {"newkey", optional_argument, nullptr, 'n'},
    {"status", no_argument, nullptr, OPTION_STATUS},
    {"escrow", required_argument, nullptr, OPTION_ESCROW},
    {"rebind", no_argument, nullptr, OPTION_REBIND},
    {"rotate", no_argument, nullptr, OPTION_ROTATE},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'v'},
    {"kdf", required_argument, nullptr, 'k'},
    {nullptr, 0, nullptr, 0},
};

// The key text, moved out of the argument strings, which every local user
// can read in /proc/PID/cmdline for as long as the run lasts. Only a text of
// KEY_BASE64_LEN characters is a key: one character more keeps a longer text
// as refused as it was.
char key_text[KEY_BASE64_LEN + 2];

void wipe_argument(char *argument)
{
  if (argument != nullptr)
    secure_wipe(argument, strlen(argument));
}

void keep_key_text(cli_options_record *options)
{
  if (options->new_key_base64 == nullptr)
    return;
  const size_t length = strnlen(options->new_key_base64, sizeof(key_text) - 1);
  memcpy(key_text, options->new_key_base64, length);
  key_text[length] = '\0';
  wipe_argument(options->new_key_base64);
  options->new_key_base64 = key_text;
}

// The usage text and the version line end the run before any step: a key
// text, in the arguments or already in the program's copy, is all there is
// to wipe, and the output ends as a full run's does.
void begin_early_output(const cli_options_record *options)
{
  wipe_argument(options->new_key_base64);
  ignore_broken_pipe();
}

[[noreturn]] void end_early_output(int status)
{
  flush_standard_output();
  exit(status);
}

[[noreturn]] void print_version(const cli_options_record *options)
{
  begin_early_output(options);
  printf("%s %s\n", PROGRAM_NAME, LOCKWARDEN_VERSION);
  end_early_output(0);
}

[[noreturn]] void usage(const cli_options_record *options, int status)
{
  begin_early_output(options);
  printf(USAGE_FORMAT, LOCKWARDEN_VERSION, PROGRAM_NAME, static_cast<int>(KEY_LEN));
  end_early_output(status);
}

bool parse_kdf(const char *value, luks_kdf *kdf)
{
  if (value == nullptr)
    return false;
  if (strcmp(value, "minimal") == 0)
    *kdf = KDF_MINIMAL;
  else if (strcmp(value, "default") == 0)
    *kdf = KDF_DEFAULT;
  else
    return false;
  return true;
}

// Where the positional arguments go. The report stands alone: it writes
// nothing, so it takes no -n or -f, and the device and the name are both
// optional. A word left over beside -n is most often a key text typed with a
// blank (-n TEXT): storing a random key in its place would lose the
// operator's key.
void take_arguments(cli_options_record *options, char *const positional[2], int positional_count)
{
  if (options->status && (options->new_key || options->do_format || positional_count > 2))
    usage(options, 1);
  if (options->status || positional_count == 2) {
    options->partition_device = positional[0];
    options->mapped_name = positional[1];
  } else if (!options->new_key || positional_count != 0) {
    usage(options, 1);
  }
}

// The options that only set what they name; false for an unknown one or
// a value it does not take.
bool take_option(int option_char, cli_options_record *options, bool *kdf_given)
{
  switch (option_char) {
  case 'k':
    *kdf_given = true;
    return parse_kdf(optarg, &options->kdf);
  case 'f':
    options->do_format = true;
    return true;
  case OPTION_STATUS:
    options->status = true;
    return true;
  case OPTION_ESCROW:
    options->escrow_cert = optarg;
    return true;
  case OPTION_REBIND:
    options->rebind = true;
    return true;
  case OPTION_ROTATE:
    options->rotate = true;
    return true;
  default:
    return false;
  }
}

// The new key lifecycle's options stand only where they mean something, with
// both arguments: --rebind and --rotate alone (each replaces the board key
// of a volume that is there already), --escrow alone or with -f (and then
// with or without -n).
bool lifecycle_options_fit(const cli_options_record *options)
{
  const bool replace = options->rebind || options->rotate;
  if (!replace && options->escrow_cert == nullptr)
    return true;
  if (options->status || !has_partition_work(options) || (options->rebind && options->rotate))
    return false;
  if (replace)
    return !options->new_key && !options->do_format && options->escrow_cert == nullptr;
  return options->do_format || !options->new_key;
}

}  // namespace

void parse_options(int argc, char **argv, cli_options_record *options)
{
  if (argc == 1)
    usage(options, 0);

  // The leading '-' hands each positional argument over in place (as 1),
  // whatever POSIXLY_CORRECT says; gathering them here is the permutation
  // the command line is documented with.
  char *positional[2] = {nullptr, nullptr};
  int positional_count = 0;
  bool kdf_given = false;
  int option_char;
  while ((option_char = getopt_long(argc, argv, "-fn::", LONG_OPTIONS, nullptr)) != -1) {
    switch (option_char) {
    case 1:
      if (positional_count < 2)
        positional[positional_count] = optarg;
      positional_count++;
      break;
    case 'h':
      usage(options, 0);
    case 'v':
      print_version(options);
    case 'n':
      options->new_key = true;
      if (optarg != nullptr) {
        wipe_argument(options->new_key_base64);  // a later value replaces it
        options->new_key_base64 = optarg;
      }
      break;
    default:
      if (!take_option(option_char, options, &kdf_given))
        usage(options, 1);
    }
  }

  for (int index = optind; index < argc; index++) {  // behind a lone --
    if (positional_count < 2)
      positional[positional_count] = argv[index];
    positional_count++;
  }
  keep_key_text(options);

  // A key derivation is a choice for the keyslots a run adds: the format's,
  // and those of the key lifecycle.
  if (kdf_given && !options->do_format && !options->rebind && !options->rotate && options->escrow_cert == nullptr)
    usage(options, 1);
  take_arguments(options, positional, positional_count);
  if (!lifecycle_options_fit(options))
    usage(options, 1);
}

void wipe_key_text(cli_options_record *options)
{
  secure_wipe(key_text, sizeof(key_text));
  options->new_key_base64 = nullptr;
}
