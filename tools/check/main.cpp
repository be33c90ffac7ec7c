// quorvel-check PATH: tells, site by site, what the Quorvel Icons plug-in
// would do with the VHud.asi at PATH, and the log lines it would write.
// quorvel-check --log LOG (or a path ending in .log): explains what the
// plug-in did in the game that wrote LOG (check/log_explain.h); both may be
// given. quorvel-check --game FOLDER: checks the install in the game folder
// (check/install.h). quorvel-check --version prints the version. The Windows
// build without arguments checks the install in the folder it stands in (or,
// when no VHud.asi is there, in the current folder), and in a console of its
// own waits for Enter before it ends (tools/check/explorer.h).
//
// Exit codes: 0 every patch would go in and the log shows nothing to act
// on; 1 some patch would be skipped (or the radar and wheel bytes lie past
// the image), or the log or the install shows a problem a player can act
// on; 2 the file is not a usable PE32 image or cannot be read, or the log
// cannot be read or is not this build's (or the report cannot be written, or
// the install has no VHud.asi); 64 wrong command line. With both files, the
// higher.
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

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
#ifdef _WIN32
  // Every argument as UTF-8, from the wide command line; double-clicked, the
  // game folder nearby.
  const std::vector<std::string> wide = check::WideArguments();
  check::UseUtf8Console();
  std::vector<const char*> args;
  for (const std::string& a : wide) {
    args.push_back(a.c_str());
  }
  std::string folder;
  if (args.size() == 1) {
    folder = check::GameFolderNearby();
    args.push_back("--game");
    args.push_back(folder.c_str());
  }
  check::CommandOutput run = check::RunCommand(static_cast<int>(args.size()), args.data());
#else
  check::CommandOutput run = check::RunCommand(argc, argv);
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
  check::RestoreConsole();
#endif
  return code;
}
