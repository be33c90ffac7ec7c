// The worker as the stress run sees it: the plug-in's VirtualProtect goes
// through a wrapper that counts the sites it lifts and lets one
// protect-write-restore step run at a time, and each of its sleeps checks
// that the sites restored a pass ago are patched again.
#include <stdint.h>

#include <mutex>
#include <string>

#include "sim/sim.h"
#include "state/plugin_state.h"
#include "stress_shared.h"

namespace stress {

VirtualProtectFn StandInProtect() {
  return reinterpret_cast<VirtualProtectFn>(sim::StandIn("VirtualProtect"));
}

int32_t QI_STDCALL WorkerProtect(void* address, uint32_t size, uint32_t newProtect,
                                 uint32_t* oldProtect) {
  uintptr_t at = reinterpret_cast<uintptr_t>(address);
  if (newProtect == sim::kPageExecuteReadWrite) {
    g->protectWindow.lock();
    int32_t ok = StandInProtect()(address, size, newProtect, oldProtect);
    if (ok == 0) {
      g->protectWindow.unlock();
      return 0;
    }
    bool known = false;
    for (uint32_t id = 0; id < kSiteCount; ++id) {
      if (g->sites[id].at == at) {
        ++g->lifts[id];
        known = true;
      }
    }
    if (!known) ++g->otherLifts;
    return ok;
  }
  // Every patch stores only while the site still holds what the installer
  // read; a lift after which the site does not hold the plug-in's bytes is a
  // store declined because the third party wrote the site in between.
  for (uint32_t id = 0; id < kSiteCount; ++id) {
    if (g->sites[id].at == at && StateOf(id) != SiteState::Patched) ++g->declined[id];
  }
  int32_t ok = StandInProtect()(address, size, newProtect, oldProtect);
  g->protectWindow.unlock();
  return ok;
}

// At the start of every worker sleep: each site that the third party had
// finished restoring before the previous sleep began has been through one
// whole pass since, and must be patched again.
void OnWorkerSleep(uint32_t count, uint32_t milliseconds) {
  // The phase first: whoever sees the count sees the phase of that sleep.
  if (milliseconds == 500) g->secondPhase.store(true);
  g->sleeps.store(count);
  if (!g->checking.load()) return;
  for (uint32_t id = 0; id < kSiteCount; ++id) {
    uint32_t seq = g->siteSeq[id].load();
    if ((seq & 1) != 0) continue;
    uint32_t restored = g->restoredAt[id].load();
    if (restored == 0 || restored + 2 > count) continue;
    SiteState state = StateOf(id);
    uint32_t target = g->repointTarget.load();
    uintptr_t saved = __atomic_load_n(&gState.savedHudTarget, __ATOMIC_ACQUIRE);
    if (g->siteSeq[id].load() != seq) continue;  // restored again meanwhile
    if (state != SiteState::Patched) {
      ++g->latePatches;
      Violation(std::string(kSiteNames[id]) +
                " not patched again within one pass (restored at sleep " +
                std::to_string(restored) + ", now sleep " + std::to_string(count) + ")");
    } else {
      ++g->deadlinesMet;
      if (id == kHook && saved != target) ++g->lostRepoints;
    }
    uint32_t expected = restored;
    g->restoredAt[id].compare_exchange_strong(expected, 0);
  }
}

}  // namespace stress
