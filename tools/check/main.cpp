// quorvel-check PATH: tells, site by site, what the Quorvel Icons plug-in
// would do with the VHud.asi at PATH, and the log lines it would write.
//
// Exit codes: 0 every patch would go in; 1 some patch would be skipped (or
// the radar and wheel bytes lie past the image); 2 the file is not a usable
// PE32 image or cannot be read (or the report cannot be written); 64 wrong
// command line.
#include <stdio.h>

#include "check/check.h"
#include "check/command.h"

int main(int argc, char** argv) {
  const check::CommandOutput run = check::RunCommand(argc, argv);
  fputs(run.err.c_str(), stderr);
  if (fwrite(run.out.data(), 1, run.out.size(), stdout) != run.out.size() || fflush(stdout) != 0) {
    return check::kExitBadImage;
  }
  return run.exitCode;
}
