// The stand-in game executable. Its image (base 0x400000, never relocated)
// covers the game's fixed addresses; it builds the game's code and data
// there, then works as the game's plug-in loader: it loads "VHud.asi" and the
// plug-in with LoadLibraryA (the plug-in relocated unless a step says
// otherwise), waits for the plug-in's worker to redirect the
// HUD jump, runs HUD frames through 0x58FAE0 as the game does, and finally
// frees the plug-in. What it sees is written as a trace of JSON lines
// (trace.h). After every step and every frame it reads the lines the plug-in
// has added to its log since the last look.
//
// Usage: standin_game.exe [--out FILE] [--screen WxH] [--steps FILE] [STEP...]
// The steps (scenario.cpp) run in order; without any, a short default
// scenario runs.
#include <stdio.h>
#include <string.h>

#include "standin/wine/game.h"

int main(int argc, char** argv) {
  game::StartClock();
  std::vector<std::string> steps;
  int32_t width = 1920;
  int32_t height = 1080;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--out") == 0 && i + 1 < argc) {
      if (!game::OpenTrace(argv[++i])) {
        game::Fail(game::kExitUsage, "cannot open the output file");
      }
    } else if (strcmp(argv[i], "--screen") == 0 && i + 1 < argc) {
      long w = 0;
      long h = 0;
      char extra = 0;
      if (sscanf(argv[++i], "%ldx%ld%c", &w, &h, &extra) != 2) {
        game::Fail(game::kExitUsage, "--screen wants WIDTHxHEIGHT");
      }
      width = static_cast<int32_t>(w);
      height = static_cast<int32_t>(h);
    } else if (strcmp(argv[i], "--steps") == 0 && i + 1 < argc) {
      game::ReadStepFile(argv[++i], &steps);
    } else {
      steps.push_back(argv[i]);
    }
  }
  if (steps.empty()) {
    steps = game::DefaultSteps();
  }
  game::CheckOwnImage();
  game::BuildGame(width, height);
  game::RunSteps(steps);
  game::Emit(game::Event("end"));
  game::CloseTrace();
  return 0;
}
