// The stand-in game executable. Its image (base 0x400000, never relocated)
// covers the game's fixed addresses; it builds the game's code and data
// there, then works as the game's plug-in loader: it loads "VHud.asi" and the
// plug-in with LoadLibraryA, waits for the plug-in's worker to redirect the
// HUD jump, runs HUD frames through 0x58FAE0 as the game does, and finally
// frees the plug-in. What it sees is written as JSON lines (one object per
// line; addresses, sizes and float bit patterns as "0x" and eight hex digits).
//
// Usage: standin_game.exe [--out FILE] [--steps FILE] [STEP...]
// Steps, run in order (without any, a short default scenario runs):
//   vhud                 LoadLibraryA("VHud.asi")
//   plugin               LoadLibraryA("Quorvel_Icons.asi")
//   wait-hook MS         wait until the HUD jump no longer leads to VHud's
//                        HUD routine (the plug-in's hook), at most MS ms
//   sleep MS             Sleep(MS)
//   player HEALTH|none   the player record QueryPlayerPed returns
//   icons valid|none|health-only
//                        what VHudLoadSprite returns for the two icons
//   screen W H           screen size
//   menu|frozen|hud|widescreen|cutscene 0|1   the game's flags
//   wheel 0|1            VHud's wheel byte
//   radar 0|1            VHud's radar byte
//   frames N             N HUD frames
//   unload               FreeLibrary of the plug-in, then exit
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

FILE* gOut = stdout;
uint32_t gOwnHudRuns = 0;

// The game's own HUD routine, the jump's target while no VHud is loaded.
extern "C" __attribute__((cdecl, used)) void GameOwnHudRoutine() { ++gOwnHudRuns; }

// The player's character record: health at 1344, 1348 bytes.
alignas(16) uint8_t gPlayer[1348];
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
};
Vhud gVhud;
HMODULE gPlugin = nullptr;
uint32_t gDrawsReported = 0;
uint32_t gLoadsReported = 0;

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

void Field(std::string* out, const char* name, uint32_t hex) {
  *out += ",\"";
  *out += name;
  *out += "\":";
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

void Text(std::string* out, const char* name, const char* value) {
  *out += ",\"";
  *out += name;
  *out += "\":\"";
  for (const char* p = value; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
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

std::string Event(const char* name) {
  std::string line = "{\"event\":\"";
  line += name;
  line += '"';
  return line;
}

void Emit(const std::string& line) {
  fputs(line.c_str(), gOut);
  fputs("}\n", gOut);
  fflush(gOut);
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

void BuildGame() {
  DWORD old = 0;
  if (!VirtualProtect(reinterpret_cast<void*>(standin::kGameLow),
                      standin::kGameHigh - standin::kGameLow, PAGE_EXECUTE_READWRITE, &old)) {
    Fail(kExitImage, "VirtualProtect of the game range failed");
  }
  standin::BuildGameImage(reinterpret_cast<uintptr_t>(&GameOwnHudRoutine));
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
  Emit(line);
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
  gVhud.record = reinterpret_cast<StandinVhudRecordFn>(
      reinterpret_cast<void*>(GetProcAddress(module, QI_VHUD_EXPORT_RECORD)));
  gVhud.setLoadResults = reinterpret_cast<StandinVhudSetLoadResultsFn>(
      reinterpret_cast<void*>(GetProcAddress(module, QI_VHUD_EXPORT_SET_LOAD_RESULTS)));
  gVhud.hookedGame = reinterpret_cast<StandinVhudHookedGameFn>(
      reinterpret_cast<void*>(GetProcAddress(module, QI_VHUD_EXPORT_HOOKED_GAME)));
  gVhud.wheelRecord = reinterpret_cast<StandinVhudWheelRecordFn>(
      reinterpret_cast<void*>(GetProcAddress(module, QI_VHUD_EXPORT_WHEEL_RECORD)));
  gVhud.rotateQuad = reinterpret_cast<StandinVhudRotateQuadFn>(
      reinterpret_cast<void*>(GetProcAddress(module, QI_VHUD_EXPORT_ROTATE_QUAD)));
  gVhud.slotStartQuad = reinterpret_cast<StandinVhudSlotStartQuadFn>(
      reinterpret_cast<void*>(GetProcAddress(module, QI_VHUD_EXPORT_SLOT_START_QUAD)));
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

// Whether the plug-in's log in the current directory holds its "[HOOK]"
// line. The log is shared for reading and writing.
bool LogHasHookLine() {
  HANDLE file = CreateFileA("Quorvel_Icons.log", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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
  return text.find("[HOOK] installed; original=") != std::string::npos &&
         text.find("\r\n", text.find("[HOOK] installed; original=")) != std::string::npos;
}

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
    logged = LogHasHookLine();
    if (logged || GetTickCount() - start >= timeoutMs) {
      break;
    }
    Sleep(5);
  }
  std::string line = Event("hook");
  Number(&line, "redirected", redirected ? 1 : 0);
  Number(&line, "logged", logged ? 1 : 0);
  Field(&line, "target", HudJumpTarget());
  Number(&line, "waited_ms", static_cast<long long>(GetTickCount() - start));
  Emit(line);
}

void SetPlayer(const char* value) {
  std::string line = Event("player");
  if (strcmp(value, "none") == 0) {
    standin::SetPlayer(0);
    Field(&line, "record", 0);
  } else {
    float health = static_cast<float>(atof(value));
    memcpy(gPlayer + 1344, &health, sizeof(health));
    standin::SetPlayer(reinterpret_cast<uintptr_t>(gPlayer));
    Field(&line, "record", reinterpret_cast<uintptr_t>(gPlayer));
    Field(&line, "health", Bits(health));
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
  *out += ",\"";
  *out += name;
  *out += "\":[";
  for (uint32_t i = 0; i < count; ++i) {
    if (i != 0) {
      *out += ',';
    }
    Hex(out, values[i]);
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
  gVhud.slotStartQuad(unpatched);
  gVhud.rotateQuad(unpatched, standin::kWheelCentreX, standin::kWheelCentreY, angle);
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
  Emit(line);
}
#else
void ReportWheel() {}
#endif

void RunFrames(uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
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
    }
    Number(&line, "draw_calls", game->drawCalls);
    Emit(line);
    ReportNewRecords();
    ReportWheel();
  }
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
      SetPlayer(Word(steps, &i));
    } else if (s == "icons") {
      SetIcons(Word(steps, &i));
    } else if (s == "screen") {
      int32_t w = static_cast<int32_t>(strtol(Word(steps, &i), nullptr, 0));
      int32_t h = static_cast<int32_t>(strtol(Word(steps, &i), nullptr, 0));
      standin::SetScreen(w, h);
    } else if (s == "menu") {
      standin::SetMenuActive(static_cast<uint8_t>(Count(steps, &i)));
    } else if (s == "frozen") {
      standin::SetGameFrozen(static_cast<uint8_t>(Count(steps, &i)));
    } else if (s == "hud") {
      standin::SetWantsToDrawHud(static_cast<uint8_t>(Count(steps, &i)));
    } else if (s == "widescreen") {
      standin::SetWidescreen(static_cast<uint8_t>(Count(steps, &i)));
    } else if (s == "cutscene") {
      standin::SetCutscene(static_cast<uint8_t>(Count(steps, &i)));
    } else if (s == "wheel") {
      SetVhudByte(standin::kVhudWheelOpen, static_cast<uint8_t>(Count(steps, &i)));
    } else if (s == "radar") {
      SetVhudByte(standin::kVhudRadarEnabled, static_cast<uint8_t>(Count(steps, &i)));
    } else if (s == "frames") {
      RunFrames(Count(steps, &i));
    } else if (s == "unload") {
      Unload();
    } else {
      std::string what = "unknown step: " + s;
      Fail(kExitUsage, what.c_str());
    }
  }
}

void ReadStepFile(const char* path, std::vector<std::string>* steps) {
  FILE* f = fopen(path, "rb");
  if (f == nullptr) {
    Fail(kExitUsage, "cannot open the step file");
  }
  std::string word;
  bool comment = false;
  for (int c = fgetc(f);; c = fgetc(f)) {
    if (c == EOF || c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (!word.empty()) {
        steps->push_back(word);
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
  std::vector<std::string> steps;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--out") == 0 && i + 1 < argc) {
      gOut = fopen(argv[++i], "wb");
      if (gOut == nullptr) {
        gOut = stdout;
        Fail(kExitUsage, "cannot open the output file");
      }
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
  BuildGame();
  RunSteps(steps);
  Emit(Event("end"));
  if (gOut != stdout) {
    fclose(gOut);
  }
  return 0;
}
