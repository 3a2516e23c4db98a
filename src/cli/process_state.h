// SPDX-License-Identifier: MIT
#pragma once

// What a run inherits from its caller and how it ends its output: settled at
// the start of main, and at every end of the run (main's, and the usage text's
// and version line's in cli/options.cpp).

// Descriptors 0 to 2 open (on /dev/null where they were closed), SIGCHLD at
// its default and no signal blocked, before anything else is opened or started.
void begin_run();

// Only once no child follows: children inherit an ignored SIGPIPE.
void ignore_broken_pipe();

// Flushes standard output; a failure is reported on standard error.
void flush_standard_output();
