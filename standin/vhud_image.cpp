#include "vhud_image.h"

#include "vhud_wheel.h"

namespace standin {
namespace {

VhudRecorder gVhud;

uint8_t ReadByteAt(uintptr_t address) {
  return *reinterpret_cast<volatile const uint8_t*>(address);
}

void WriteByteAt(uintptr_t address, uint8_t value) {
  *reinterpret_cast<volatile uint8_t*>(address) = value;
}

void WriteHalfAt(uintptr_t address, uint16_t value) {
  WriteByteAt(address, static_cast<uint8_t>(value));
  WriteByteAt(address + 1, static_cast<uint8_t>(value >> 8));
}

void WriteWordAt(uintptr_t address, uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    WriteByteAt(address + i, static_cast<uint8_t>(value >> (8 * i)));
  }
}

void WriteJump(uintptr_t site, uintptr_t target) {
  WriteByteAt(site, 0xE9);
  WriteWordAt(site + 1, static_cast<uint32_t>(target) - static_cast<uint32_t>(site + 5));
}

void Zero(void* memory, uint32_t size) {
  volatile uint8_t* p = static_cast<volatile uint8_t*>(memory);
  for (uint32_t i = 0; i < size; ++i) {
    p[i] = 0;
  }
}

bool SameText(const char* a, const char* b) {
  for (;; ++a, ++b) {
    if (*a != *b) {
      return false;
    }
    if (*a == '\0') {
      return true;
    }
  }
}

void CopyText(char* out, uint32_t capacity, const char* text) {
  uint32_t i = 0;
  if (text != nullptr) {
    for (; i + 1 < capacity && text[i] != '\0'; ++i) {
      out[i] = text[i];
    }
  }
  out[i] = '\0';
}

// VHud's HUD routine: no arguments, result ignored. Notes the radar and
// wheel bytes as they are while it runs, and draws the wheel when it is open.
__attribute__((cdecl, used)) void HudRoutineStandIn() {
  uintptr_t base = gVhud.base;
  if (gVhud.skipByteReads != 0) {
    ++gVhud.hudRuns;
    return;
  }
  uint8_t radar = ReadByteAt(base + kVhudRadarEnabled);
  uint8_t wheel = ReadByteAt(base + kVhudWheelOpen);
  uint32_t n = gVhud.hudRuns++;
  if (n < kMaxHudRunRecords) {
    gVhud.radarSeen[n] = radar;
    gVhud.wheelSeen[n] = wheel;
  }
  if (wheel != 0 && gVhud.otherBuild == 0) {
    ++gVhud.wheelRuns;
    RunVhudWheel(base);
  }
}

// Another build's routine at VHudLoadSprite's offset: whatever it is, the
// plug-in must never call it.
__attribute__((cdecl, used)) uint32_t TrapStandIn(const char*, const char*) {
  ++gVhud.trapCalls;
  return 0;
}

// VHudLoadSprite: cdecl, two texts removed by the caller, a texture pointer
// returned.
__attribute__((cdecl, used)) uint32_t LoadSpriteStandIn(const char* folder, const char* name) {
  uint32_t result = gVhud.otherResult;
  if (name != nullptr && SameText(name, "health_icon")) {
    result = gVhud.healthResult;
  } else if (name != nullptr && SameText(name, "armour_icon")) {
    result = gVhud.armourResult;
  }
  uint32_t n = gVhud.loadCalls++;
  if (n < kMaxLoadRecords) {
    LoadRecord& r = gVhud.loads[n];
    CopyText(r.folder, sizeof(r.folder), folder);
    CopyText(r.name, sizeof(r.name), name);
    r.result = result;
  }
  return result;
}

}  // namespace

VhudRecorder* VhudRecord() { return &gVhud; }

void ClearVhudRecord() {
  uintptr_t base = gVhud.base;
  uint32_t health = gVhud.healthResult;
  uint32_t armour = gVhud.armourResult;
  uint32_t other = gVhud.otherResult;
  uint8_t otherBuild = gVhud.otherBuild;
  Zero(&gVhud, sizeof(gVhud));
  gVhud.base = base;
  gVhud.healthResult = health;
  gVhud.armourResult = armour;
  gVhud.otherResult = other;
  gVhud.otherBuild = otherBuild;
}

void BuildVhudHeaders(uintptr_t base, uint32_t sizeOfImage) {
  constexpr uint32_t kNt = 0x80;              // e_lfanew
  constexpr uint32_t kOptional = kNt + 0x18;  // after signature and file header
  constexpr uint32_t kSections = kOptional + 0xE0;
  Zero(reinterpret_cast<void*>(base), 0x400);
  // DOS header.
  WriteHalfAt(base + 0x00, 0x5A4D);  // "MZ"
  WriteHalfAt(base + 0x02, 0x0090);
  WriteHalfAt(base + 0x04, 0x0003);
  WriteHalfAt(base + 0x08, 0x0004);
  WriteHalfAt(base + 0x0C, 0xFFFF);
  WriteHalfAt(base + 0x10, 0x00B8);
  WriteHalfAt(base + 0x18, 0x0040);
  WriteWordAt(base + 0x3C, kNt);
  // NT signature and file header.
  WriteWordAt(base + kNt, 0x00004550);   // "PE\0\0"
  WriteHalfAt(base + kNt + 4, 0x014C);   // i386
  WriteHalfAt(base + kNt + 6, 2);        // sections
  WriteHalfAt(base + kNt + 20, 0xE0);    // optional header size
  WriteHalfAt(base + kNt + 22, 0x2102);  // executable, 32-bit, DLL
  // Optional header (PE32).
  WriteHalfAt(base + kOptional + 0, 0x010B);
  WriteByteAt(base + kOptional + 2, 14);
  WriteWordAt(base + kOptional + 4, kVhudCodeEnd - kVhudCodeBegin);  // SizeOfCode
  WriteWordAt(base + kOptional + 8, sizeOfImage - kVhudCodeEnd);     // initialised data
  WriteWordAt(base + kOptional + 16, kVhudHudRoutine);               // entry point
  WriteWordAt(base + kOptional + 20, kVhudCodeBegin);                // BaseOfCode
  WriteWordAt(base + kOptional + 24, kVhudCodeEnd);                  // BaseOfData
  WriteWordAt(base + kOptional + 28, static_cast<uint32_t>(base));   // ImageBase
  WriteWordAt(base + kOptional + 32, 0x1000);                        // SectionAlignment
  WriteWordAt(base + kOptional + 36, 0x200);                         // FileAlignment
  WriteHalfAt(base + kOptional + 40, 5);                             // OS version
  WriteHalfAt(base + kOptional + 48, 5);                             // subsystem version
  WriteWordAt(base + kOptional + 56, sizeOfImage);                   // SizeOfImage
  WriteWordAt(base + kOptional + 60, 0x400);                         // SizeOfHeaders
  WriteHalfAt(base + kOptional + 68, 2);                             // Windows GUI
  WriteHalfAt(base + kOptional + 70, 0x0140);                        // dynamic base, NX
  WriteWordAt(base + kOptional + 72, 0x100000);                      // stack reserve
  WriteWordAt(base + kOptional + 76, 0x1000);                        // stack commit
  WriteWordAt(base + kOptional + 80, 0x100000);                      // heap reserve
  WriteWordAt(base + kOptional + 84, 0x1000);                        // heap commit
  WriteWordAt(base + kOptional + 92, 16);                            // data directories
  // Section table: code, then data.
  const char kText[8] = {'.', 't', 'e', 'x', 't', 0, 0, 0};
  const char kData[8] = {'.', 'd', 'a', 't', 'a', 0, 0, 0};
  for (int i = 0; i < 8; ++i) {
    WriteByteAt(base + kSections + i, static_cast<uint8_t>(kText[i]));
    WriteByteAt(base + kSections + 40 + i, static_cast<uint8_t>(kData[i]));
  }
  WriteWordAt(base + kSections + 8, kVhudCodeEnd - kVhudCodeBegin);
  WriteWordAt(base + kSections + 12, kVhudCodeBegin);
  WriteWordAt(base + kSections + 36, 0x60000020);  // code, execute, read
  WriteWordAt(base + kSections + 40 + 8, sizeOfImage - kVhudCodeEnd);
  WriteWordAt(base + kSections + 40 + 12, kVhudCodeEnd);
  WriteWordAt(base + kSections + 40 + 36, 0xC0000040);  // data, read, write
}

void BuildVhudCode(uintptr_t base) {
  Zero(&gVhud, sizeof(gVhud));
  gVhud.base = base;
  WriteJump(HudRoutineAddress(base), reinterpret_cast<uintptr_t>(&HudRoutineStandIn));
  WriteJump(LoadSpriteAddress(base), reinterpret_cast<uintptr_t>(&LoadSpriteStandIn));
  SetRadarEnabled(base, 1);
  SetWheelOpen(base, 0);
  BuildVhudWheel(base);
}

void BuildVhudImage(uintptr_t base, uint32_t sizeOfImage) {
  BuildVhudHeaders(base, sizeOfImage);
  BuildVhudCode(base);
}

void BuildOtherVhudBuild(uintptr_t base) {
  for (const ByteRange& r : kWheelRanges) {
    for (uint32_t at = r.begin; at < r.end; ++at) {
      WriteByteAt(base + at, 0xCC);
    }
  }
  WriteJump(LoadSpriteAddress(base), reinterpret_cast<uintptr_t>(&TrapStandIn));
  SetRadarEnabled(base, kOtherBuildCanary);
  gVhud.otherBuild = 1;
}

uintptr_t HudRoutineAddress(uintptr_t base) { return base + kVhudHudRoutine; }
uintptr_t LoadSpriteAddress(uintptr_t base) { return base + kVhudLoadSprite; }

void SetLoadResults(uint32_t health, uint32_t armour) {
  gVhud.healthResult = health;
  gVhud.armourResult = armour;
}

void SetRadarEnabled(uintptr_t base, uint8_t value) {
  WriteByteAt(base + kVhudRadarEnabled, value);
}
void SetWheelOpen(uintptr_t base, uint8_t value) { WriteByteAt(base + kVhudWheelOpen, value); }
uint8_t RadarEnabled(uintptr_t base) { return ReadByteAt(base + kVhudRadarEnabled); }

}  // namespace standin
