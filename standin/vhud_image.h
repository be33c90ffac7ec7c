// The stand-in VHud image: PE headers, and real x86 code at VHud's offsets
// for its HUD routine and its sprite loader. Builder code is portable: it
// writes into memory already mapped writable and maps nothing itself.
#pragma once

#include <stdint.h>

namespace standin {

constexpr uint32_t kVhudSizeOfImage = 0x104A000;

// Offsets inside the image.
constexpr uint32_t kVhudHudRoutine = 0x1000;  // entry of VHud's HUD routine
constexpr uint32_t kVhudLoadSprite = 0x4F610;
constexpr uint32_t kVhudRadarEnabled = 0x155409;
constexpr uint32_t kVhudWheelOpen = 0x1049E32;
// The range holding code (headers end at 0x1000): execute-read after
// building. Everything from kVhudCodeEnd on is data and stays writable.
constexpr uint32_t kVhudCodeBegin = 0x1000;
constexpr uint32_t kVhudCodeEnd = 0x100000;

// One call of VHudLoadSprite: its two texts (cut to fit) and what it returned.
struct LoadRecord {
  char folder[32];
  char name[32];
  uint32_t result;
};

constexpr uint32_t kMaxLoadRecords = 128;
constexpr uint32_t kMaxHudRunRecords = 256;

// What the VHud-side stand-ins saw, and what VHudLoadSprite returns. Plain
// data; one per process (in the Windows build it lives in the VHud DLL).
struct VhudRecorder {
  uintptr_t base;
  // HUD routine: every run counted; the bytes it saw while running.
  uint32_t hudRuns;
  uint8_t radarSeen[kMaxHudRunRecords];
  uint8_t wheelSeen[kMaxHudRunRecords];
  uint32_t wheelRuns;  // runs that drew the wheel (RunVhudWheel called)
  // Set by a test that makes the two bytes unreadable: the routine then
  // neither reads them nor draws the wheel.
  uint8_t skipByteReads;
  // VHudLoadSprite: results per icon name; any other name gets otherResult.
  uint32_t healthResult;
  uint32_t armourResult;
  uint32_t otherResult;
  uint32_t loadCalls;
  LoadRecord loads[kMaxLoadRecords];
  // Another build (BuildOtherVhudBuild): its HUD routine draws no wheel, and
  // every call of the trap at VHudLoadSprite's offset is counted.
  uint8_t otherBuild;
  uint32_t trapCalls;
};

VhudRecorder* VhudRecord();
// Clears the run and load records; keeps base, the load results and the build.
void ClearVhudRecord();

// Writes the headers and the code (see below), the radar byte (1) and the
// wheel byte (0), resets the recorder (results 0), and builds the wheel
// stand-in (BuildVhudWheel).
void BuildVhudImage(uintptr_t base, uint32_t sizeOfImage);
// Parts of BuildVhudImage, for an image whose headers are the loader's own:
// a DOS header and PE32 NT headers with the given SizeOfImage.
void BuildVhudHeaders(uintptr_t base, uint32_t sizeOfImage);
// The HUD routine and VHudLoadSprite trampolines, the two bytes, the
// recorder, and the wheel stand-in.
void BuildVhudCode(uintptr_t base);

// Turns the built image into another build of VHud, whose offsets mean
// other things: other code (INT3) over every range the wheel builder wrote,
// at VHudLoadSprite's offset a jump to a trap that counts its calls and
// returns 0, and kOtherBuildCanary, some other datum, at the radar byte. Its
// HUD routine and HUD jump stay. Call on writable code after BuildVhudCode.
constexpr uint8_t kOtherBuildCanary = 0xA7;
void BuildOtherVhudBuild(uintptr_t base);

uintptr_t HudRoutineAddress(uintptr_t base);
uintptr_t LoadSpriteAddress(uintptr_t base);

// What VHudLoadSprite returns for "health_icon" and for "armour_icon".
void SetLoadResults(uint32_t health, uint32_t armour);
void SetRadarEnabled(uintptr_t base, uint8_t value);
void SetWheelOpen(uintptr_t base, uint8_t value);
uint8_t RadarEnabled(uintptr_t base);

}  // namespace standin
