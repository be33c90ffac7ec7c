// "standin_churn.dll": a small DLL that the stand-in game loads and frees in
// a loop on a thread of its own. While the loader holds its lock and runs
// this DLL's entry point, the DLL's own loader entry leads off the list for
// a moment, into a node that leads only to itself: the state in which a walk
// of the list that does not take the loader's lock meets a freed or
// half-linked entry. Left that way, such a walk never ends; once the DLL is
// freed, the node is gone too. The entry is linked back before the entry
// point returns, so a walk under the lock never sees it.
#include <stdint.h>
#include <windows.h>

#include "loader_list.h"

namespace {

// How long the entry stays off the list, in ms.
constexpr DWORD kOffListMs = 20;

// A node with no module and a link to itself (and room for the fields a
// walk reads: DllBase at +0x10, the name at +0x24 and +0x28).
struct alignas(8) LostNode {
  uintptr_t flink;
  uintptr_t blink;
  uint8_t rest[0x40];
};
LostNode gLost;

void LeaveTheListAWhile(uintptr_t base) {
  const uintptr_t node = loader_list::NodeOf(base);
  if (node == 0) {
    return;
  }
  auto* flink = reinterpret_cast<volatile uintptr_t*>(node);
  const uintptr_t next = *flink;
  gLost.flink = reinterpret_cast<uintptr_t>(&gLost);
  gLost.blink = reinterpret_cast<uintptr_t>(&gLost);
  *flink = reinterpret_cast<uintptr_t>(&gLost);
  Sleep(kOffListMs);
  *flink = next;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH || reason == DLL_PROCESS_DETACH) {
    LeaveTheListAWhile(reinterpret_cast<uintptr_t>(instance));
  }
  return TRUE;
}
