// SPDX-License-Identifier: MIT
#pragma once

// What a run inherits from its caller and how it ends its output: kept at the
// start and the end of main, and before the usage text.

// Descriptors 0 to 2 open (on /dev/null where they were closed), SIGCHLD at
// its default and no signal blocked, before anything else is opened or started.
void begin_run();

// Wipes the key text, releases the keyring location and ends the output.
void end_run();

// Only once no child follows: children inherit an ignored SIGPIPE.
void ignore_broken_pipe();

// Flushes standard output; a failure is reported on standard error.
void flush_standard_output();
