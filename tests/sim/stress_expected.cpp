// The expected frames of the stress run, computed from the design values.
#include "stress_expected.h"

#include <stdint.h>

#include "standin/vhud_wheel.h"
#include "test_values.h"

namespace stress {

using testvalues::Bits;

Expected gExpected[2];

void ComputeExpected() {
  const float kSlot[8] = {0.0f, -62.0f, -48.0f, -62.0f, 0.0f, 62.0f, 48.0f, 62.0f};
  const float kFine[8] = {0.0f, 8.0f, 10.0f, 8.0f, 0.0f, -8.0f, -10.0f, -8.0f};
  const float kPatchedCentre[6] = {24.0f, 0.0f, -10.0f, 0.0f, -3.0f, 0.0f};
  for (int s = 0; s < 2; ++s) {
    Expected& e = gExpected[s];
    volatile float h = static_cast<float>(kScreens[s].height);
    volatile float w = static_cast<float>(kScreens[s].width);
    volatile float scale = h / 1080.0f;
    volatile float size = 24.0f * scale;
    volatile float aspect = w / h;
    volatile float wide = (w * 0.5f) + (-882.0f * scale);
    volatile float narrow = 78.0f * scale;
    float base = (aspect >= 1.7777778f) ? wide : narrow;
    volatile float x = (-64.0f * scale) + base;
    volatile float hy = (-892.0f * scale) + h;
    volatile float ay = (scale * -867.0f) + h;
    e.x = Bits(x);
    e.healthY = Bits(hy);
    e.armourY = Bits(ay);
    e.size = Bits(size);
    for (int k = 0; k < 8; ++k) {
      float angle = standin::kWheelAngles[k];
      standin::Quad q = standin::SlotStartQuad();
      StandinRotateQuad(&q, standin::kWheelCentreX, standin::kWheelCentreY, angle);
      e.rotated[k] = q;
      volatile float mx = (((q.v[0] + q.v[2]) + q.v[4]) + q.v[6]) * 0.25f;
      volatile float my = (((q.v[1] + q.v[3]) + q.v[5]) + q.v[7]) * 0.25f;
      StandinRotateQuad(&q, mx, my, -angle);
      volatile float offset = scale * kSlot[k];
      for (int i = 0; i < 8; i += 2) q.v[i] = q.v[i] + offset;
      e.upright[k] = q;
      volatile float fine = scale * kFine[k];
      e.content[0][k] = Bits(standin::kSlotContentX[k]);
      e.ammo[0][k] = Bits(standin::kSlotAmmoX[k]);
      e.content[1][k] = Bits(static_cast<float>(static_cast<double>(standin::kSlotContentX[k]) +
                                                static_cast<double>(offset)));
      e.ammo[1][k] =
          Bits(static_cast<float>((static_cast<double>(offset) + static_cast<double>(fine)) +
                                  static_cast<double>(standin::kSlotAmmoX[k])));
    }
    for (int i = 0; i < 6; ++i) {
      volatile float in = standin::kCentreTextInputs[i];
      bool sub = standin::kCentreTextOperations[i] == 0x5C;
      volatile float own = standin::kCentreTextConstants[i];
      volatile float ours = kPatchedCentre[i];
      e.centre[0][i] = Bits(sub ? in - own : in + own);
      e.centre[1][i] = Bits(sub ? in - ours : in + ours);
    }
  }
}

}  // namespace stress
