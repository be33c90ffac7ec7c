#include "worker/worker.h"

#include "entry/other_copies.h"
#include "log/log.h"
#include "platform/platform.h"
#include "wheel/sites.h"
#include "wheel/wheel.h"

namespace {

constexpr uint32_t kSearchAttempts = 400;
constexpr uint32_t kSearchSleepMs = 100;
constexpr uint32_t kMaintainSleepMs = 500;
constexpr uint32_t kLfanew = 0x3C;
constexpr uint32_t kSizeOfImage = 0x50;

bool StopRequested() { return __atomic_load_n(&gState.stopRequested, __ATOMIC_ACQUIRE) != 0; }

}  // namespace

bool IsKnownVhudBuild(uintptr_t base, uint32_t size) {
  BuildSample sample;
  SampleBuildSites(
      size,
      [base](uint32_t offset, uint32_t length, uint8_t* out) {
        if (!IsRangeReadable(base + offset, length)) {
          return false;
        }
        CopyForeign(out, base + offset, length);
        return true;
      },
      &sample);
  const uint32_t redirect = reinterpret_cast<uintptr_t>(&StaticSlotRotate);
  const uint32_t cave = reinterpret_cast<uintptr_t>(&SpacingCave);
  return RecogniseBuild(sample, static_cast<uint32_t>(base), redirect, cave).known;
}

bool RecordVhud(uintptr_t base) {
  uint32_t lfanew = *reinterpret_cast<const volatile uint32_t*>(base + kLfanew);
  uint32_t signature = *reinterpret_cast<const volatile uint32_t*>(base + lfanew);
  uint32_t size = 0;
  if (signature == 0x4550) {
    size = *reinterpret_cast<const volatile uint32_t*>(base + lfanew + kSizeOfImage);
  }

  char line[140];
  line[0] = '\0';
  AppendText(line, "[OK] VHud.asi base=", sizeof(line));
  AppendHex(line, base, sizeof(line));
  AppendText(line, " size=", sizeof(line));
  AppendHex(line, size, sizeof(line));
  LogLine(line);
  // Another build is never recorded: with vhudBase 0 no installer and no
  // frame uses it.
  if (size != 0 && !IsKnownVhudBuild(base, size)) {
    LogLine("[ERR] VHud.asi build not recognised; nothing patched");
    return false;
  }
  gState.vhudSize = size;
  __atomic_store_n(&gState.vhudBase, base, __ATOMIC_RELEASE);
  return true;
}

namespace {

bool VhudKnown() { return gState.vhudBase != 0 && gState.vhudSize != 0; }

// False when the VHud found is another build.
bool SearchAndInstall() {
  for (uint32_t attempt = 0;; ++attempt) {
    NameOtherCopies();
    if (gState.vhudBase == 0) {
      // VHud counts as loaded once the loader is done with it (until then
      // its fixups and protection changes may still be under way), and is
      // pinned when taken: the patches lead into it for good.
      uintptr_t base = PinInitialisedModule("VHud.asi");
      if (base != 0 && !RecordVhud(base)) {
        return false;
      }
    }
    if (VhudKnown()) {
      InstallStaticSlotPatch();
      InstallSpacingPatch();
      InstallCentreTextPatch();
      if (InstallHudHook() != 0) {
        return true;
      }
    }
    gState.api.sleep(kSearchSleepMs);
    if (attempt + 1 >= kSearchAttempts || StopRequested()) {
      return true;
    }
  }
}

}  // namespace

extern "C" uint32_t QI_STDCALL WorkerThread(void* parameter) {
  (void)parameter;
  LogLine("[THREAD] worker started");
  // Another build of VHud leaves the worker as idle as no VHud does, without
  // the not-found line.
  bool otherBuild = false;
  if (!StopRequested()) {
    otherBuild = !SearchAndInstall();
  }
  if (gState.vhudBase == 0 && !otherBuild) {
    LogLine("[ERR] VHud.asi not found");
  }
  if (StopRequested()) {
    return 0;
  }
  for (;;) {
    NameOtherCopies();
    if (VhudKnown()) {
      InstallHudHook();
      InstallStaticSlotPatch();
      InstallSpacingPatch();
      InstallCentreTextPatch();
    }
    gState.api.sleep(kMaintainSleepMs);
    if (StopRequested()) {
      return 0;
    }
  }
}
