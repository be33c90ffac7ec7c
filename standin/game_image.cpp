#include "game_image.h"

namespace standin {
namespace {

GameRecorder gGame;

uint32_t Bits(float value) { return __builtin_bit_cast(uint32_t, value); }

void WriteByteAt(uintptr_t address, uint8_t value) {
  *reinterpret_cast<volatile uint8_t*>(address) = value;
}

void WriteWordAt(uintptr_t address, uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    WriteByteAt(address + i, static_cast<uint8_t>(value >> (8 * i)));
  }
}

// E9 rel32 at site, reaching target (modulo 2^32).
void WriteJump(uintptr_t site, uintptr_t target) {
  WriteByteAt(site, 0xE9);
  WriteWordAt(site + 1, static_cast<uint32_t>(target) - static_cast<uint32_t>(site + 5));
}

void ClearRecorder(GameRecorder* r) {
  volatile uint8_t* p = reinterpret_cast<volatile uint8_t*>(r);
  for (uint32_t i = 0; i < sizeof(GameRecorder); ++i) {
    p[i] = 0;
  }
}

// QueryPlayerPed: cdecl, one 32-bit argument removed by the caller.
__attribute__((cdecl, used)) uintptr_t QueryPlayerPedStandIn(int32_t index) {
  ++gGame.queryCalls;
  gGame.lastQueryArgument = index;
  return gGame.player;
}

// DrawSprite: a method of the one-word sprite record (ECX), five arguments,
// removes its own 20 bytes.
__attribute__((thiscall, used)) void DrawSpriteStandIn(const uint32_t* sprite, float x, float y,
                                                       float width, float height,
                                                       const uint8_t* colour) {
  uint32_t n = gGame.drawCalls++;
  if (n >= kMaxDrawRecords) {
    return;
  }
  DrawRecord& d = gGame.draws[n];
  d.sprite = reinterpret_cast<uintptr_t>(sprite);
  d.texture = *sprite;
  d.x = Bits(x);
  d.y = Bits(y);
  d.width = Bits(width);
  d.height = Bits(height);
  d.colourAddress = reinterpret_cast<uintptr_t>(colour);
  for (int i = 0; i < 4; ++i) {
    d.colour[i] = colour[i];
  }
}

}  // namespace
}  // namespace standin

extern "C" uint32_t StandinCallChecked(uintptr_t target);

namespace standin {

GameRecorder* GameRecord() { return &gGame; }

void ClearGameRecord() {
  uintptr_t player = gGame.player;
  ClearRecorder(&gGame);
  gGame.player = player;
}

void BuildGameImage(uintptr_t hudTarget) {
  ClearRecorder(&gGame);
  SetHudJumpTarget(hudTarget);
  WriteJump(kGameQueryPlayerPed, reinterpret_cast<uintptr_t>(&QueryPlayerPedStandIn));
  WriteJump(kGameDrawSprite, reinterpret_cast<uintptr_t>(&DrawSpriteStandIn));
  SetMenuActive(0);
  SetGameFrozen(0);
  SetWantsToDrawHud(1);
  SetWidescreen(0);
  SetCutscene(0);
  SetScreen(1920, 1080);
}

void SetHudJumpTarget(uintptr_t target) { WriteJump(kGameHudJump, target); }

void SetHudJumpBytes(const uint8_t bytes[5]) {
  for (int i = 0; i < 5; ++i) {
    WriteByteAt(kGameHudJump + i, bytes[i]);
  }
}

void SetPlayer(uintptr_t record) { gGame.player = record; }
void SetMenuActive(uint8_t value) { WriteByteAt(kGameMenuActive, value); }
void SetGameFrozen(uint8_t value) { WriteByteAt(kGameFrozen, value); }
void SetWantsToDrawHud(uint8_t value) { WriteByteAt(kGameWantsToDrawHud, value); }
void SetWidescreen(uint8_t value) { WriteByteAt(kGameWidescreen, value); }
void SetCutscene(uint8_t value) { WriteByteAt(kGameCutscene, value); }

void SetScreen(int32_t width, int32_t height) {
  WriteWordAt(kGameScreenWidth, static_cast<uint32_t>(width));
  WriteWordAt(kGameScreenHeight, static_cast<uint32_t>(height));
}

void RunHudFrame() {
  uint32_t fault = StandinCallChecked(kGameHudJump);
  ++gGame.framesRun;
  gGame.lastFrameFault = fault;
  if (fault != 0) {
    ++gGame.framesUnbalanced;
  }
}

}  // namespace standin
