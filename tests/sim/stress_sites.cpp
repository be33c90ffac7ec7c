// The stress run's sites: what each holds right now, and the violations the
// threads report.
#include <mutex>
#include <string>
#include <vector>

#include "stress_shared.h"
#include "test_code_bytes.h"

namespace stress {

using codebytes::BytesAt;
using codebytes::Rel;

Shared* g = nullptr;

void Violation(const std::string& what) {
  std::lock_guard<std::mutex> lock(g->violationMutex);
  ++g->violationCount;
  if (g->violations.size() < 20) g->violations.push_back(what);
}

SiteState StateOf(uint32_t id) {
  const Site& s = g->sites[id];
  std::vector<uint8_t> now = BytesAt(s.at, s.length);
  if (now == s.patched) return SiteState::Patched;
  if (now == s.original) return SiteState::Original;
  if (id == kHook && now == Rel(0xE9, s.at, g->altRoutine)) return SiteState::Alternative;
  return SiteState::Other;
}

}  // namespace stress
