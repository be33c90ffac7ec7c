#include "host/host.h"
#include "hud/hud.h"
#include "log/log.h"
#include "platform/platform.h"
#include "worker/worker.h"

static_assert(InOneCacheLine(host::kHudJump + 1, 4), "the HUD jump's displacement");

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
  // next pass instead of being overwritten unseen. The opcode byte keeps its
  // E9 and is not stored again.
  const CodeWrite write = {1, 4, displacement, RelativeDisplacement(host::kHudJump, hook)};
  PatchOutcome outcome = PatchCode(host::kHudJump, 5, write);
  if (outcome == PatchOutcome::Refused) {
    LogLine("[ERR] VirtualProtect failed while installing hook");
    return 0;
  }
  if (outcome == PatchOutcome::Changed) {
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
