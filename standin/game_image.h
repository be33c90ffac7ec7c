// The stand-in host game: its memory at the game's fixed addresses, with real
// x86 code at the addresses of its two routines and of the HUD jump. Builder
// code is portable: it writes into memory that the caller has already mapped
// writable (the simulation maps it; the Windows stand-in executable owns
// sections there) and maps nothing itself.
#pragma once

#include <stdint.h>

namespace standin {

// The game's range, page aligned: everything below lies inside it.
constexpr uintptr_t kGameLow = 0x56E000;
constexpr uintptr_t kGameHigh = 0xC18000;

// Fixed addresses.
constexpr uintptr_t kGameHudJump = 0x58FAE0;
constexpr uintptr_t kGameHudJumpEnd = 0x58FAE5;
constexpr uintptr_t kGameQueryPlayerPed = 0x56E210;
constexpr uintptr_t kGameDrawSprite = 0x7282C0;
constexpr uintptr_t kGameMenuActive = 0xBA67A4;
constexpr uintptr_t kGameFrozen = 0xB7CB49;
constexpr uintptr_t kGameWantsToDrawHud = 0xBAA45D;
constexpr uintptr_t kGameWidescreen = 0xB6F065;
constexpr uintptr_t kGameCutscene = 0xB5F851;
constexpr uintptr_t kGameScreenWidth = 0xC17044;
constexpr uintptr_t kGameScreenHeight = 0xC17048;

// Pages of the range that hold code (the caller makes them execute-read after
// building); every other page of the range holds data and stays writable.
constexpr uintptr_t kGameCodePages[] = {0x56E000, 0x58F000, 0x728000};
constexpr uint32_t kGameCodePageCount = 3;

// One call of DrawSprite as the routine saw it. Floats are kept as their
// exact bit patterns.
struct DrawRecord {
  uintptr_t sprite;  // ECX: the sprite record
  uint32_t texture;  // the record's one word at the time of the call
  uint32_t x, y, width, height;
  uintptr_t colourAddress;
  uint8_t colour[4];
};

constexpr uint32_t kMaxDrawRecords = 256;

// What the game-side stand-ins saw. Plain data; one per process.
struct GameRecorder {
  // QueryPlayerPed.
  uintptr_t player;  // what it returns
  uint32_t queryCalls;
  int32_t lastQueryArgument;
  // DrawSprite: every call is counted; the first kMaxDrawRecords are kept.
  uint32_t drawCalls;
  DrawRecord draws[kMaxDrawRecords];
  // RunHudFrame: frames run, and frames after which the caller found its
  // stack pointer or a callee-saved register (EBX, ESI, EDI, EBP) changed.
  uint32_t framesRun;
  uint32_t framesUnbalanced;
  uint32_t lastFrameFault;  // bit 0 ESP, 1 EBX, 2 ESI, 3 EDI, 4 EBP
};

GameRecorder* GameRecord();
// Clears the draw and query records and the frame counters; keeps the player.
void ClearGameRecord();

// Writes the whole game image: the HUD jump (E9 rel32 to hudTarget), the two
// routines, the five flags at their defaults (HUD wanted 1, the others 0) and
// the screen size 1920 x 1080. Resets the recorder (player 0).
void BuildGameImage(uintptr_t hudTarget);

// Rewrites the HUD jump as E9 rel32 to target.
void SetHudJumpTarget(uintptr_t target);
// Writes five raw bytes at the HUD jump.
void SetHudJumpBytes(const uint8_t bytes[5]);

void SetPlayer(uintptr_t record);
void SetMenuActive(uint8_t value);
void SetGameFrozen(uint8_t value);
void SetWantsToDrawHud(uint8_t value);
void SetWidescreen(uint8_t value);
void SetCutscene(uint8_t value);
void SetScreen(int32_t width, int32_t height);

// One HUD frame as the game runs it: a call of 0x58FAE0 as a routine of no
// arguments. The call is made with a stack that is only 4-byte aligned and
// with known values in the callee-saved registers, which are checked after
// the return (see GameRecorder).
void RunHudFrame();

}  // namespace standin
