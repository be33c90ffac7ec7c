// The third party of the stress run: a careful plug-in of the same game that
// keeps putting VHud's original bytes back at every patched site and
// re-pointing the HUD jump, through VirtualProtect and locked stores.
#include <stdint.h>
#include <string.h>

#include <chrono>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim.h"
#include "stress_shared.h"
#include "test_code_bytes.h"

namespace stress {
namespace {

using codebytes::Rel;

// Locked stores (cmpxchg8b, xchg): whole on every x86 processor inside a
// cache line, wherever the bytes lie in it.
void Store8(uintptr_t at, const uint8_t* bytes) {
  uint64_t v;
  memcpy(&v, bytes, 8);
  __atomic_exchange_n(reinterpret_cast<uint64_t*>(at), v, __ATOMIC_SEQ_CST);
}
void Store4(uintptr_t at, const uint8_t* bytes) {
  uint32_t v;
  memcpy(&v, bytes, 4);
  __atomic_exchange_n(reinterpret_cast<uint32_t*>(at), v, __ATOMIC_SEQ_CST);
}
void Store1(uintptr_t at, uint8_t value) {
  __atomic_store_n(reinterpret_cast<uint8_t*>(at), value, __ATOMIC_RELEASE);
}

void Restore(uint32_t id, std::mt19937& rng) {
  Site& s = g->sites[id];
  std::vector<uint8_t> bytes = s.original;
  uint32_t target = 0;
  if (id == kHook) {
    target = static_cast<uint32_t>((rng() & 1) ? g->altRoutine : g->hudRoutine);
    bytes = Rel(0xE9, s.at, target);
  }
  g->generation.fetch_add(1);
  g->siteSeq[id].fetch_add(1);
  {
    std::lock_guard<std::mutex> lock(g->protectWindow);
    uint32_t old = 0;
    if (StandInProtect()(reinterpret_cast<void*>(s.at), s.length, sim::kPageExecuteReadWrite,
                         &old) == 0) {
      Violation(std::string("third party could not lift ") + kSiteNames[id]);
    } else {
      switch (id) {
        case kStatic:  // only the displacement differs
          Store4(s.at + 1, bytes.data() + 1);
          break;
        case kHook:
          Store4(s.at + 1, bytes.data() + 1);
          break;
        case kSpacing:
          if (rng() & 1) {
            Store1(s.at + 8, bytes[8]);  // the filler, never run
            Store8(s.at, bytes.data());
          } else {
            uint8_t tail[8];
            memcpy(tail, bytes.data() + 3, 6);
            memcpy(tail + 6, reinterpret_cast<const void*>(s.at + 9), 2);
            Store8(s.at + 3, tail);
          }
          break;
        default:  // centre text: the operand
          Store4(s.at + 4, bytes.data() + 4);
          break;
      }
      uint32_t ignored = 0;
      StandInProtect()(reinterpret_cast<void*>(s.at), s.length, old, &ignored);
    }
  }
  if (id == kHook) g->repointTarget.store(target);
  g->restoredAt[id].store(g->sleeps.load());
  g->siteSeq[id].fetch_add(1);
  g->generation.fetch_add(1);
  ++g->restores[id];
}

}  // namespace

void ThirdParty(uint32_t seed) {
  std::mt19937 rng(seed);
  while (!g->stopThirdParty.load()) {
    // A round restores one site, or every site at once.
    if (rng() % 8 == 0) {
      for (uint32_t id = 0; id < kSiteCount; ++id) Restore(id, rng);
    } else {
      Restore(rng() % kSiteCount, rng);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
  }
}

}  // namespace stress
