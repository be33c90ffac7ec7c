// The stand-in "VHud.asi": at attach it writes VHud's code and bytes at their
// offsets inside its own image (the loader's PE headers stay as they are) and,
// as VHud does, points the game's HUD jump at its HUD routine.
//
// Loaded into the stand-in game, VHud's HUD routine lays its weapon wheel out
// on the game's screen: the wheel's design (a 1920 x 1080 layout) is scaled by
// the screen height over 1080 about the screen's centre, and the slots,
// their contents and the centre texts are then placed through VHud's wheel
// code at its real offsets (the rotation call, the slot-layout site, the six
// centre-text instructions). On a 1920 x 1080 screen the positions are the
// design's own.
#include <stdlib.h>
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
uintptr_t gBase = 0;
// Whether the game's memory (the stand-in game's image) is mapped.
bool gGameMapped = false;

bool Protect(uintptr_t address, uint32_t size, DWORD protect) {
  DWORD old = 0;
  return VirtualProtect(reinterpret_cast<void*>(address), size, protect, &old) != 0;
}

bool Committed(uintptr_t address) {
  MEMORY_BASIC_INFORMATION info;
  return VirtualQuery(reinterpret_cast<void*>(address), &info, sizeof(info)) != 0 &&
         info.State == MEM_COMMIT;
}

// The game's HUD jump, when this DLL is loaded by the stand-in game: E9 rel32
// leading to VHud's HUD routine.
void HookGameHud(uintptr_t base) {
  if (!gGameMapped) {
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
  // One 32-bit store: a worker that reads the jump meanwhile sees the game's
  // target or VHud's, never a mix of the two.
  __atomic_store_n(reinterpret_cast<uint32_t*>(standin::kGameHudJump + 1), rel, __ATOMIC_RELEASE);
  VirtualProtect(const_cast<uint8_t*>(site), 5, old, &old);
  gHookedGame = 1;
}

#ifdef QI_HAVE_WHEEL
// ---- The wheel on the game's screen ------------------------------------------
// Design: slots turn about (960, 600) from a 120 x 80 quad centred 180 below
// that point; the slots' content and ammo x positions and the centre-text
// inputs are the stand-in wheel's design values.
constexpr float kDesignWidth = 1920.0f;
constexpr float kDesignHeight = 1080.0f;
constexpr float kTurnCentreY = 600.0f;
constexpr float kSlotDistance = 180.0f;
constexpr float kSlotHalfWidth = 60.0f;
constexpr float kSlotHalfHeight = 40.0f;

struct Screen {
  float scale;    // screen height / 1080
  float centreX;  // screen width / 2
  float centreY;  // screen height / 2
};

Screen GameScreen() {
  int32_t width = 1920;
  int32_t height = 1080;
  if (gGameMapped) {
    width = *reinterpret_cast<const volatile int32_t*>(standin::kGameScreenWidth);
    height = *reinterpret_cast<const volatile int32_t*>(standin::kGameScreenHeight);
  }
  if (width < 1 || height < 1) {
    width = 1920;
    height = 1080;
  }
  Screen s;
  s.scale = static_cast<float>(height) / kDesignHeight;
  s.centreX = static_cast<float>(width) * 0.5f;
  s.centreY = static_cast<float>(height) * 0.5f;
  return s;
}

float ScreenX(const Screen& s, float designX) {
  return s.centreX + (designX - kDesignWidth * 0.5f) * s.scale;
}
float ScreenY(const Screen& s, float designY) {
  return s.centreY + (designY - kDesignHeight * 0.5f) * s.scale;
}

void TurnCentre(const Screen& s, float* x, float* y) {
  *x = ScreenX(s, standin::kWheelCentreX);
  *y = ScreenY(s, kTurnCentreY);
}

// Every slot's quad before VHud turns it to the slot's place.
standin::Quad StartQuad(const Screen& s) {
  const float cx = kDesignWidth * 0.5f;
  const float cy = kTurnCentreY + kSlotDistance;
  const float l = ScreenX(s, cx - kSlotHalfWidth);
  const float r = ScreenX(s, cx + kSlotHalfWidth);
  const float t = ScreenY(s, cy - kSlotHalfHeight);
  const float b = ScreenY(s, cy + kSlotHalfHeight);
  return standin::Quad{{l, t, r, t, r, b, l, b}};
}

// VHud's wheel drawing: each slot's quad through the per-slot routine (the
// call of RotateVertices at +0x6CDA8), each slot's content and ammo x through
// the slot layout (+0x6BBD9), the six centre texts through their routines.
void RunScreenWheel(uintptr_t base) {
  const Screen s = GameScreen();
  standin::WheelRecord* w = standin::VhudWheelRecord();
  ++w->runs;
  float cx;
  float cy;
  TurnCentre(s, &cx, &cy);
  for (uint32_t k = 0; k < 8; ++k) {
    standin::Quad quad = StartQuad(s);
    if (standin::RunSlotRoutine(base, &quad, cx, cy, standin::kWheelAngles[k]) != 0) {
      w->slotFaults |= 1u << k;
    }
    w->slotQuads[k] = quad;
  }
  for (uint32_t k = 0; k < 8; ++k) {
    standin::SpacingInput in = standin::SlotLayoutInput(k, ScreenX(s, standin::kSlotContentX[k]),
                                                        ScreenX(s, standin::kSlotAmmoX[k]));
    standin::SpacingCapture out = standin::RunSpacingLayout(base, in);
    w->spacingFaults[k] = standin::SpacingStateDiff(in, out);
    w->slotContentX[k] = out.contentX;
    w->slotAmmoX[k] = out.ammoX;
    w->slotEdi[k] = out.edi;
    w->slotEcx[k] = out.ecx;
  }
  for (uint32_t i = 0; i < 6; ++i) {
    // Inputs alternate y (name, counter, arrows) and x.
    const float design = standin::kCentreTextInputs[i];
    const float position = (i % 2 == 0) ? ScreenY(s, design) : ScreenX(s, design);
    w->centreText[i] = standin::RunCentreText(base, i, position);
  }
}
#endif

// VHud's HUD routine: no arguments, result ignored. Notes the radar and wheel
// bytes as they are while it runs, and draws the wheel when it is open.
__attribute__((cdecl, used)) void ScreenHudRoutine() {
  standin::VhudRecorder* r = standin::VhudRecord();
  if (r->skipByteReads != 0) {
    ++r->hudRuns;
    return;
  }
  const uint8_t radar =
      *reinterpret_cast<const volatile uint8_t*>(gBase + standin::kVhudRadarEnabled);
  const uint8_t wheel = *reinterpret_cast<const volatile uint8_t*>(gBase + standin::kVhudWheelOpen);
  const uint32_t n = r->hudRuns++;
  if (n < standin::kMaxHudRunRecords) {
    r->radarSeen[n] = radar;
    r->wheelSeen[n] = wheel;
  }
  if (wheel != 0 && r->otherBuild == 0) {
    ++r->wheelRuns;
#ifdef QI_HAVE_WHEEL
    RunScreenWheel(gBase);
#endif
  }
}

void PointHudRoutine(uintptr_t base) {
  volatile uint8_t* site = reinterpret_cast<volatile uint8_t*>(standin::HudRoutineAddress(base));
  uint32_t rel = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&ScreenHudRoutine)) -
                 static_cast<uint32_t>(reinterpret_cast<uintptr_t>(site) + 5);
  site[0] = 0xE9;
  for (int i = 0; i < 4; ++i) {
    site[1 + i] = static_cast<uint8_t>(rel >> (8 * i));
  }
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
  standin::Quad q = StartQuad(GameScreen());
  for (int i = 0; i < 8; ++i) {
    quad[i] = q.v[i];
  }
}

extern "C" __declspec(dllexport) void __cdecl StandinVhudWheelCentre(float* x, float* y) {
  TurnCentre(GameScreen(), x, y);
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
  gBase = base;
  gGameMapped = Committed(standin::kGameHudJump) && Committed(standin::kGameScreenWidth);
  standin::BuildVhudCode(base);
  // Another build of VHud, for the tests of a plug-in that must leave it
  // alone: QI_STANDIN_VHUD_OTHER_BUILD set to 1.
  char other[4];
  if (GetEnvironmentVariableA("QI_STANDIN_VHUD_OTHER_BUILD", other, sizeof(other)) == 1 &&
      other[0] == '1') {
    standin::BuildOtherVhudBuild(base);
  }
  PointHudRoutine(base);
  // Code execute-read, as a loaded DLL's code is; data stays writable.
  if (!Protect(base + standin::kVhudCodeBegin, standin::kVhudCodeEnd - standin::kVhudCodeBegin,
               PAGE_EXECUTE_READ) ||
      !Protect(base + standin::kVhudCodeEnd, standin::kVhudSizeOfImage - standin::kVhudCodeEnd,
               PAGE_READWRITE)) {
    return FALSE;
  }
  FlushInstructionCache(GetCurrentProcess(), reinterpret_cast<void*>(base), areaSize);
  // A VHud that is slow to set the HUD jump, for the tests of a plug-in that
  // finds VHud listed before VHud's entry point has set it: the jump waits
  // the milliseconds in QI_STANDIN_VHUD_JUMP_DELAY_MS.
  char delay[16];
  const DWORD length =
      GetEnvironmentVariableA("QI_STANDIN_VHUD_JUMP_DELAY_MS", delay, sizeof(delay));
  if (length > 0 && length < sizeof(delay)) {
    Sleep(static_cast<DWORD>(atoi(delay)));
  }
  HookGameHud(base);
  return TRUE;
}
