// The stand-in "VHud.asi": at attach it writes VHud's code and bytes at their
// offsets inside its own image (the loader's PE headers stay as they are) and,
// as VHud does, points the game's HUD jump at its HUD routine.
#include <windows.h>

#include "standin/game_image.h"
#include "standin/vhud_image.h"
#include "standin/wine/vhud_exports.h"
#if __has_include("standin/vhud_wheel.h")
#include "standin/vhud_wheel.h"
#define QI_HAVE_WHEEL 1
#endif

extern "C" char gVhudAreaBegin[];
extern "C" char gVhudAreaEnd[];

namespace {

uint32_t gHookedGame = 0;

bool Protect(uintptr_t address, uint32_t size, DWORD protect) {
  DWORD old = 0;
  return VirtualProtect(reinterpret_cast<void*>(address), size, protect, &old) != 0;
}

// The game's HUD jump, when this DLL is loaded by the stand-in game: E9 rel32
// leading to VHud's HUD routine.
void HookGameHud(uintptr_t base) {
  MEMORY_BASIC_INFORMATION info;
  if (VirtualQuery(reinterpret_cast<void*>(standin::kGameHudJump), &info, sizeof(info)) == 0 ||
      info.State != MEM_COMMIT) {
    return;
  }
  volatile uint8_t* site = reinterpret_cast<volatile uint8_t*>(standin::kGameHudJump);
  if (site[0] != 0xE9) {
    return;
  }
  DWORD old = 0;
  if (!VirtualProtect(const_cast<uint8_t*>(site), 5, PAGE_EXECUTE_READWRITE, &old)) {
    return;
  }
  uint32_t rel = static_cast<uint32_t>(standin::HudRoutineAddress(base)) -
                 static_cast<uint32_t>(standin::kGameHudJumpEnd);
  for (int i = 0; i < 4; ++i) {
    site[1 + i] = static_cast<uint8_t>(rel >> (8 * i));
  }
  VirtualProtect(const_cast<uint8_t*>(site), 5, old, &old);
  gHookedGame = 1;
}

}  // namespace

extern "C" __declspec(dllexport) standin::VhudRecorder* __cdecl StandinVhudRecord() {
  return standin::VhudRecord();
}

extern "C" __declspec(dllexport) void __cdecl StandinVhudSetLoadResults(uint32_t health,
                                                                        uint32_t armour) {
  standin::SetLoadResults(health, armour);
}

extern "C" __declspec(dllexport) uint32_t __cdecl StandinVhudHookedGame() { return gHookedGame; }

#ifdef QI_HAVE_WHEEL
extern "C" __declspec(dllexport) const void* __cdecl StandinVhudWheelRecord() {
  return standin::VhudWheelRecord();
}

extern "C" __declspec(dllexport) void __cdecl StandinVhudRotateQuad(float quad[8], float centreX,
                                                                    float centreY, float angle) {
  StandinRotateQuad(reinterpret_cast<standin::Quad*>(quad), centreX, centreY, angle);
}

extern "C" __declspec(dllexport) void __cdecl StandinVhudSlotStartQuad(float quad[8]) {
  standin::Quad q = standin::SlotStartQuad();
  for (int i = 0; i < 8; ++i) {
    quad[i] = q.v[i];
  }
}
#endif

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason != DLL_PROCESS_ATTACH) {
    return TRUE;
  }
  const uintptr_t base = reinterpret_cast<uintptr_t>(instance);
  // The image area must span exactly the offsets the builder writes.
  if (reinterpret_cast<uintptr_t>(gVhudAreaBegin) != base + standin::kVhudCodeBegin ||
      reinterpret_cast<uintptr_t>(gVhudAreaEnd) != base + standin::kVhudSizeOfImage) {
    SetLastError(ERROR_BAD_EXE_FORMAT);
    return FALSE;
  }
  const uint32_t areaSize = standin::kVhudSizeOfImage - standin::kVhudCodeBegin;
  if (!Protect(base + standin::kVhudCodeBegin, areaSize, PAGE_EXECUTE_READWRITE)) {
    return FALSE;
  }
  standin::BuildVhudCode(base);
  // Code execute-read, as a loaded DLL's code is; data stays writable.
  if (!Protect(base + standin::kVhudCodeBegin, standin::kVhudCodeEnd - standin::kVhudCodeBegin,
               PAGE_EXECUTE_READ) ||
      !Protect(base + standin::kVhudCodeEnd, standin::kVhudSizeOfImage - standin::kVhudCodeEnd,
               PAGE_READWRITE)) {
    return FALSE;
  }
  FlushInstructionCache(GetCurrentProcess(), reinterpret_cast<void*>(base), areaSize);
  HookGameHud(base);
  return TRUE;
}
