// quorvel-check PATH: tells, site by site, what the Quorvel Icons plug-in
// would do with the VHud.asi at PATH, and the log lines it would write.
// quorvel-check --version prints the version. The Windows build without PATH
// checks the VHud.asi beside it (or in the current folder), and in a console
// of its own waits for Enter before it ends (tools/check/explorer.h).
//
// Exit codes: 0 every patch would go in; 1 some patch would be skipped (or
// the radar and wheel bytes lie past the image); 2 the file is not a usable
// PE32 image or cannot be read (or the report cannot be written, or, without
// PATH, there is none); 64 wrong command line.
#include <stdio.h>
#include <string.h>

#include <string>

#include "check/check.h"
#include "check/command.h"
#include "qi_version.h"
#ifdef _WIN32
#include "check/explorer.h"
#endif

namespace {

int Run(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    printf("quorvel-check %s\n", QI_VERSION);
    return fflush(stdout) == 0 ? check::kExitAllGoIn : check::kExitBadImage;
  }
  const char* const* args = argv;
#ifdef _WIN32
  std::string nearby;
  const char* withNearby[2] = {argv[0], nullptr};
  if (argc == 1) {
    std::string error;
    if (!check::FindVHudNearby(&nearby, &error)) {
      fprintf(stderr, "quorvel-check: %s\n", error.c_str());
      return check::kExitBadImage;
    }
    withNearby[1] = nearby.c_str();
    args = withNearby;
    argc = 2;
  }
#endif
  const check::CommandOutput run = check::RunCommand(argc, args);
  fputs(run.err.c_str(), stderr);
  if (fwrite(run.out.data(), 1, run.out.size(), stdout) != run.out.size() || fflush(stdout) != 0) {
    return check::kExitBadImage;
  }
  return run.exitCode;
}

}  // namespace

int main(int argc, char** argv) {
  const int code = Run(argc, argv);
#ifdef _WIN32
  // Started from Explorer, the console window closes when the program ends.
  if (check::OwnsConsole()) {
    check::WaitForEnter();
  }
#endif
  return code;
}
