// wharfline-convert: thin main; the real engine and the terminal.
#include <cstdio>
#include <exception>

#include "cli/convert_command.h"
#include "run/engine.h"

int main(int argc, char** argv) {
  try {
    convert::PstEngine engine;
    return cli::RunConvertCommand(argc, argv, engine.engine(), stdout, stderr);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "wharfline-convert: %s\n", error.what());
    return cli::kExitUsage;
  }
}
