#include "worker/worker.h"

#include "log/log.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t kSearchAttempts = 400;
constexpr uint32_t kSearchSleepMs = 100;
constexpr uint32_t kMaintainSleepMs = 500;
constexpr uint32_t kLfanew = 0x3C;
constexpr uint32_t kSizeOfImage = 0x50;

bool StopRequested() { return __atomic_load_n(&gState.stopRequested, __ATOMIC_ACQUIRE) != 0; }

void RecordVhud(uintptr_t base) {
  uint32_t lfanew = *reinterpret_cast<const volatile uint32_t*>(base + kLfanew);
  uint32_t signature = *reinterpret_cast<const volatile uint32_t*>(base + lfanew);
  uint32_t size = 0;
  if (signature == 0x4550) {
    size = *reinterpret_cast<const volatile uint32_t*>(base + lfanew + kSizeOfImage);
  }
  gState.vhudSize = size;
  __atomic_store_n(&gState.vhudBase, base, __ATOMIC_RELEASE);

  char line[140];
  line[0] = '\0';
  AppendText(line, "[OK] VHud.asi base=", sizeof(line));
  AppendHex(line, base, sizeof(line));
  AppendText(line, " size=", sizeof(line));
  AppendHex(line, size, sizeof(line));
  LogLine(line);
}

bool VhudKnown() { return gState.vhudBase != 0 && gState.vhudSize != 0; }

void SearchAndInstall() {
  for (uint32_t attempt = 0;; ++attempt) {
    if (gState.vhudBase == 0) {
      // VHud counts as loaded once the loader is done with it (until then
      // its fixups and protection changes may still be under way), and is
      // pinned when taken: the patches lead into it for good.
      uintptr_t base = PinInitialisedModule("VHud.asi");
      if (base != 0) {
        RecordVhud(base);
      }
    }
    if (VhudKnown()) {
      InstallStaticSlotPatch();
      InstallSpacingPatch();
      InstallCentreTextPatch();
      if (InstallHudHook() != 0) {
        return;
      }
    }
    gState.api.sleep(kSearchSleepMs);
    if (attempt + 1 >= kSearchAttempts || StopRequested()) {
      return;
    }
  }
}

}  // namespace

extern "C" uint32_t QI_STDCALL WorkerThread(void* parameter) {
  (void)parameter;
  LogLine("[THREAD] worker started");
  if (!StopRequested()) {
    SearchAndInstall();
  }
  if (gState.vhudBase == 0) {
    LogLine("[ERR] VHud.asi not found");
  }
  if (StopRequested()) {
    return 0;
  }
  for (;;) {
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
