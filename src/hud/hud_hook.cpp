#include "host/host.h"
#include "hud/hud.h"
#include "log/log.h"
#include "platform/platform.h"
#include "worker/worker.h"

int32_t InstallHudHook() {
  uintptr_t base = gState.vhudBase;
  if (base == 0) {
    return 0;
  }
  if (ReadByte(host::kHudJump) != 0xE9) {
    return 0;
  }
  uint32_t displacement = ReadWord(host::kHudJump + 1);
  uint32_t target = RelativeTarget(host::kHudJump, displacement);
  uint32_t hook = reinterpret_cast<uintptr_t>(&HudFrameHook);
  if (target == hook) {
    return 1;
  }
  uint32_t end = static_cast<uint32_t>(base) + gState.vhudSize;
  if (!(target >= base && target < end)) {
    if (gState.hookWarned == 0) {
      char line[120];
      line[0] = '\0';
      AppendText(line, "[WARN] HUD jump target is outside VHud: ", sizeof(line));
      AppendHex(line, target, sizeof(line));
      LogLine(line);
      gState.hookWarned = 1;
    }
    return 0;
  }
  __atomic_store_n(&gState.savedHudTarget, target, __ATOMIC_RELEASE);
  // The displacement is replaced only if it still leads where it did when it
  // was read: a target set by someone else meanwhile is taken over on the
  // next pass instead of being overwritten unseen.
  const CodeWrite writes[] = {
      {0, 1, 0xE9}, {1, 4, RelativeDisplacement(host::kHudJump, hook), true, displacement}};
  bool changed = false;
  if (!PatchCode(host::kHudJump, 5, writes, 2, &changed)) {
    LogLine("[ERR] VirtualProtect failed while installing hook");
    return 0;
  }
  if (changed) {
    return 0;
  }
  char line[140];
  line[0] = '\0';
  AppendText(line, "[HOOK] installed; original=", sizeof(line));
  AppendHex(line, target, sizeof(line));
  AppendText(line, " hook=", sizeof(line));
  AppendHex(line, hook, sizeof(line));
  LogLine(line);
  return 1;
}
