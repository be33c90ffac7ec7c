#include "log/log.h"
#include "platform/platform.h"
#include "wheel/sites.h"
#include "wheel/wheel.h"
#include "worker/worker.h"

static_assert(InOneCacheLine(vhud::kRotateCallSite + 1, 4),
              "the RotateVertices call's displacement");

namespace {

void Report(const char* text) { ReportOnce(&gState.staticSlotReported, text, nullptr); }

float ScaledOffset(const float* table, uint32_t index) {
  if (index > 7) {
    return 0.0f;
  }
  int32_t height = ReadInt(host::kScreenHeight);
  if (height <= 0) {
    return 0.0f;
  }
  return (static_cast<float>(height) / 1080.0f) * table[index];
}

}  // namespace

int32_t SlotFromAngle(float angle) {
  float t = -3.14159274f - angle;
  t = t * 1.27323949f;
  t = t + 0.5f;
  int32_t slot;
  // cvttss2si yields 0x80000000 for NaN and out-of-range values.
  __asm__("cvttss2si %1, %0" : "=r"(slot) : "x"(t));
  return slot;
}

extern "C" float QI_CDECL SlotXOffset(uint32_t index) {
  return ScaledOffset(gState.slotXOffsets, index);
}

extern "C" float QI_CDECL AmmoXOffset(uint32_t index) {
  return ScaledOffset(gState.ammoFineTune, index);
}

extern "C" void QI_CDECL StaticSlotRotate(vhud::WheelQuad* quad, float centreX, float centreY,
                                          float angle) {
  uintptr_t saved = __atomic_load_n(&gState.savedRotateVertices, __ATOMIC_ACQUIRE);
  if (saved == 0 || quad == nullptr) {
    return;
  }
  auto rotate = reinterpret_cast<vhud::RotateVerticesFn>(saved);
  rotate(quad, centreX, centreY, angle);
  volatile vhud::WheelQuad* q = quad;
  float mx = (((q->x0 + q->x1) + q->x2) + q->x3) * 0.25f;
  float my = (((q->y0 + q->y1) + q->y2) + q->y3) * 0.25f;
  uint32_t bits;
  __builtin_memcpy(&bits, &angle, 4);
  bits ^= 0x80000000u;
  float negated;
  __builtin_memcpy(&negated, &bits, 4);
  rotate(quad, mx, my, negated);

  int32_t slot = SlotFromAngle(angle);
  if (slot < 0 || slot > 7) {
    return;
  }
  int32_t height = ReadInt(host::kScreenHeight);
  if (height <= 0) {
    return;
  }
  float offset = (static_cast<float>(height) / 1080.0f) * gState.slotXOffsets[slot];
  q->x0 = q->x0 + offset;
  q->x1 = q->x1 + offset;
  q->x2 = q->x2 + offset;
  q->x3 = q->x3 + offset;
}

void InstallStaticSlotPatch() {
  uintptr_t base = gState.vhudBase;
  uint32_t size = gState.vhudSize;
  if (base == 0 || size == 0 || size < vhud::kRotateCallEnd) {
    return;
  }
  uintptr_t site = base + vhud::kRotateCallSite;
  if (!IsRangeReadable(site, 5)) {
    return;
  }
  uint8_t bytes[5];
  CopyForeign(bytes, site, sizeof(bytes));
  uint32_t rotateEntry = reinterpret_cast<uintptr_t>(&StaticSlotRotate);
  RotateSiteInfo info = ClassifyRotateSite(bytes, base, rotateEntry);
  switch (info.kind) {
    case RotateSite::Redirected:
      return;
    case RotateSite::NotCall:
      Report("[WHEEL][ERR] expected CALL opcode not found; static wheel patch skipped");
      return;
    case RotateSite::OtherTarget:
      if (gState.staticSlotReported == 0) {
        char line[180];
        line[0] = '\0';
        AppendText(line, "[WHEEL][ERR] unexpected RotateVertices target=", sizeof(line));
        AppendHex(line, info.target, sizeof(line));
        AppendText(line, " expected=", sizeof(line));
        AppendHex(line, info.expected, sizeof(line));
        Report(line);
      }
      return;
    case RotateSite::Original:
      break;
  }
  __atomic_store_n(&gState.savedRotateVertices, info.target, __ATOMIC_RELEASE);
  // Only the displacement changes (the E8 stays), and only while it still
  // leads to VHud's RotateVertices; otherwise the next pass looks again.
  uint32_t displacement;
  __builtin_memcpy(&displacement, bytes + 1, 4);
  const CodeWrite write = {1, 4, displacement, RelativeDisplacement(site, rotateEntry)};
  PatchOutcome outcome = PatchCode(site, 5, write);
  if (outcome == PatchOutcome::Refused) {
    Report("[WHEEL][ERR] VirtualProtect failed");
    return;
  }
  if (outcome == PatchOutcome::Changed) {
    return;
  }
  if (gState.staticSlotReported == 0) {
    char line[180];
    line[0] = '\0';
    AppendText(line,
               "[WHEEL][OK] static-slot patch installed; original RotateVertices=", sizeof(line));
    AppendHex(line, gState.savedRotateVertices, sizeof(line));
    Report(line);
  }
}
