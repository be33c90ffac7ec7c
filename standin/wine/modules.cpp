// The game as the plug-in loader: LoadLibraryA of VHud and of the plug-in
// (unless a step asks for its ImageBase, with the plug-in's preferred range
// taken, so that the loader must relocate it, as address space layout
// randomisation does on Windows),
// the wait for the plug-in's worker to take over the HUD jump, and
// FreeLibrary of the plug-in at the end.
#include <stdio.h>
#include <string.h>

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

// The plug-in file the loader takes first: the one beside this executable.
constexpr const char* kPluginName = "Quorvel_Icons.asi";

// ImageBase and SizeOfImage from the PE header of the plug-in's file.
void PreferredRange(uint32_t* imageBase, uint32_t* sizeOfImage) {
  char path[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  char* slash = length < MAX_PATH ? strrchr(path, '\\') : nullptr;
  if (slash == nullptr || slash + 1 + strlen(kPluginName) >= path + MAX_PATH) {
    Fail(kExitLoad, "the executable's folder is not known");
  }
  strcpy(slash + 1, kPluginName);
  FILE* f = fopen(path, "rb");
  uint8_t header[0x400] = {};
  size_t got = f != nullptr ? fread(header, 1, sizeof(header), f) : 0;
  if (f != nullptr) {
    fclose(f);
  }
  uint32_t lfanew = 0;
  memcpy(&lfanew, header + 0x3C, 4);
  if (got < 0x40 || lfanew > got || got - lfanew < 24 + 60 ||
      memcmp(header + lfanew, "PE\0\0", 4) != 0) {
    Fail(kExitLoad, "the plug-in's file has no readable PE header");
  }
  memcpy(imageBase, header + lfanew + 24 + 28, 4);
  memcpy(sizeOfImage, header + lfanew + 24 + 56, 4);
}

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

// The plug-in's preferred range reserved (once, kept for the whole run), so
// that every copy of it loads relocated; its ImageBase.
uint32_t ReservePreferredRange() {
  static uint32_t reserved = 0;
  uint32_t imageBase = 0;
  uint32_t sizeOfImage = 0;
  PreferredRange(&imageBase, &sizeOfImage);
  if (reserved == 0 && VirtualAlloc(reinterpret_cast<void*>(imageBase), sizeOfImage, MEM_RESERVE,
                                    PAGE_NOACCESS) == nullptr) {
    char what[96];
    snprintf(what, sizeof(what), "the plug-in's range 0x%08X+0x%X cannot be reserved, error %lu",
             imageBase, sizeOfImage, GetLastError());
    Fail(kExitLoad, what);
  }
  reserved = imageBase;
  return imageBase;
}

void LoadPlugin(bool atImageBase) {
  if (!standin::CountWorkerSleeps()) {
    Fail(kExitImage, "kernel32's export of Sleep cannot be pointed at the counting wrapper");
  }
  CountCallsByModule();
  uint32_t imageBase = 0;
  uint32_t sizeOfImage = 0;
  PreferredRange(&imageBase, &sizeOfImage);
  if (!atImageBase) {
    ReservePreferredRange();
  }
  HMODULE module = LoadLibraryA(kPluginName);
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
  line["image_base"] = Hex(imageBase);
  line["range_reserved"] = atImageBase ? 0 : 1;
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
  line["lifts_undone"] = HudJumpLiftsUndone();
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
