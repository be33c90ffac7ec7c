// The stand-in game executable. Its image (base 0x400000, never relocated)
// covers the game's fixed addresses; it builds the game's code and data
// there, then works as the game's plug-in loader: it loads "VHud.asi" and the
// plug-in with LoadLibraryA, waits for the plug-in's worker to redirect the
// HUD jump, runs HUD frames through 0x58FAE0 as the game does, and finally
// frees the plug-in. What it sees is written as a trace of JSON lines (one
// object per line, each with its "event" and the milliseconds since start in
// "t_ms"; addresses, sizes and float bit patterns as "0x" and eight hex
// digits, floats also as decimal numbers). After every step and every frame
// it reads the lines the plug-in has added to its log since the last look.
//
// Usage: standin_game.exe [--out FILE] [--screen WxH] [--steps FILE] [STEP...]
// Steps, run in order (without any, a short default scenario runs):
//   vhud                 LoadLibraryA("VHud.asi")
//   plugin               LoadLibraryA("Quorvel_Icons.asi")
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
//   restore              another party puts back VHud's original bytes at
//                        the three wheel sites and the game's HUD jump
//   wait-repatch MS      wait until every site of the last restore holds
//                        the plug-in's bytes again, at most MS ms
//   patches              report which of the plug-in's patches are in place
//   note TEXT            a note in the trace (in a step file TEXT is the
//                        rest of the line)
//   unload               FreeLibrary of the plug-in, then exit
// A step file holds the same words separated by blanks and line ends; a
// word starting with '#' comments out the rest of its line.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <string>
#include <vector>

#include "standin/game_image.h"
#include "standin/vhud_image.h"
#include "standin/wine/vhud_exports.h"
#if __has_include("standin/vhud_wheel.h")
#include "standin/vhud_wheel.h"
#define QI_HAVE_WHEEL 1
#endif

extern "C" char gGameMemBegin[];
extern "C" char gGameMemEnd[];

namespace {

constexpr uintptr_t kImageBase = 0x400000;
constexpr int kExitUsage = 2;
constexpr int kExitImage = 3;
constexpr int kExitLoad = 4;
constexpr const char* kLogName = "Quorvel_Icons.log";

FILE* gOut = stdout;
uint32_t gOwnHudRuns = 0;
LARGE_INTEGER gClockStart;
LARGE_INTEGER gClockRate;

// The game's own HUD routine, the jump's target while no VHud is loaded.
extern "C" __attribute__((cdecl, used)) void GameOwnHudRoutine() { ++gOwnHudRuns; }

// Two player character records (health at 1344, 1348 bytes); QueryPlayerPed
// returns one of them or none.
alignas(16) uint8_t gPlayers[2][1348];
uint32_t gPlayerIndex = 0;
bool gPlayerPresent = false;
// Icon textures: a texture's first word is its raster; a raster's width and
// height are the words at 12 and 16.
alignas(16) uint32_t gHealthTexture[2];
alignas(16) uint32_t gArmourTexture[2];
alignas(16) int32_t gHealthRaster[6];
alignas(16) int32_t gArmourRaster[6];

struct Vhud {
  HMODULE module = nullptr;
  uintptr_t base = 0;
  StandinVhudRecordFn record = nullptr;
  StandinVhudSetLoadResultsFn setLoadResults = nullptr;
  StandinVhudHookedGameFn hookedGame = nullptr;
  StandinVhudWheelRecordFn wheelRecord = nullptr;
  StandinVhudRotateQuadFn rotateQuad = nullptr;
  StandinVhudSlotStartQuadFn slotStartQuad = nullptr;
  StandinVhudWheelCentreFn wheelCentre = nullptr;
};
Vhud gVhud;
HMODULE gPlugin = nullptr;
uint32_t gDrawsReported = 0;
uint32_t gLoadsReported = 0;
// How much of the plug-in's log has been reported, and how many lines.
uint32_t gLogOffset = 0;
uint32_t gLogLines = 0;

double Milliseconds() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart - gClockStart.QuadPart) * 1000.0 /
         static_cast<double>(gClockRate.QuadPart);
}

[[noreturn]] void Fail(int code, const char* what) {
  fprintf(stderr, "standin_game: %s\n", what);
  if (gOut != nullptr) {
    fprintf(gOut, "{\"event\":\"error\",\"what\":\"%s\"}\n", what);
    fflush(gOut);
  }
  ExitProcess(code);
}

void Hex(std::string* out, uint32_t value) {
  char text[16];
  snprintf(text, sizeof(text), "\"0x%08X\"", static_cast<unsigned>(value));
  *out += text;
}

void Key(std::string* out, const char* name) {
  *out += ",\"";
  *out += name;
  *out += "\":";
}

void Field(std::string* out, const char* name, uint32_t hex) {
  Key(out, name);
  Hex(out, hex);
}

void Number(std::string* out, const char* name, long long value) {
  char text[64];
  snprintf(text, sizeof(text), ",\"%s\":%lld", name, value);
  *out += text;
}

uint32_t Bits(float value) {
  uint32_t bits;
  memcpy(&bits, &value, 4);
  return bits;
}

float FromBits(uint32_t bits) {
  float value;
  memcpy(&value, &bits, 4);
  return value;
}

// A float as a JSON number with enough digits to give back the same float
// (null for an infinity or a NaN, which JSON cannot hold).
void Decimal(std::string* out, float value) {
  if (!isfinite(value)) {
    *out += "null";
    return;
  }
  char text[32];
  snprintf(text, sizeof(text), "%.9g", static_cast<double>(value));
  *out += text;
}

void DecimalField(std::string* out, const char* name, float value) {
  Key(out, name);
  Decimal(out, value);
}

void Quoted(std::string* out, const char* value, size_t length) {
  *out += '"';
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(value[i]);
    if (c == '"' || c == '\\') {
      *out += '\\';
      *out += static_cast<char>(c);
    } else if (c < 0x20 || c > 0x7E) {
      char escaped[8];
      snprintf(escaped, sizeof(escaped), "\\u%04X", c);
      *out += escaped;
    } else {
      *out += static_cast<char>(c);
    }
  }
  *out += '"';
}

void Text(std::string* out, const char* name, const char* value) {
  Key(out, name);
  Quoted(out, value, strlen(value));
}

std::string Event(const char* name) {
  std::string line = "{\"event\":\"";
  line += name;
  line += '"';
  char text[40];
  snprintf(text, sizeof(text), ",\"t_ms\":%.1f", Milliseconds());
  line += text;
  return line;
}

void Emit(const std::string& line) {
  fputs(line.c_str(), gOut);
  fputs("}\n", gOut);
  fflush(gOut);
}

uint32_t FramesRun() { return standin::GameRecord()->framesRun; }

// The lines the plug-in added to its log (shared for reading and writing)
// since the last look; a line counts once its CR LF is there.
void ReportLog() {
  HANDLE file = CreateFileA(kLogName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return;
  }
  std::string text;
  if (SetFilePointer(file, static_cast<LONG>(gLogOffset), nullptr, FILE_BEGIN) != gLogOffset) {
    CloseHandle(file);
    return;
  }
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
    text.append(buffer, got);
  }
  CloseHandle(file);
  size_t begin = 0;
  for (size_t end = text.find("\r\n"); end != std::string::npos; end = text.find("\r\n", begin)) {
    std::string line = Event("log");
    Number(&line, "n", gLogLines);
    Number(&line, "frame", FramesRun());
    Key(&line, "line");
    Quoted(&line, text.data() + begin, end - begin);
    Emit(line);
    ++gLogLines;
    begin = end + 2;
  }
  gLogOffset += static_cast<uint32_t>(begin);
}

uint32_t HudJumpTarget() {
  uint32_t rel;
  memcpy(&rel, reinterpret_cast<const void*>(standin::kGameHudJump + 1), 4);
  return static_cast<uint32_t>(standin::kGameHudJumpEnd) + rel;
}

uint32_t SizeOfImage(uintptr_t base) {
  uint32_t lfanew = *reinterpret_cast<const uint32_t*>(base + 0x3C);
  return *reinterpret_cast<const uint32_t*>(base + lfanew + 0x50);
}

int32_t ScreenWord(uintptr_t address) {
  return *reinterpret_cast<const volatile int32_t*>(address);
}
uint8_t GameByte(uintptr_t address) { return *reinterpret_cast<const volatile uint8_t*>(address); }

void ScreenField(std::string* out) {
  char text[64];
  snprintf(text, sizeof(text), ",\"screen\":[%ld,%ld]",
           static_cast<long>(ScreenWord(standin::kGameScreenWidth)),
           static_cast<long>(ScreenWord(standin::kGameScreenHeight)));
  *out += text;
}

// The game's range must lie inside this executable's own image, in its
// leading zero-filled section; anything else means the link went wrong.
void CheckOwnImage() {
  uintptr_t self = reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr));
  if (self != kImageBase) {
    Fail(kExitImage, "the executable is not mapped at 0x400000");
  }
  if (reinterpret_cast<uintptr_t>(gGameMemBegin) > standin::kGameLow ||
      reinterpret_cast<uintptr_t>(gGameMemEnd) < standin::kGameHigh) {
    Fail(kExitImage, "the game memory section does not cover 0x56E000..0xC18000");
  }
  if (kImageBase + SizeOfImage(kImageBase) < standin::kGameHigh) {
    Fail(kExitImage, "SizeOfImage does not reach 0xC18000");
  }
  MEMORY_BASIC_INFORMATION low;
  MEMORY_BASIC_INFORMATION high;
  if (VirtualQuery(reinterpret_cast<void*>(standin::kGameLow), &low, sizeof(low)) == 0 ||
      VirtualQuery(reinterpret_cast<void*>(standin::kGameHigh - 1), &high, sizeof(high)) == 0 ||
      reinterpret_cast<uintptr_t>(low.AllocationBase) != kImageBase ||
      reinterpret_cast<uintptr_t>(high.AllocationBase) != kImageBase || low.Type != MEM_IMAGE ||
      high.Type != MEM_IMAGE) {
    Fail(kExitImage, "0x56E000..0xC18000 is not part of the executable's image");
  }
}

void BuildGame(int32_t width, int32_t height) {
  DWORD old = 0;
  if (!VirtualProtect(reinterpret_cast<void*>(standin::kGameLow),
                      standin::kGameHigh - standin::kGameLow, PAGE_EXECUTE_READWRITE, &old)) {
    Fail(kExitImage, "VirtualProtect of the game range failed");
  }
  standin::BuildGameImage(reinterpret_cast<uintptr_t>(&GameOwnHudRoutine));
  standin::SetScreen(width, height);
  for (uint32_t i = 0; i < standin::kGameCodePageCount; ++i) {
    if (!VirtualProtect(reinterpret_cast<void*>(standin::kGameCodePages[i]), 0x1000,
                        PAGE_EXECUTE_READ, &old)) {
      Fail(kExitImage, "VirtualProtect of a game code page failed");
    }
  }
  FlushInstructionCache(GetCurrentProcess(), reinterpret_cast<void*>(standin::kGameLow),
                        standin::kGameHigh - standin::kGameLow);
  std::string line = Event("game");
  Field(&line, "image_base", kImageBase);
  Field(&line, "size_of_image", SizeOfImage(kImageBase));
  Field(&line, "hud_jump_target", HudJumpTarget());
  Field(&line, "own_hud_routine", reinterpret_cast<uintptr_t>(&GameOwnHudRoutine));
  ScreenField(&line);
  Emit(line);
}

template <typename Fn>
Fn Export(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

void LoadVhud() {
  HMODULE module = LoadLibraryA("VHud.asi");
  if (module == nullptr) {
    char what[64];
    snprintf(what, sizeof(what), "LoadLibraryA(VHud.asi) failed, error %lu", GetLastError());
    Fail(kExitLoad, what);
  }
  gVhud.module = module;
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
  std::string line = Event("vhud");
  Field(&line, "base", gVhud.base);
  Field(&line, "size", SizeOfImage(gVhud.base));
  Field(&line, "hud_routine", gVhud.base + standin::kVhudHudRoutine);
  Field(&line, "hud_jump_target", HudJumpTarget());
  Number(&line, "hooked_game", gVhud.hookedGame());
  Number(&line, "wheel", gVhud.wheelRecord != nullptr ? 1 : 0);
  Emit(line);
}

void LoadPlugin() {
  HMODULE module = LoadLibraryA("Quorvel_Icons.asi");
  if (module == nullptr) {
    char what[80];
    snprintf(what, sizeof(what), "LoadLibraryA(Quorvel_Icons.asi) failed, error %lu",
             GetLastError());
    Fail(kExitLoad, what);
  }
  gPlugin = module;
  uintptr_t base = reinterpret_cast<uintptr_t>(module);
  std::string line = Event("plugin");
  Field(&line, "base", base);
  Field(&line, "size", SizeOfImage(base));
  Emit(line);
}

// Whether the plug-in's log in the current directory holds a "[HOOK]" line
// beyond the first `skip` of them.
bool LogHasHookLine(size_t skip) {
  HANDLE file = CreateFileA(kLogName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  std::string text;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
    text.append(buffer, got);
  }
  CloseHandle(file);
  const std::string hook = "[HOOK] installed; original=";
  size_t seen = 0;
  for (size_t at = text.find(hook); at != std::string::npos; at = text.find(hook, at + 1)) {
    if (text.find("\r\n", at) != std::string::npos && ++seen > skip) {
      return true;
    }
  }
  return false;
}

size_t gHookLinesSeen = 0;

void WaitHook(uint32_t timeoutMs) {
  const uint32_t vhudRoutine = gVhud.base != 0 ? gVhud.base + standin::kVhudHudRoutine : 0;
  const uint32_t own = reinterpret_cast<uintptr_t>(&GameOwnHudRoutine);
  DWORD start = GetTickCount();
  bool redirected = false;
  for (;;) {
    uint32_t target = HudJumpTarget();
    if (*reinterpret_cast<const volatile uint8_t*>(standin::kGameHudJump) == 0xE9 &&
        target != vhudRoutine && target != own) {
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
  std::string line = Event("hook");
  Number(&line, "redirected", redirected ? 1 : 0);
  Number(&line, "logged", logged ? 1 : 0);
  Field(&line, "target", HudJumpTarget());
  Number(&line, "waited_ms", static_cast<long long>(GetTickCount() - start));
  Emit(line);
}

void SetPlayer(const char* value, bool another) {
  std::string line = Event("player");
  if (!another && strcmp(value, "none") == 0) {
    gPlayerPresent = false;
    standin::SetPlayer(0);
    Field(&line, "record", 0);
  } else {
    if (another) {
      gPlayerIndex ^= 1;
    }
    uint8_t* record = gPlayers[gPlayerIndex];
    float health = static_cast<float>(atof(value));
    memcpy(record + 1344, &health, sizeof(health));
    gPlayerPresent = true;
    standin::SetPlayer(reinterpret_cast<uintptr_t>(record));
    Field(&line, "record", reinterpret_cast<uintptr_t>(record));
    Field(&line, "health", Bits(health));
    DecimalField(&line, "health_value", health);
  }
  Emit(line);
}

void SetIcons(const char* value) {
  if (gVhud.setLoadResults == nullptr) {
    Fail(kExitUsage, "icons: VHud is not loaded");
  }
  gHealthTexture[0] = reinterpret_cast<uintptr_t>(gHealthRaster);
  gArmourTexture[0] = reinterpret_cast<uintptr_t>(gArmourRaster);
  gHealthRaster[3] = 64;
  gHealthRaster[4] = 64;
  gArmourRaster[3] = 64;
  gArmourRaster[4] = 64;
  uint32_t health = reinterpret_cast<uintptr_t>(gHealthTexture);
  uint32_t armour = reinterpret_cast<uintptr_t>(gArmourTexture);
  if (strcmp(value, "none") == 0) {
    health = 0;
    armour = 0;
  } else if (strcmp(value, "health-only") == 0) {
    armour = 0;
  } else if (strcmp(value, "valid") != 0) {
    Fail(kExitUsage, "icons: expected valid, none or health-only");
  }
  gVhud.setLoadResults(health, armour);
  std::string line = Event("icons");
  Field(&line, "health", health);
  Field(&line, "armour", armour);
  Emit(line);
}

void SetVhudByte(uint32_t offset, uint8_t value) {
  if (gVhud.base == 0) {
    Fail(kExitUsage, "wheel/radar: VHud is not loaded");
  }
  *reinterpret_cast<volatile uint8_t*>(gVhud.base + offset) = value;
}

void ReportNewRecords() {
  const standin::GameRecorder* game = standin::GameRecord();
  for (; gDrawsReported < game->drawCalls && gDrawsReported < standin::kMaxDrawRecords;
       ++gDrawsReported) {
    const standin::DrawRecord& d = game->draws[gDrawsReported];
    std::string line = Event("draw");
    Number(&line, "index", gDrawsReported);
    Number(&line, "frame", game->framesRun);
    Field(&line, "sprite", d.sprite);
    Field(&line, "texture", d.texture);
    Field(&line, "x", d.x);
    Field(&line, "y", d.y);
    Field(&line, "width", d.width);
    Field(&line, "height", d.height);
    uint32_t colour = static_cast<uint32_t>(d.colour[0]) << 24 |
                      static_cast<uint32_t>(d.colour[1]) << 16 |
                      static_cast<uint32_t>(d.colour[2]) << 8 | d.colour[3];
    Field(&line, "colour", colour);
    DecimalField(&line, "x_value", FromBits(d.x));
    DecimalField(&line, "y_value", FromBits(d.y));
    DecimalField(&line, "width_value", FromBits(d.width));
    DecimalField(&line, "height_value", FromBits(d.height));
    ScreenField(&line);
    Emit(line);
  }
  if (gVhud.record == nullptr) {
    return;
  }
  const standin::VhudRecorder* vhud = gVhud.record();
  for (; gLoadsReported < vhud->loadCalls && gLoadsReported < standin::kMaxLoadRecords;
       ++gLoadsReported) {
    const standin::LoadRecord& r = vhud->loads[gLoadsReported];
    std::string line = Event("load");
    Number(&line, "index", gLoadsReported);
    Number(&line, "frame", game->framesRun);
    Text(&line, "folder", r.folder);
    Text(&line, "name", r.name);
    Field(&line, "result", r.result);
    Emit(line);
  }
}

#ifdef QI_HAVE_WHEEL
uint32_t gWheelRunsReported = 0;

void HexArray(std::string* out, const char* name, const uint32_t* values, uint32_t count) {
  Key(out, name);
  *out += '[';
  for (uint32_t i = 0; i < count; ++i) {
    if (i != 0) {
      *out += ',';
    }
    Hex(out, values[i]);
  }
  *out += ']';
}

void DecimalArray(std::string* out, const float* values, uint32_t count) {
  *out += '[';
  for (uint32_t i = 0; i < count; ++i) {
    if (i != 0) {
      *out += ',';
    }
    Decimal(out, values[i]);
  }
  *out += ']';
}

// Slot k's quad as the wheel should show it with the static-slot patch: VHud's
// placement (its rotation of the start quad about the wheel centre by the
// slot's angle), turned back upright about its own centre, then shifted
// sideways by the slot's offset scaled to the screen height.
void ExpectedSlotQuad(uint32_t k, float unpatched[8], float expected[8]) {
  static const float kOffsets[8] = {0.0f, -62.0f, -48.0f, -62.0f, 0.0f, 62.0f, 48.0f, 62.0f};
  const float angle = standin::kWheelAngles[k];
  float cx = standin::kWheelCentreX;
  float cy = standin::kWheelCentreY;
  if (gVhud.wheelCentre != nullptr) {
    gVhud.wheelCentre(&cx, &cy);
  }
  gVhud.slotStartQuad(unpatched);
  gVhud.rotateQuad(unpatched, cx, cy, angle);
  float* q = expected;
  memcpy(q, unpatched, sizeof(float) * 8);
  float mx = (((q[0] + q[2]) + q[4]) + q[6]) * 0.25f;
  float my = (((q[1] + q[3]) + q[5]) + q[7]) * 0.25f;
  uint32_t negated = Bits(angle) ^ 0x80000000u;
  float back;
  memcpy(&back, &negated, 4);
  gVhud.rotateQuad(q, mx, my, back);
  int32_t height = *reinterpret_cast<const volatile int32_t*>(standin::kGameScreenHeight);
  if (height > 0) {
    float offset = (static_cast<float>(height) / 1080.0f) * kOffsets[k];
    for (int i = 0; i < 8; i += 2) {
      q[i] = q[i] + offset;
    }
  }
}

// What VHud's wheel drawing produced in the frame just run: the bit patterns
// (quadK, content_x, ammo_x, centre_text), the same values as decimals under
// "values", and two references from the stand-in itself: VHud's own
// placement of each slot (unpatchedK) and the quad the static-slot patch
// should give (expectedK).
void ReportWheel() {
  if (gVhud.wheelRecord == nullptr) {
    return;
  }
  const standin::WheelRecord* w = static_cast<const standin::WheelRecord*>(gVhud.wheelRecord());
  if (w->runs == gWheelRunsReported) {
    return;
  }
  gWheelRunsReported = w->runs;
  std::string line = Event("wheel");
  Number(&line, "frame", FramesRun());
  ScreenField(&line);
  Number(&line, "runs", w->runs);
  Number(&line, "rotate_calls", w->rotateCalls);
  Number(&line, "slot_faults", w->slotFaults);
  HexArray(&line, "spacing_faults", w->spacingFaults, 8);
  uint32_t bits[8];
  for (uint32_t k = 0; k < 8; ++k) {
    for (int i = 0; i < 8; ++i) {
      bits[i] = Bits(w->slotQuads[k].v[i]);
    }
    char name[32];
    snprintf(name, sizeof(name), "quad%u", static_cast<unsigned>(k));
    HexArray(&line, name, bits, 8);
    float unpatched[8];
    float expected[8];
    ExpectedSlotQuad(k, unpatched, expected);
    for (int i = 0; i < 8; ++i) {
      bits[i] = Bits(expected[i]);
    }
    snprintf(name, sizeof(name), "expected%u", static_cast<unsigned>(k));
    HexArray(&line, name, bits, 8);
    for (int i = 0; i < 8; ++i) {
      bits[i] = Bits(unpatched[i]);
    }
    snprintf(name, sizeof(name), "unpatched%u", static_cast<unsigned>(k));
    HexArray(&line, name, bits, 8);
  }
  for (uint32_t k = 0; k < 8; ++k) {
    bits[k] = Bits(w->slotContentX[k]);
  }
  HexArray(&line, "content_x", bits, 8);
  for (uint32_t k = 0; k < 8; ++k) {
    bits[k] = Bits(w->slotAmmoX[k]);
  }
  HexArray(&line, "ammo_x", bits, 8);
  for (uint32_t i = 0; i < 6; ++i) {
    bits[i] = Bits(w->centreText[i]);
  }
  HexArray(&line, "centre_text", bits, 6);
  line +=
      ",\"centre_text_sites\":[\"name-y\",\"name-x\",\"count-y\",\"count-x\",\"arrow-y\","
      "\"extra-x\"]";
  line += ",\"values\":{\"quads\":[";
  for (uint32_t k = 0; k < 8; ++k) {
    if (k != 0) {
      line += ',';
    }
    DecimalArray(&line, w->slotQuads[k].v, 8);
  }
  line += "],\"content_x\":";
  DecimalArray(&line, w->slotContentX, 8);
  line += ",\"ammo_x\":";
  DecimalArray(&line, w->slotAmmoX, 8);
  line += ",\"centre_text\":";
  DecimalArray(&line, w->centreText, 6);
  line += '}';
  Emit(line);
}
#else
void ReportWheel() {}
#endif

void RunFrames(uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t drawsBefore = standin::GameRecord()->drawCalls;
    standin::RunHudFrame();
    const standin::GameRecorder* game = standin::GameRecord();
    std::string line = Event("frame");
    Number(&line, "frame", game->framesRun);
    Number(&line, "fault", game->lastFrameFault);
    Number(&line, "own_hud_runs", gOwnHudRuns);
    if (gVhud.record != nullptr) {
      const standin::VhudRecorder* vhud = gVhud.record();
      uint32_t run = vhud->hudRuns;
      Number(&line, "vhud_hud_runs", run);
      if (run > 0 && run <= standin::kMaxHudRunRecords) {
        Number(&line, "radar_seen", vhud->radarSeen[run - 1]);
        Number(&line, "wheel_seen", vhud->wheelSeen[run - 1]);
      }
      Number(&line, "radar_after",
             *reinterpret_cast<const volatile uint8_t*>(gVhud.base + standin::kVhudRadarEnabled));
      Number(&line, "wheel",
             *reinterpret_cast<const volatile uint8_t*>(gVhud.base + standin::kVhudWheelOpen));
    }
    Number(&line, "draw_calls", game->drawCalls);
    Number(&line, "draws", game->drawCalls - drawsBefore);
    ScreenField(&line);
    Number(&line, "menu", GameByte(standin::kGameMenuActive));
    Number(&line, "frozen", GameByte(standin::kGameFrozen));
    Number(&line, "hud", GameByte(standin::kGameWantsToDrawHud));
    Number(&line, "widescreen", GameByte(standin::kGameWidescreen));
    Number(&line, "cutscene", GameByte(standin::kGameCutscene));
    Field(&line, "player", game->player);
    Field(&line, "hud_jump_target", HudJumpTarget());
    Emit(line);
    ReportNewRecords();
    ReportWheel();
    ReportLog();
  }
}

// ---- Another party puts back VHud's original bytes -----------------------------
struct Site {
  const char* name;
  uintptr_t address;
  uint32_t length;
  uint8_t original[9];
  uint8_t plugin[9];  // what the site held right before the restore
};
Site gSites[9];
uint32_t gSiteCount = 0;
double gRestoredAt = 0.0;

void PutWord(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    out[i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

std::string ByteText(const uint8_t* bytes, uint32_t length) {
  std::string text;
  char two[4];
  for (uint32_t i = 0; i < length; ++i) {
    snprintf(two, sizeof(two), i == 0 ? "%02X" : " %02X", bytes[i]);
    text += two;
  }
  return text;
}

#ifdef QI_HAVE_WHEEL
void AddSite(const char* name, uintptr_t address, uint32_t length, const uint8_t* original) {
  Site& s = gSites[gSiteCount++];
  s.name = name;
  s.address = address;
  s.length = length;
  memcpy(s.original, original, length);
  memcpy(s.plugin, reinterpret_cast<const void*>(address), length);
}

// The game's HUD jump to VHud's HUD routine, VHud's call of RotateVertices,
// its nine slot-layout bytes and its six centre-text instructions with their
// own constants' addresses: written in one go, as another plug-in or a
// reloaded VHud would.
void Restore() {
  if (gVhud.base == 0) {
    Fail(kExitUsage, "restore: VHud is not loaded");
  }
  const uintptr_t base = gVhud.base;
  gSiteCount = 0;
  uint8_t bytes[9];
  bytes[0] = 0xE9;
  PutWord(bytes + 1, static_cast<uint32_t>(base + standin::kVhudHudRoutine) -
                         static_cast<uint32_t>(standin::kGameHudJumpEnd));
  AddSite("hud-jump", standin::kGameHudJump, 5, bytes);
  bytes[0] = 0xE8;
  PutWord(bytes + 1, static_cast<uint32_t>(standin::kWheelRotateVertices) -
                         static_cast<uint32_t>(standin::kWheelRotateCall + 5));
  AddSite("static-slot", base + standin::kWheelRotateCall, 5, bytes);
  const uint8_t spacing[9] = {0x8B, 0x7A, 0x44, 0x8D, 0x8D, 0xA4, 0xC0, 0xFF, 0xFF};
  AddSite("spacing", base + standin::kWheelSpacingSite, 9, spacing);
  static const char* const kLabels[6] = {"name-y",  "name-x",  "count-y",
                                         "count-x", "arrow-y", "extra-x"};
  for (uint32_t i = 0; i < 6; ++i) {
    bytes[0] = 0xF3;
    bytes[1] = 0x0F;
    bytes[2] = standin::kCentreTextOperations[i];
    bytes[3] = 0x05;
    PutWord(bytes + 4, static_cast<uint32_t>(base + standin::kWheelConstants + 4 * i));
    AddSite(kLabels[i], base + standin::kCentreTextSiteOffsets[i], 8, bytes);
  }
  DWORD old[9];
  for (uint32_t i = 0; i < gSiteCount; ++i) {
    if (!VirtualProtect(reinterpret_cast<void*>(gSites[i].address), gSites[i].length,
                        PAGE_EXECUTE_READWRITE, &old[i])) {
      Fail(kExitImage, "restore: VirtualProtect failed");
    }
  }
  for (uint32_t i = 0; i < gSiteCount; ++i) {
    volatile uint8_t* at = reinterpret_cast<volatile uint8_t*>(gSites[i].address);
    for (uint32_t j = 0; j < gSites[i].length; ++j) {
      at[j] = gSites[i].original[j];
    }
  }
  gRestoredAt = Milliseconds();
  for (uint32_t i = 0; i < gSiteCount; ++i) {
    DWORD ignored = 0;
    VirtualProtect(reinterpret_cast<void*>(gSites[i].address), gSites[i].length, old[i], &ignored);
  }
  FlushInstructionCache(GetCurrentProcess(), nullptr, 0);
  std::string line = Event("restore");
  char text[40];
  snprintf(text, sizeof(text), ",\"restored_at_ms\":%.3f", gRestoredAt);
  line += text;
  line += ",\"sites\":[";
  for (uint32_t i = 0; i < gSiteCount; ++i) {
    const Site& s = gSites[i];
    line += i == 0 ? "{" : ",{";
    line += "\"site\":\"";
    line += s.name;
    line += '"';
    Field(&line, "address", s.address);
    Text(&line, "plugin_bytes", ByteText(s.plugin, s.length).c_str());
    Text(&line, "restored_bytes", ByteText(s.original, s.length).c_str());
    Number(&line, "was_patched", memcmp(s.plugin, s.original, s.length) != 0 ? 1 : 0);
    line += '}';
  }
  line += ']';
  Emit(line);
}
#else
void Restore() { Fail(kExitUsage, "restore: built without the wheel stand-in"); }
#endif

// Polls every site of the last restore until each holds what it held before
// it (the plug-in's bytes) again.
void WaitRepatch(uint32_t timeoutMs) {
  double seen[9];
  for (uint32_t i = 0; i < gSiteCount; ++i) {
    seen[i] = -1.0;
  }
  uint32_t left = gSiteCount;
  const double start = Milliseconds();
  while (left > 0 && Milliseconds() - start < timeoutMs) {
    for (uint32_t i = 0; i < gSiteCount; ++i) {
      if (seen[i] < 0.0 && memcmp(reinterpret_cast<const void*>(gSites[i].address),
                                  gSites[i].plugin, gSites[i].length) == 0) {
        seen[i] = Milliseconds() - gRestoredAt;
        --left;
      }
    }
    if (left > 0) {
      Sleep(1);
    }
  }
  std::string line = Event("repatch");
  Number(&line, "repatched", left == 0 ? 1 : 0);
  double last = 0.0;
  double first = -1.0;
  line += ",\"sites\":[";
  for (uint32_t i = 0; i < gSiteCount; ++i) {
    char text[96];
    snprintf(text, sizeof(text), "%s{\"site\":\"%s\",\"after_ms\":", i == 0 ? "" : ",",
             gSites[i].name);
    line += text;
    if (seen[i] < 0.0) {
      line += "null}";
      continue;
    }
    snprintf(text, sizeof(text), "%.3f}", seen[i]);
    line += text;
    last = seen[i] > last ? seen[i] : last;
    first = (first < 0.0 || seen[i] < first) ? seen[i] : first;
  }
  line += ']';
  char text[96];
  snprintf(text, sizeof(text), ",\"first_ms\":%.3f,\"last_ms\":%.3f", first, last);
  line += text;
  Emit(line);
}

// Which of the plug-in's patches the game and VHud hold now: a jump, call
// or operand that leads into the plug-in's image.
void ReportPatches() {
  uintptr_t low = reinterpret_cast<uintptr_t>(gPlugin);
  uintptr_t high = gPlugin != nullptr ? low + SizeOfImage(low) : 0;
  auto inside = [&](uint32_t address) { return address >= low && address < high; };
  auto leads = [&](uintptr_t site, uint8_t opcode) {
    uint32_t rel;
    memcpy(&rel, reinterpret_cast<const void*>(site + 1), 4);
    return GameByte(site) == opcode && inside(static_cast<uint32_t>(site + 5) + rel);
  };
  const uint32_t hook = leads(standin::kGameHudJump, 0xE9) ? 1 : 0;
  uint32_t staticSlot = 0;
  uint32_t spacing = 0;
  uint32_t centre = 0;
#ifdef QI_HAVE_WHEEL
  if (gVhud.base != 0) {
    staticSlot = leads(gVhud.base + standin::kWheelRotateCall, 0xE8) ? 1 : 0;
    spacing = leads(gVhud.base + standin::kWheelSpacingSite + 3, 0xE9) ? 1 : 0;  // in place of LEA
    for (uint32_t i = 0; i < 6; ++i) {
      uint32_t operand;
      memcpy(&operand,
             reinterpret_cast<const void*>(gVhud.base + standin::kCentreTextSiteOffsets[i] + 4), 4);
      centre += inside(operand) ? 1 : 0;
    }
  }
#endif
  std::string line = Event("patches");
  Number(&line, "hud_hook", hook);
  Number(&line, "static_slot", staticSlot);
  Number(&line, "spacing", spacing);
  Number(&line, "centre_text_sites", centre);
  Number(&line, "in_place", hook + staticSlot + spacing + (centre == 6 ? 1 : 0));
  Emit(line);
}

[[noreturn]] void Unload() {
  Emit(Event("unload"));
  if (gOut != stdout) {
    fclose(gOut);
  }
  gOut = nullptr;
  if (gPlugin != nullptr) {
    FreeLibrary(gPlugin);
  }
  // The plug-in's worker and its HUD hook outlive FreeLibrary; end the
  // process at once, as the game does when it closes.
  ExitProcess(0);
}

// Runs frames back to back without reporting each one, and reports how long
// they took: the frame rate of the HUD path as it stands (straight to VHud
// before the plug-in hooked it, through the plug-in after).
void BenchFrames(uint32_t count) {
  const uint32_t target = HudJumpTarget();
  const uint32_t drawsBefore = standin::GameRecord()->drawCalls;
  const double start = Milliseconds();
  for (uint32_t i = 0; i < count; ++i) {
    standin::RunHudFrame();
  }
  const double elapsed = Milliseconds() - start;
  std::string line = Event("bench");
  Number(&line, "frames", count);
  Field(&line, "hud_jump_target", target);
  Number(&line, "draws", standin::GameRecord()->drawCalls - drawsBefore);
  Number(&line, "microseconds", static_cast<long long>(elapsed * 1000.0));
  Number(&line, "frames_per_second",
         elapsed > 0.0 ? static_cast<long long>(count * 1000.0 / elapsed) : 0);
  Emit(line);
}

uint32_t Count(const std::vector<std::string>& steps, size_t* i) {
  if (*i + 1 >= steps.size()) {
    Fail(kExitUsage, "a step lacks its number");
  }
  ++*i;
  return static_cast<uint32_t>(strtoul(steps[*i].c_str(), nullptr, 0));
}

const char* Word(const std::vector<std::string>& steps, size_t* i) {
  if (*i + 1 >= steps.size()) {
    Fail(kExitUsage, "a step lacks its value");
  }
  ++*i;
  return steps[*i].c_str();
}

void ReportScreen() {
  std::string line = Event("screen");
  ScreenField(&line);
  Emit(line);
}

void ReportFlag(const char* name, uint32_t value) {
  std::string line = Event("flag");
  Text(&line, "name", name);
  Number(&line, "value", value);
  Emit(line);
}

void RunSteps(const std::vector<std::string>& steps) {
  for (size_t i = 0; i < steps.size(); ++i) {
    const std::string& s = steps[i];
    if (s == "vhud") {
      LoadVhud();
    } else if (s == "plugin") {
      LoadPlugin();
    } else if (s == "wait-hook") {
      WaitHook(Count(steps, &i));
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
      standin::SetScreen(w, h);
      ReportScreen();
    } else if (s == "menu" || s == "frozen" || s == "hud" || s == "widescreen" || s == "cutscene") {
      const uint32_t value = Count(steps, &i);
      const uint8_t byte = static_cast<uint8_t>(value);
      if (s == "menu") {
        standin::SetMenuActive(byte);
      } else if (s == "frozen") {
        standin::SetGameFrozen(byte);
      } else if (s == "hud") {
        standin::SetWantsToDrawHud(byte);
      } else if (s == "widescreen") {
        standin::SetWidescreen(byte);
      } else {
        standin::SetCutscene(byte);
      }
      ReportFlag(s.c_str(), byte);
    } else if (s == "wheel" || s == "radar") {
      const uint8_t byte = static_cast<uint8_t>(Count(steps, &i));
      SetVhudByte(s == "wheel" ? standin::kVhudWheelOpen : standin::kVhudRadarEnabled, byte);
      ReportFlag(s.c_str(), byte);
    } else if (s == "frames") {
      RunFrames(Count(steps, &i));
    } else if (s == "bench") {
      BenchFrames(Count(steps, &i));
    } else if (s == "restore") {
      Restore();
    } else if (s == "wait-repatch") {
      WaitRepatch(Count(steps, &i));
    } else if (s == "patches") {
      ReportPatches();
    } else if (s == "note") {
      std::string line = Event("note");
      Text(&line, "text", Word(steps, &i));
      Emit(line);
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

}  // namespace

int main(int argc, char** argv) {
  QueryPerformanceFrequency(&gClockRate);
  QueryPerformanceCounter(&gClockStart);
  std::vector<std::string> steps;
  int32_t width = 1920;
  int32_t height = 1080;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--out") == 0 && i + 1 < argc) {
      gOut = fopen(argv[++i], "wb");
      if (gOut == nullptr) {
        gOut = stdout;
        Fail(kExitUsage, "cannot open the output file");
      }
    } else if (strcmp(argv[i], "--screen") == 0 && i + 1 < argc) {
      long w = 0;
      long h = 0;
      char extra = 0;
      if (sscanf(argv[++i], "%ldx%ld%c", &w, &h, &extra) != 2) {
        Fail(kExitUsage, "--screen wants WIDTHxHEIGHT");
      }
      width = static_cast<int32_t>(w);
      height = static_cast<int32_t>(h);
    } else if (strcmp(argv[i], "--steps") == 0 && i + 1 < argc) {
      ReadStepFile(argv[++i], &steps);
    } else {
      steps.push_back(argv[i]);
    }
  }
  if (steps.empty()) {
    const char* demo[] = {"vhud",  "plugin", "wait-hook", "10000", "player", "100",    "icons",
                          "valid", "frames", "3",         "wheel", "1",      "frames", "2",
                          "wheel", "0",      "frames",    "1",     "unload"};
    steps.assign(demo, demo + sizeof(demo) / sizeof(demo[0]));
  }
  CheckOwnImage();
  BuildGame(width, height);
  RunSteps(steps);
  Emit(Event("end"));
  if (gOut != stdout) {
    fclose(gOut);
  }
  return 0;
}
