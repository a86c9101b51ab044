// wharfline-convert: thin main; the real mail components and the terminal.
#include <cstdio>
#include <exception>

#include "cli/convert_command.h"
#include "run/mail_components.h"

int main(int argc, char** argv) {
  try {
    convert::PstMailComponents mail;
    return cli::RunConvertCommand(argc, argv, mail.components(), stdout, stderr);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "wharfline-convert: %s\n", error.what());
    return cli::kExitUsage;
  }
}
