#include "log/log.h"
#include "platform/platform.h"
#include "wheel/wheel.h"
#include "worker/worker.h"

namespace {

const uint8_t kSignature[9] = {0x8B, 0x7A, 0x44, 0x8D, 0x8D, 0xA4, 0xC0, 0xFF, 0xFF};

void Report(const char* first, const char* second) {
  ReportOnce(&gState.spacingReported, first, second);
}

}  // namespace

void InstallSpacingPatch() {
  uintptr_t base = gState.vhudBase;
  if (base == 0 || gState.vhudSize < vhud::kSpacingResume) {
    return;
  }
  uintptr_t site = base + vhud::kSpacingSite;
  uint32_t cave = reinterpret_cast<uintptr_t>(&SpacingCave);
  if (ReadByte(site) == 0xE9 &&
      RelativeTarget(site, ReadWord(site + 1)) == cave) {
    return;
  }
  for (uint32_t i = 0; i < sizeof(kSignature); ++i) {
    if (ReadByte(site + i) != kSignature[i]) {
      Report("[WHEEL][ERR] content-offset signature mismatch; spacing patch skipped",
             nullptr);
      return;
    }
  }
  __atomic_store_n(&gState.spacingReturn, base + vhud::kSpacingResume, __ATOMIC_RELEASE);
  // The jump, its displacement and three fillers go in as one 8-byte store so
  // that a thread executing the site never sees half a jump.
  uint64_t head = 0xE9u | (static_cast<uint64_t>(RelativeDisplacement(site, cave)) << 8) |
                  (0x909090ull << 40);
  const CodeWrite writes[] = {{0, 8, head}, {8, 1, 0x90}};
  if (!PatchCode(site, 9, writes, 2)) {
    Report("[WHEEL][ERR] VirtualProtect failed for content-offset patch", nullptr);
    return;
  }
  Report("[WHEEL][OK] horizontal slot-spacing patch installed (background + weapon + ammo) [TEST11]",
         "[WHEEL][INFO] X offsets: 0,-62,-48,-62,0,+62,+48,+62; Y unchanged; content "
         "offsets use screen-height scaling too; ammo fine-tune: 0,+8,+10,+8,0,-8,-10,-8");
}
