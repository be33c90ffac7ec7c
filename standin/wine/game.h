// What the parts of the stand-in game share: its exit codes, the two modules
// it loads, and the steps each part carries out. Every step that changes
// something or looks at something writes its record to the trace (trace.h).
#pragma once

#include <stdint.h>
#include <windows.h>

#include <string>
#include <vector>

#include "standin/wine/trace.h"
#include "standin/wine/vhud_exports.h"

namespace game {

constexpr uintptr_t kImageBase = 0x400000;
constexpr int kExitUsage = 2;
constexpr int kExitImage = 3;
constexpr int kExitLoad = 4;
constexpr const char* kLogName = "Quorvel_Icons.log";

// The six centre-text sites, in the order of VHud's wheel record.
constexpr const char* kCentreTextSiteNames[6] = {"name-y",  "name-x",  "count-y",
                                                 "count-x", "arrow-y", "extra-x"};

// ---- The game's memory (game_memory.cpp) ----------------------------------------
// Checks that the game's fixed range lies in this executable's own image.
void CheckOwnImage();
// Builds the game there with this screen size; reports the game.
void BuildGame(int32_t width, int32_t height);
uint32_t HudJumpTarget();
uintptr_t OwnHudRoutine();
uint32_t OwnHudRuns();
uint32_t SizeOfImage(uintptr_t base);
uint8_t GameByte(uintptr_t address);
// The game's screen size as [width, height].
Json Screen();

// ---- What the steps set (game_state.cpp) ----------------------------------------
void SetPlayer(const char* value, bool another);
void SetIcons(const char* value);
void SetScreenSize(int32_t width, int32_t height);
// menu, frozen, hud, widescreen or cutscene.
void SetGameFlag(const std::string& name, uint8_t value);
// wheel or radar.
void SetVhudFlag(const std::string& name, uint8_t value);

// ---- VHud and the plug-in (modules.cpp) -----------------------------------------
struct Vhud {
  uintptr_t base = 0;
  StandinVhudRecordFn record = nullptr;
  StandinVhudSetLoadResultsFn setLoadResults = nullptr;
  StandinVhudHookedGameFn hookedGame = nullptr;
  StandinVhudWheelRecordFn wheelRecord = nullptr;
  StandinVhudRotateQuadFn rotateQuad = nullptr;
  StandinVhudSlotStartQuadFn slotStartQuad = nullptr;
  StandinVhudWheelCentreFn wheelCentre = nullptr;
};
extern Vhud gVhud;
extern HMODULE gPlugin;

void LoadVhud();
// LoadLibraryA of the plug-in; unless `atImageBase`, its preferred range
// (ImageBase, SizeOfImage of its file) is reserved first, so that it must be
// relocated.
void LoadPlugin(bool atImageBase);
// Reserves the plug-in's preferred range (once): every copy loads relocated.
uint32_t ReservePreferredRange();
void WaitHook(uint32_t timeoutMs);
[[noreturn]] void Unload();

// ---- The plug-in's log (plugin_log.cpp) -----------------------------------------
// Reports the lines the plug-in added to its log since the last look.
void ReportLog();
// Whether the log holds a whole "[HOOK] installed" line beyond the first `skip`.
bool LogHasHookLine(size_t skip);

// ---- Frames (frames.cpp, wheel_report.cpp) --------------------------------------
void RunFrames(uint32_t count);
void BenchFrames(uint32_t count);
uint32_t FramesRun();
void ReportWheel();

// ---- Another party (third_party.cpp), the patches (patch_report.cpp) ------------
void Restore();
void WaitRepatch(uint32_t timeoutMs);
void ReportPatches();

// ---- Another wheel mod's detours (foreign_jumps.cpp) ----------------------------
// E9 jumps to code of its own at the first five centre-text sites; how many
// of them still hold the bytes it wrote.
void PlaceForeignJumps();
uint32_t ForeignJumpsKept();

// ---- Another patcher's protection (lift_undo.cpp) -------------------------------
// The plug-in's next VirtualProtect granting write on the HUD jump has the
// old protection put back before it returns (once); call before the plug-in
// is loaded. How many such lifts were undone so far.
void UndoNextHudJumpLift();
uint32_t HudJumpLiftsUndone();

// ---- Loader hazards (loader_hazards.cpp) ---------------------------------------
// FreeLibrary of the plug-in, the game going on.
void FreePlugin();
// Waits until the worker has begun `passes` more sleeps, at most MS ms.
void WaitPasses(uint32_t passes, uint32_t timeoutMs);
// Sets (1) or clears (0) the flag in VHud's loader entry that tells that its
// entry point has been called.
void SetVhudAttached(uint32_t attached);
// A second "VHud.asi" that is never initialised, ahead of the real one in the
// loader list: standin_churn.dll copied to copy\VHud.asi, mapped without
// calling its entry point (DONT_RESOLVE_DLL_REFERENCES), its in-memory-order
// entry moved to the front of the list under the loader's lock.
void LoadVhudCopy();
// Fills `out` (MAX_PATH characters) with the path of `file` in the game's
// own folder; the step `step` fails when that folder is not known.
void PathBesideGame(const char* file, const char* step, char* out);
// Starts (1) or stops (0) a thread that loads and frees standin_churn.dll.
void SetChurn(uint32_t on);
// Waits until the churn thread has loaded and freed the DLL `cycles` times
// in all, at most MS ms.
void WaitChurn(uint32_t cycles, uint32_t timeoutMs);
// Frames back to back, the menu flag changing on every one, while the HUD
// jump is put back at VHud at the end of each worker sleep: the render thread
// and the worker log at once. Until `passes` more worker sleeps, at most MS.
void LogRace(uint32_t passes, uint32_t timeoutMs);

// ---- Copies of the plug-in (plugin_copies.cpp) ----------------------------------
// Points kernel32's exports of CreateThread, VirtualProtect and CreateFileA
// at wrappers that count each call by the module that made it (once).
void CountCallsByModule();
// The plug-in's file beside the executable copied to NAME in the working
// folder (without its copy mark unless `marked`, as 1.0.0 was) and loaded.
void LoadPluginCopy(const char* name, bool marked);
// The counted calls, by module.
void ReportCalls();

// ---- Steps (scenario.cpp) -------------------------------------------------------
void ReadStepFile(const char* path, std::vector<std::string>* steps);
std::vector<std::string> DefaultSteps();
void RunSteps(const std::vector<std::string>& steps);

}  // namespace game
