// The memory guard within one HUD frame: every VirtualQuery answer taken
// during the frame is kept, and a later range whose first byte lies in a
// region already described is judged from that answer instead of asking
// again. The answers live on the frame's stack and end with it, so nothing
// is carried from one frame to the next. The worker's look for other copies
// of the plug-in keeps a set of its own the same way, for one look.
#pragma once

#include <stdint.h>

#include "platform/platform.h"
#include "state/plugin_state.h"

// One answer: the region [base, base + size) that VirtualQuery described, and
// whether its pages may be read (committed, neither guarded nor no-access).
struct RegionAnswer {
  uint32_t base;
  uint32_t size;
  uint32_t end;  // base + size, modulo 2^32, as the guard compares it
  uint32_t readable;
};

// Enough for a frame: the wheel byte, the radar byte, the player record, and
// two icons' textures and rasters. Beyond that a range is asked about again.
constexpr uint32_t kRegionAnswerSlots = 8;

// The newest answer stands apart, where a look-up finds it first: a frame
// mostly reads several ranges of the region it asked about last.
struct RegionAnswers {
  RegionAnswer newest;  // size 0 while there is none
  uint32_t older;       // answers in `earlier`
  RegionAnswer earlier[kRegionAnswerSlots - 1];
};

// No answer yet: the start of every frame.
inline void ForgetAnswers(RegionAnswers& answers) {
  answers.newest.size = 0;
  answers.older = 0;
}

inline bool PagesReadable(uint32_t state, uint32_t protect) {
  return state == kMemCommit && (protect & 0xFFFFu & (kPageNoAccess | kPageGuard)) == 0;
}

// The guard's rule applied to what VirtualQuery said about the region of the
// range's first byte: readable pages, and the range ends inside the region.
inline bool RangeFitsAnswer(uint32_t address, uint32_t length, const RegionAnswer& answer) {
  return answer.readable != 0 && address + length <= answer.end;
}

// The range judged by an earlier answer of its region, or else by a new
// question to VirtualQuery, whose answer becomes the newest.
bool JudgeByEarlierOrAsk(RegionAnswers& answers, uint32_t address, uint32_t length);

// IsRangeReadable, asking VirtualQuery only about a region that none of
// `answers` describes.
inline bool IsRangeReadable(RegionAnswers& answers, uintptr_t address, uint32_t length) {
  uint32_t at = static_cast<uint32_t>(address);
  if (at == 0) {
    return false;
  }
  if (at - answers.newest.base < answers.newest.size) {
    return RangeFitsAnswer(at, length, answers.newest);
  }
  return JudgeByEarlierOrAsk(answers, at, length);
}
