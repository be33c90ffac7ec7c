#include "log/log.h"
#include "platform/platform.h"
#include "wheel/sites.h"
#include "wheel/wheel.h"
#include "worker/worker.h"

namespace {

void Report(const char* first, const char* second) {
  ReportOnce(&gState.centreTextReported, first, second);
}

}  // namespace

int32_t RedirectFloatOperand(uint32_t offset, uint8_t operation, const float* target,
                             const char* label) {
  uintptr_t base = gState.vhudBase;
  uint32_t size = gState.vhudSize;
  if (base == 0 || size == 0 || target == nullptr) {
    return 0;
  }
  // offset + 8 > size, without wrapping for offsets near 2^32.
  if (offset > size || size - offset < 8) {
    return 0;
  }
  uintptr_t site = base + offset;
  if (!IsRangeReadable(site, 8)) {
    return 0;
  }
  uint8_t bytes[8];
  CopyForeign(bytes, site, sizeof(bytes));
  uint32_t wanted = reinterpret_cast<uintptr_t>(target);
  OperandSite kind = ClassifyOperandSite(bytes, operation, wanted);
  if (kind == OperandSite::Mismatch) {
    if (gState.centreTextReported == 0) {
      char line[180];
      line[0] = '\0';
      AppendText(line, "[WHEEL][ERR] centre-text signature mismatch at ", sizeof(line));
      AppendText(line, label, sizeof(line));
      Report(line, nullptr);
    }
    return 0;
  }
  if (kind == OperandSite::Redirected) {
    return 1;
  }
  // The operand is re-pointed only while it still holds what was read;
  // otherwise the site is not in place and the next pass looks again.
  uint32_t operand;
  __builtin_memcpy(&operand, bytes + 4, 4);
  const CodeWrite write = {4, 4, operand, wanted};
  PatchOutcome outcome = PatchCode(site, 8, write);
  if (outcome == PatchOutcome::Refused) {
    Report("[WHEEL][ERR] VirtualProtect failed for centre-text patch", nullptr);
    return 0;
  }
  return outcome == PatchOutcome::Written ? 1 : 0;
}

void InstallCentreTextPatch() {
  if (gState.vhudBase == 0 || gState.vhudSize == 0) {
    return;
  }
  // The floats the six sites read, in the order of kCentreTextSites.
  const float* const targets[6] = {&gState.nameY,       &gState.centreTextX, &gState.countY,
                                   &gState.centreTextX, &gState.arrowY,      &gState.centreTextX};
  int32_t inPlace = 0;
  for (uint32_t i = 0; i < 6; ++i) {
    const CentreTextSite& s = kCentreTextSites[i];
    inPlace += RedirectFloatOperand(s.offset, s.operation, targets[i], s.label);
  }
  if (inPlace == 6) {
    Report("[WHEEL][OK] centre text patch installed (weapon name + counter + arrows) [TEST15]",
           "[WHEEL][INFO] nameY=24, countY=-10, arrowY=-3, x=0 (design-space units)");
  }
}
