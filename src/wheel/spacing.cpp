#include "log/log.h"
#include "platform/platform.h"
#include "wheel/sites.h"
#include "wheel/wheel.h"
#include "worker/worker.h"

namespace {

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
  uint8_t bytes[9];
  CopyForeign(bytes, site, sizeof(bytes));
  switch (ClassifySpacingSite(bytes, base, cave)) {
    case SpacingSite::Redirected:
      return;
    case SpacingSite::Mismatch:
      Report("[WHEEL][ERR] content-offset signature mismatch; spacing patch skipped", nullptr);
      return;
    case SpacingSite::Original:
      break;
  }
  __atomic_store_n(&gState.spacingReturn, base + vhud::kSpacingResume, __ATOMIC_RELEASE);
  // The jump, its displacement and three fillers go in as one 8-byte store so
  // that a thread executing the site never sees half a jump.
  uint64_t head =
      0xE9u | (static_cast<uint64_t>(RelativeDisplacement(site, cave)) << 8) | (0x909090ull << 40);
  const CodeWrite writes[] = {{0, 8, head}, {8, 1, 0x90}};
  if (!PatchCode(site, 9, writes, 2)) {
    Report("[WHEEL][ERR] VirtualProtect failed for content-offset patch", nullptr);
    return;
  }
  Report(
      "[WHEEL][OK] horizontal slot-spacing patch installed (background + weapon + ammo) [TEST11]",
      "[WHEEL][INFO] X offsets: 0,-62,-48,-62,0,+62,+48,+62; Y unchanged; content "
      "offsets use screen-height scaling too; ammo fine-tune: 0,+8,+10,+8,0,-8,-10,-8");
}
