// quorvel-check PATH: tells, site by site, what the Quorvel Icons plug-in
// would do with the VHud.asi at PATH, and the log lines it would write.
// quorvel-check --log LOG (or a path ending in .log): explains what the
// plug-in did in the game that wrote LOG (check/log_explain.h); both may be
// given. quorvel-check --version prints the version. The Windows build
// without PATH checks the VHud.asi beside it (or in the current folder),
// then explains the Quorvel_Icons.log found the same way, and in a console
// of its own waits for Enter before it ends (tools/check/explorer.h).
//
// Exit codes: 0 every patch would go in and the log shows nothing to act
// on; 1 some patch would be skipped (or the radar and wheel bytes lie past
// the image), or the log shows a problem a player can act on; 2 the file is
// not a usable PE32 image or cannot be read, or the log cannot be read or is
// not this build's (or the report cannot be written, or, without PATH, there
// is neither file); 64 wrong command line. With both files, the higher.
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
  // Double-clicked: the VHud.asi and the log nearby. No VHud.asi is an
  // error even when a log is explained.
  std::string vhud, log, error, noLog;
  const char* nearby[4] = {argv[0]};
  bool noVHud = false;
  if (argc == 1) {
    noVHud = !check::FindNearby("VHud.asi", &vhud, &error);
    const bool hasLog = check::FindNearby("Quorvel_Icons.log", &log, &noLog);
    if (noVHud) {
      fprintf(stderr, "quorvel-check: %s\n", error.c_str());
      if (!hasLog) {
        return check::kExitBadImage;
      }
    } else {
      nearby[argc++] = vhud.c_str();
    }
    if (hasLog) {
      nearby[argc++] = "--log";
      nearby[argc++] = log.c_str();
    }
    args = nearby;
  }
#endif
  check::CommandOutput run = check::RunCommand(argc, args);
#ifdef _WIN32
  if (noVHud && run.exitCode < check::kExitBadImage) {
    run.exitCode = check::kExitBadImage;
  }
#endif
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
