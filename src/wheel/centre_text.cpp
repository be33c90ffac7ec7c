#include "log/log.h"
#include "platform/platform.h"
#include "wheel/wheel.h"
#include "worker/worker.h"

namespace {

constexpr uint8_t kSubtract = 0x5C;
constexpr uint8_t kAdd = 0x58;

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
  if (ReadByte(site) != 0xF3 || ReadByte(site + 1) != 0x0F || ReadByte(site + 2) != operation ||
      ReadByte(site + 3) != 0x05) {
    if (gState.centreTextReported == 0) {
      char line[180];
      line[0] = '\0';
      AppendText(line, "[WHEEL][ERR] centre-text signature mismatch at ", sizeof(line));
      AppendText(line, label, sizeof(line));
      Report(line, nullptr);
    }
    return 0;
  }
  uint32_t wanted = reinterpret_cast<uintptr_t>(target);
  if (ReadWord(site + 4) == wanted) {
    return 1;
  }
  const CodeWrite writes[] = {{4, 4, wanted}};
  if (!PatchCode(site, 8, writes, 1)) {
    Report("[WHEEL][ERR] VirtualProtect failed for centre-text patch", nullptr);
    return 0;
  }
  return 1;
}

void InstallCentreTextPatch() {
  if (gState.vhudBase == 0 || gState.vhudSize == 0) {
    return;
  }
  struct Site {
    uint32_t offset;
    uint8_t operation;
    const float* target;
    const char* label;
  };
  const Site sites[6] = {
      {0x6C49F, kSubtract, &gState.nameY, "name-y"},
      {0x6C4CE, kAdd, &gState.centreTextX, "name-x"},
      {0x6C55F, kSubtract, &gState.countY, "count-y"},
      {0x6C590, kAdd, &gState.centreTextX, "count-x"},
      {0x6C65F, kSubtract, &gState.arrowY, "arrow-y"},
      {0x6C8A1, kAdd, &gState.centreTextX, "extra-x"},
  };
  int32_t inPlace = 0;
  for (const Site& s : sites) {
    inPlace += RedirectFloatOperand(s.offset, s.operation, s.target, s.label);
  }
  if (inPlace == 6) {
    Report("[WHEEL][OK] centre text patch installed (weapon name + counter + arrows) [TEST15]",
           "[WHEEL][INFO] nameY=24, countY=-10, arrowY=-3, x=0 (design-space units)");
  }
}
