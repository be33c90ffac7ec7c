// The steps the stand-in game carries out, in order:
//   vhud                 LoadLibraryA("VHud.asi")
//   plugin               LoadLibraryA("Quorvel_Icons.asi"), its preferred
//                        range reserved first, so that it loads relocated
//   plugin-at-image-base LoadLibraryA("Quorvel_Icons.asi"), its preferred
//                        range left free, so that it loads at its ImageBase
//   wait-hook MS         wait until the HUD jump no longer leads to VHud's
//                        HUD routine (the plug-in's hook), at most MS ms
//   sleep MS             Sleep(MS)
//   player HEALTH|none   the player record QueryPlayerPed returns: the
//                        current record with this health, or none
//   new-player HEALTH    another player record, with this health
//   icons valid|none|health-only
//                        what VHudLoadSprite returns for the two icons
//   screen W H           screen size
//   menu|frozen|hud|widescreen|cutscene 0|1   the game's flags
//   wheel 0|1            VHud's wheel byte
//   radar 0|1            VHud's radar byte
//   frames N             N HUD frames
//   bench N              N HUD frames back to back, reported as one timing
//   restore              another party puts back VHud's original bytes at
//                        the three wheel sites and the game's HUD jump
//   wait-repatch MS      wait until every site of the last restore holds
//                        the plug-in's bytes again and the worker's sleeps
//                        tell in which of its passes, at most MS ms
//   patches              report which of the plug-in's patches are in place
//   note TEXT            a note in the trace (in a step file TEXT is the
//                        rest of the line)
//   free                 FreeLibrary of the plug-in; the game goes on
//   wait-passes N MS     wait until the worker has begun N more sleeps, at
//                        most MS ms
//   vhud-attached 0|1    clear or set the flag of VHud's loader entry that
//                        tells that its entry point has been called
//   vhud-copy            a second "VHud.asi", never initialised, ahead of
//                        the real one in the loader list
//   churn 0|1            stop or start a thread that loads and frees
//                        standin_churn.dll in a loop
//   wait-churn N MS      wait until the DLL was loaded and freed N times in
//                        all, at most MS ms
//   log-race N MS        frames back to back, the menu flag changing every
//                        frame, the HUD jump put back at VHud at the end of
//                        each worker sleep, until N more worker sleeps
//   foreign-jumps        another wheel mod puts E9 jumps to code of its own
//                        on the first five centre-text sites; before "plugin"
//   undo-lift            the plug-in's next lift of the HUD jump's protection
//                        is undone before its store (once); before "plugin"
//   plugin-copy NAME marked|unmarked
//                        the plug-in's file copied to NAME in the working
//                        folder (its copy mark removed, as 1.0.0 was, when
//                        unmarked) and loaded with LoadLibraryA
//   calls                report the counted CreateThread, VirtualProtect and
//                        CreateFileA calls of each copy (by the module their
//                        return address lies in)
//   unload               FreeLibrary of the plug-in, then exit
// The MS of a wait step (wait-*, log-race) is its limit, which only ends a
// wait whose event never comes: it is multiplied by QI_WAIT_SCALE (a whole
// number, 1 when unset), the factor of the tests' time limits on a slow
// machine. A sleep is a length, not a limit, and is not scaled.
// A step file holds the same words separated by blanks and line ends; a
// word starting with '#' comments out the rest of its line.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "standin/game_image.h"
#include "standin/wine/game.h"

namespace game {
namespace {

uint32_t Count(const std::vector<std::string>& steps, size_t* i) {
  if (*i + 1 >= steps.size()) {
    Fail(kExitUsage, "a step lacks its number");
  }
  ++*i;
  return static_cast<uint32_t>(strtoul(steps[*i].c_str(), nullptr, 0));
}

uint32_t Limit(const std::vector<std::string>& steps, size_t* i) {
  static const uint32_t scale = [] {
    char text[16] = "";
    DWORD n = GetEnvironmentVariableA("QI_WAIT_SCALE", text, sizeof(text));
    uint32_t v =
        (n > 0 && n < sizeof(text)) ? static_cast<uint32_t>(strtoul(text, nullptr, 10)) : 0;
    return v == 0 ? 1u : v;
  }();
  return Count(steps, i) * scale;
}

const char* Word(const std::vector<std::string>& steps, size_t* i) {
  if (*i + 1 >= steps.size()) {
    Fail(kExitUsage, "a step lacks its value");
  }
  ++*i;
  return steps[*i].c_str();
}

}  // namespace

std::vector<std::string> DefaultSteps() {
  return {"vhud",  "plugin", "wait-hook", "10000", "player", "100",    "icons",
          "valid", "frames", "3",         "wheel", "1",      "frames", "2",
          "wheel", "0",      "frames",    "1",     "unload"};
}

void RunSteps(const std::vector<std::string>& steps) {
  for (size_t i = 0; i < steps.size(); ++i) {
    const std::string& s = steps[i];
    if (s == "vhud") {
      LoadVhud();
    } else if (s == "plugin" || s == "plugin-at-image-base") {
      LoadPlugin(s != "plugin");
    } else if (s == "wait-hook") {
      WaitHook(Limit(steps, &i));
    } else if (s == "sleep") {
      Sleep(Count(steps, &i));
    } else if (s == "player") {
      SetPlayer(Word(steps, &i), false);
    } else if (s == "new-player") {
      SetPlayer(Word(steps, &i), true);
    } else if (s == "icons") {
      SetIcons(Word(steps, &i));
    } else if (s == "screen") {
      int32_t w = static_cast<int32_t>(strtol(Word(steps, &i), nullptr, 0));
      int32_t h = static_cast<int32_t>(strtol(Word(steps, &i), nullptr, 0));
      SetScreenSize(w, h);
    } else if (s == "menu" || s == "frozen" || s == "hud" || s == "widescreen" || s == "cutscene") {
      SetGameFlag(s, static_cast<uint8_t>(Count(steps, &i)));
    } else if (s == "wheel" || s == "radar") {
      SetVhudFlag(s, static_cast<uint8_t>(Count(steps, &i)));
    } else if (s == "frames") {
      RunFrames(Count(steps, &i));
    } else if (s == "bench") {
      BenchFrames(Count(steps, &i));
    } else if (s == "restore") {
      Restore();
    } else if (s == "wait-repatch") {
      WaitRepatch(Limit(steps, &i));
    } else if (s == "patches") {
      ReportPatches();
    } else if (s == "note") {
      Json line = Event("note");
      line["text"] = Text(Word(steps, &i));
      Emit(line);
    } else if (s == "free") {
      FreePlugin();
    } else if (s == "wait-passes") {
      uint32_t passes = Count(steps, &i);
      WaitPasses(passes, Limit(steps, &i));
    } else if (s == "vhud-attached") {
      SetVhudAttached(Count(steps, &i));
    } else if (s == "vhud-copy") {
      LoadVhudCopy();
    } else if (s == "churn") {
      SetChurn(Count(steps, &i));
    } else if (s == "wait-churn") {
      uint32_t cycles = Count(steps, &i);
      WaitChurn(cycles, Limit(steps, &i));
    } else if (s == "log-race") {
      uint32_t passes = Count(steps, &i);
      LogRace(passes, Limit(steps, &i));
    } else if (s == "foreign-jumps") {
      PlaceForeignJumps();
    } else if (s == "undo-lift") {
      UndoNextHudJumpLift();
    } else if (s == "plugin-copy") {
      const char* name = Word(steps, &i);
      LoadPluginCopy(name, strcmp(Word(steps, &i), "marked") == 0);
    } else if (s == "calls") {
      ReportCalls();
    } else if (s == "unload") {
      Unload();
    } else {
      std::string what = "unknown step: " + s;
      Fail(kExitUsage, what.c_str());
    }
    ReportLog();
  }
}

// Words separated by blanks and line ends; '#' at the start of a word
// comments out the rest of the line; "note" takes the rest of its line as
// one word.
void ReadStepFile(const char* path, std::vector<std::string>* steps) {
  FILE* f = fopen(path, "rb");
  if (f == nullptr) {
    Fail(kExitUsage, "cannot open the step file");
  }
  std::string word;
  bool comment = false;
  bool note = false;
  for (int c = fgetc(f);; c = fgetc(f)) {
    if (note) {
      if (c == EOF || c == '\r' || c == '\n') {
        steps->push_back(word);
        word.clear();
        note = false;
      } else if (!(word.empty() && (c == ' ' || c == '\t'))) {
        word += static_cast<char>(c);
      }
      if (c == EOF) {
        break;
      }
      continue;
    }
    if (c == EOF || c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (!word.empty()) {
        steps->push_back(word);
        note = word == "note" && c != EOF && c != '\r' && c != '\n';
        if (word == "note" && !note) {
          steps->push_back("");
        }
        word.clear();
      }
      if (c == '\n') {
        comment = false;
      }
      if (c == EOF) {
        break;
      }
    } else if (c == '#' && word.empty()) {
      comment = true;
    } else if (!comment) {
      word += static_cast<char>(c);
    }
  }
  fclose(f);
}

}  // namespace game
