#include "platform/region_answers.h"

bool JudgeByEarlierOrAsk(RegionAnswers& answers, uint32_t address, uint32_t length) {
  for (uint32_t i = 0; i < answers.older; ++i) {
    const RegionAnswer& known = answers.earlier[i];
    if (address - known.base < known.size) {
      return RangeFitsAnswer(address, length, known);
    }
  }
  VirtualQueryFn query = gState.api.virtualQuery;
  if (query == nullptr) {
    return true;
  }
  MemoryBasicInformation info;  // filled by VirtualQuery when it succeeds
  if (query(reinterpret_cast<const void*>(address), &info, sizeof(info)) == 0) {
    return false;  // no answer, nothing kept
  }
  // The newest answer so far joins the earlier ones while a slot is free;
  // without one it is dropped and its region asked about again if need be.
  if (answers.newest.size != 0 && answers.older < kRegionAnswerSlots - 1) {
    answers.earlier[answers.older++] = answers.newest;
  }
  RegionAnswer& fresh = answers.newest;
  fresh.base = static_cast<uint32_t>(info.baseAddress);
  fresh.size = info.regionSize;
  fresh.end = fresh.base + fresh.size;
  fresh.readable = PagesReadable(info.state, info.protect) ? 1 : 0;
  return RangeFitsAnswer(address, length, fresh);
}
