// VHud's weapon wheel as drawn in the frame just run, beside two references
// the stand-in works out itself: VHud's own placement of each slot and the
// quad the static-slot patch should make of it.
#include <stdio.h>
#include <string.h>

#include "standin/game_image.h"
#include "standin/vhud_wheel.h"
#include "standin/wine/game.h"

namespace game {
namespace {

uint32_t gWheelRunsReported = 0;

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
  const float back = FromBits(Bits(angle) ^ 0x80000000u);
  gVhud.rotateQuad(q, mx, my, back);
  int32_t height = *reinterpret_cast<const volatile int32_t*>(standin::kGameScreenHeight);
  if (height > 0) {
    float offset = (static_cast<float>(height) / 1080.0f) * kOffsets[k];
    for (int i = 0; i < 8; i += 2) {
      q[i] = q[i] + offset;
    }
  }
}

Json BitsArray(const float* values, uint32_t count) {
  uint32_t bits[8];
  for (uint32_t i = 0; i < count; ++i) {
    bits[i] = Bits(values[i]);
  }
  return HexArray(bits, count);
}

std::string Numbered(const char* name, uint32_t k) {
  char text[32];
  snprintf(text, sizeof(text), "%s%u", name, static_cast<unsigned>(k));
  return text;
}

}  // namespace

// What VHud's wheel drawing produced in the frame just run: the bit patterns
// (quadK, content_x, ammo_x, centre_text), the same values as decimals under
// "values", and VHud's own placement of each slot (unpatchedK) and the quad
// the static-slot patch should give (expectedK).
void ReportWheel() {
  if (gVhud.wheelRecord == nullptr) {
    return;
  }
  const standin::WheelRecord* w = static_cast<const standin::WheelRecord*>(gVhud.wheelRecord());
  if (w->runs == gWheelRunsReported) {
    return;
  }
  gWheelRunsReported = w->runs;
  Json line = Event("wheel");
  line["frame"] = FramesRun();
  line["screen"] = Screen();
  line["runs"] = w->runs;
  line["rotate_calls"] = w->rotateCalls;
  line["slot_faults"] = w->slotFaults;
  line["spacing_faults"] = HexArray(w->spacingFaults, 8);
  for (uint32_t k = 0; k < 8; ++k) {
    line[Numbered("quad", k)] = BitsArray(w->slotQuads[k].v, 8);
    float unpatched[8];
    float expected[8];
    ExpectedSlotQuad(k, unpatched, expected);
    line[Numbered("expected", k)] = BitsArray(expected, 8);
    line[Numbered("unpatched", k)] = BitsArray(unpatched, 8);
  }
  line["content_x"] = BitsArray(w->slotContentX, 8);
  line["ammo_x"] = BitsArray(w->slotAmmoX, 8);
  line["centre_text"] = BitsArray(w->centreText, 6);
  line["centre_text_sites"] = kCentreTextSiteNames;
  Json quads = Json::array();
  for (uint32_t k = 0; k < 8; ++k) {
    quads.push_back(DecimalArray(w->slotQuads[k].v, 8));
  }
  Json& values = line["values"];
  values["quads"] = quads;
  values["content_x"] = DecimalArray(w->slotContentX, 8);
  values["ammo_x"] = DecimalArray(w->slotAmmoX, 8);
  values["centre_text"] = DecimalArray(w->centreText, 6);
  Emit(line);
}

}  // namespace game
