// wharfline-convert: the conversion run from the command line. Takes message files and folders
// (walked and filtered as the add-folder command does), converts them into a new store in the
// output folder with the same engine as the window, reports progress and a closing summary.
// Exit status: 0 every file imported (or left out as the options ask), 1 some failed or the store is incomplete, 2 usage error or
// no store could be made, 128 + the signal's number when SIGINT or SIGTERM stopped the run.
#pragma once

#include <cstdio>

#include "run/engine.h"

namespace cli {

inline constexpr int kExitAllImported = 0;
inline constexpr int kExitSomeFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = 128;  // plus the signal's number

// Runs the command line. engine is what the run converts with; out takes the summary
// and the store's path (its last line), err the progress and the messages.
int RunConvertCommand(int argc, char** argv, convert::Engine engine, std::FILE* out,
                      std::FILE* err);

}  // namespace cli
