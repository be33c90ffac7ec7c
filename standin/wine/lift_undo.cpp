// Another patcher of the game's HUD jump page finishing its own patch in the
// plug-in's window: the plug-in's next VirtualProtect that grants write on
// the HUD jump, reached through kernel32's export table as the plug-in
// resolves it at attach, has the page's old protection put back right after
// it was granted, once. The plug-in's store that follows then faults.
#include <atomic>

#include "standin/game_image.h"
#include "standin/wine/game.h"
#include "standin/wine/kernel32_export.h"

namespace game {
namespace {

typedef BOOL(WINAPI* VirtualProtectFn)(LPVOID address, SIZE_T size, DWORD protect, PDWORD old);
VirtualProtectFn gVirtualProtect = nullptr;
std::atomic<bool> gArmed{false};
std::atomic<uint32_t> gUndone{0};

BOOL WINAPI UndoingVirtualProtect(LPVOID address, SIZE_T size, DWORD protect, PDWORD old) {
  const BOOL granted = gVirtualProtect(address, size, protect, old);
  const uintptr_t at = reinterpret_cast<uintptr_t>(address);
  if (granted && protect == PAGE_EXECUTE_READWRITE && at <= standin::kGameHudJump &&
      standin::kGameHudJump < at + size && gArmed.exchange(false)) {
    DWORD ignored = 0;
    gVirtualProtect(address, size, *old, &ignored);
    gUndone.fetch_add(1);
  }
  return granted;
}

}  // namespace

void UndoNextHudJumpLift() {
  if (gVirtualProtect == nullptr) {
    gVirtualProtect =
        reinterpret_cast<VirtualProtectFn>(reinterpret_cast<void*>(standin::PointKernel32Export(
            "VirtualProtect", reinterpret_cast<uintptr_t>(&UndoingVirtualProtect))));
  }
  if (gVirtualProtect == nullptr) {
    Fail(kExitImage, "kernel32's export of VirtualProtect cannot be pointed at the wrapper");
  }
  gArmed.store(true);
  Emit(Event("undo_lift"));
}

uint32_t HudJumpLiftsUndone() { return gUndone.load(); }

}  // namespace game
