#include "log/log.h"
#include "platform/platform.h"
#include "wheel/sites.h"
#include "wheel/wheel.h"
#include "worker/worker.h"

// The patch stores +3..+10 of the site (the jump, its filler and the two
// bytes after the site, written back as read) with one lock cmpxchg8b: those
// bytes must lie inside one cache line, and on the page of the nine bytes
// whose protection is lifted.
static_assert(InOneCacheLine(vhud::kSpacingJump, 8), "the spacing store crosses a cache line");
static_assert((vhud::kSpacingJump & 0xFFF) + 8 <= 0x1000, "the spacing store crosses a page");

namespace {

void Report(const char* first, const char* second) {
  ReportOnce(&gState.spacingReported, first, second);
}

uint64_t Bytes8(const uint8_t* p) {
  uint64_t v = 0;
  for (uint32_t i = 0; i < 8; ++i) {
    v |= static_cast<uint64_t>(p[i]) << (8 * i);
  }
  return v;
}

}  // namespace

void InstallSpacingPatch() {
  uintptr_t base = gState.vhudBase;
  if (base == 0 || gState.vhudSize < vhud::kSpacingResume) {
    return;
  }
  uintptr_t site = base + vhud::kSpacingSite;
  uint32_t cave = reinterpret_cast<uintptr_t>(&SpacingCave);
  // The nine bytes of the site and the two after them, which the store
  // covers and leaves as they are.
  uint8_t bytes[11];
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
  // VHud's first instruction stays; its second becomes the jump and a filler.
  // A thread stands only on +0, +3 or +9, each a whole instruction before
  // and after the one store, which happens only while all eight bytes still
  // hold what was read.
  uint8_t patched[8] = {0xE9, 0, 0, 0, 0, 0x90, bytes[9], bytes[10]};
  uint32_t displacement = RelativeDisplacement(base + vhud::kSpacingJump, cave);
  __builtin_memcpy(patched + 1, &displacement, 4);
  const CodeWrite write = {3, 8, Bytes8(bytes + 3), Bytes8(patched)};
  PatchOutcome outcome = PatchCode(site, 9, write);
  if (outcome == PatchOutcome::Refused) {
    Report("[WHEEL][ERR] VirtualProtect failed for content-offset patch", nullptr);
    return;
  }
  if (outcome == PatchOutcome::Changed) {
    return;
  }
  Report(
      "[WHEEL][OK] horizontal slot-spacing patch installed (background + weapon + ammo) [TEST11]",
      "[WHEEL][INFO] X offsets: 0,-62,-48,-62,0,+62,+48,+62; Y unchanged; content "
      "offsets use screen-height scaling too; ammo fine-tune: 0,+8,+10,+8,0,-8,-10,-8");
}
