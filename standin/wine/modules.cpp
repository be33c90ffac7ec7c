// The game as the plug-in loader: LoadLibraryA of VHud and of the plug-in,
// the wait for the plug-in's worker to take over the HUD jump, and
// FreeLibrary of the plug-in at the end.
#include <stdio.h>

#include "standin/game_image.h"
#include "standin/vhud_image.h"
#include "standin/wine/game.h"
#include "standin/wine/worker_sleeps.h"

namespace game {

Vhud gVhud;
HMODULE gPlugin = nullptr;

namespace {

// How many "[HOOK]" lines earlier waits have seen.
size_t gHookLinesSeen = 0;

template <typename Fn>
Fn Export(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

void LoadVhud() {
  HMODULE module = LoadLibraryA("VHud.asi");
  if (module == nullptr) {
    char what[64];
    snprintf(what, sizeof(what), "LoadLibraryA(VHud.asi) failed, error %lu", GetLastError());
    Fail(kExitLoad, what);
  }
  gVhud.base = reinterpret_cast<uintptr_t>(GetModuleHandleA("VHud.asi"));
  gVhud.record = Export<StandinVhudRecordFn>(module, QI_VHUD_EXPORT_RECORD);
  gVhud.setLoadResults =
      Export<StandinVhudSetLoadResultsFn>(module, QI_VHUD_EXPORT_SET_LOAD_RESULTS);
  gVhud.hookedGame = Export<StandinVhudHookedGameFn>(module, QI_VHUD_EXPORT_HOOKED_GAME);
  gVhud.wheelRecord = Export<StandinVhudWheelRecordFn>(module, QI_VHUD_EXPORT_WHEEL_RECORD);
  gVhud.rotateQuad = Export<StandinVhudRotateQuadFn>(module, QI_VHUD_EXPORT_ROTATE_QUAD);
  gVhud.slotStartQuad = Export<StandinVhudSlotStartQuadFn>(module, QI_VHUD_EXPORT_SLOT_START_QUAD);
  gVhud.wheelCentre = Export<StandinVhudWheelCentreFn>(module, QI_VHUD_EXPORT_WHEEL_CENTRE);
  if (gVhud.record == nullptr || gVhud.setLoadResults == nullptr || gVhud.hookedGame == nullptr) {
    Fail(kExitLoad, "VHud.asi lacks the stand-in exports");
  }
  Json line = Event("vhud");
  line["base"] = Hex(gVhud.base);
  line["size"] = Hex(SizeOfImage(gVhud.base));
  line["hud_routine"] = Hex(gVhud.base + standin::kVhudHudRoutine);
  line["hud_jump_target"] = Hex(HudJumpTarget());
  line["hooked_game"] = gVhud.hookedGame();
  line["wheel"] = gVhud.wheelRecord != nullptr ? 1 : 0;
  line["other_build"] = gVhud.record != nullptr ? gVhud.record()->otherBuild : 0;
  line["radar"] = GameByte(gVhud.base + standin::kVhudRadarEnabled);
  Emit(line);
}

void LoadPlugin() {
  if (!standin::CountWorkerSleeps()) {
    Fail(kExitImage, "kernel32's export of Sleep cannot be pointed at the counting wrapper");
  }
  HMODULE module = LoadLibraryA("Quorvel_Icons.asi");
  if (module == nullptr) {
    char what[80];
    snprintf(what, sizeof(what), "LoadLibraryA(Quorvel_Icons.asi) failed, error %lu",
             GetLastError());
    Fail(kExitLoad, what);
  }
  gPlugin = module;
  uintptr_t base = reinterpret_cast<uintptr_t>(module);
  Json line = Event("plugin");
  line["base"] = Hex(base);
  line["size"] = Hex(SizeOfImage(base));
  Emit(line);
}

void WaitHook(uint32_t timeoutMs) {
  const uint32_t vhudRoutine = gVhud.base != 0 ? gVhud.base + standin::kVhudHudRoutine : 0;
  const uint32_t own = OwnHudRoutine();
  DWORD start = GetTickCount();
  bool redirected = false;
  for (;;) {
    uint32_t target = HudJumpTarget();
    if (GameByte(standin::kGameHudJump) == 0xE9 && target != vhudRoutine && target != own) {
      redirected = true;
      break;
    }
    if (GetTickCount() - start >= timeoutMs) {
      break;
    }
    Sleep(5);
  }
  // The worker writes its "[HOOK]" line right after redirecting the jump; wait
  // for it too, so that frames run afterwards log behind it.
  bool logged = false;
  while (redirected && !logged) {
    logged = LogHasHookLine(gHookLinesSeen);
    if (logged || GetTickCount() - start >= timeoutMs) {
      break;
    }
    Sleep(5);
  }
  if (logged) {
    ++gHookLinesSeen;
  }
  Json line = Event("hook");
  line["redirected"] = redirected ? 1 : 0;
  line["logged"] = logged ? 1 : 0;
  line["target"] = Hex(HudJumpTarget());
  line["waited_ms"] = static_cast<long long>(GetTickCount() - start);
  line["worker_sleeps"] = standin::WorkerSleepsBegun();
  Emit(line);
}

void Unload() {
  Emit(Event("unload"));
  CloseTrace();
  if (gPlugin != nullptr) {
    FreeLibrary(gPlugin);
  }
  // End the process at once, as the game does when it closes (a plug-in that
  // did not pin itself would have its worker and its HUD hook lead into
  // freed memory from here on).
  ExitProcess(0);
}

}  // namespace game
