#include "entry/other_copies.h"

#include "host/host.h"
#include "log/log.h"
#include "platform/copy_mark.h"
#include "platform/loader_list.h"
#include "platform/own_image.h"
#include "platform/platform.h"
#include "platform/region_answers.h"
#include "state/plugin_state.h"

namespace {

// Names are cut at this many characters.
constexpr uint32_t kMaxNameUnits = 64;

// Everything read of another module goes through the memory guard; its
// answers live on the stack of one look.
struct ModuleReader {
  RegionAnswers* answers;
  uintptr_t base;
  bool operator()(uint32_t rva, uint32_t length, uint8_t* out) const {
    const uint32_t at = static_cast<uint32_t>(base) + rva;
    if (at < rva || at + length < at || !IsRangeReadable(*answers, at, length)) {
      return false;
    }
    CopyForeign(out, at, length);
    return true;
  }
};

// What the listed module at `node` is: another copy whose entry point the
// loader has called, or no copy. A copy mapped without its entry point
// having run (or whose entry point runs now) is none yet.
CopyKind OtherCopyAt(uintptr_t node, RegionAnswers& answers) {
  if ((loader::Load<uint32_t>(node + loader::kNodeFlags) & loader::kEntryPointCalled) == 0) {
    return CopyKind::NotACopy;
  }
  // This copy is listed at its own image base, whether or not the loader
  // has set its flag yet.
  const uintptr_t base = loader::Load<uintptr_t>(node + loader::kNodeDllBase);
  if (base == OwnImageBase()) {
    return CopyKind::NotACopy;
  }
  return IdentifyCopy(ModuleReader{&answers, base}).kind;
}

bool AlreadyNamed(uintptr_t base) {
  for (uintptr_t named : gState.copiesNamed) {
    if (named == base) {
      return true;
    }
  }
  return false;
}

// A copy to name, found under the loader's lock and written after it.
struct Found {
  uintptr_t base;
  CopyKind kind;
  char name[kMaxNameUnits + 1];
};

// The base name, each unit outside 0x20..0x7E (and the quote that closes
// the name in the line) written as '?'; "?" for a name that is empty or
// cannot be read.
void CopyName(uintptr_t node, RegionAnswers& answers, char* name) {
  const uintptr_t buffer = loader::Load<uintptr_t>(node + loader::kNodeNameBuffer);
  uint32_t units = loader::Load<uint16_t>(node + loader::kNodeNameLength) / 2u;
  units = units < kMaxNameUnits ? units : kMaxNameUnits;
  if (!IsRangeReadable(answers, buffer, units * 2u)) {
    units = 0;
  }
  for (uint32_t i = 0; i < units; ++i) {
    const uint16_t unit = *reinterpret_cast<const volatile uint16_t*>(buffer + i * 2u);
    name[i] = unit >= 0x20 && unit <= 0x7E && unit != '"' ? static_cast<char>(unit) : '?';
  }
  name[units] = '\0';
  if (units == 0) {
    name[0] = '?';
    name[1] = '\0';
  }
}

}  // namespace

bool AnotherCopyRuns() {
  const loader::Lock lock = loader::TakeLock();
  RegionAnswers answers;
  ForgetAnswers(answers);
  const uintptr_t node = loader::FindNode(
      [&answers](uintptr_t at) { return OtherCopyAt(at, answers) != CopyKind::NotACopy; });
  loader::GiveBack(lock);
  return node != 0;
}

void NameOtherCopies() {
  // Without the loader's lock an entry may be unlinked and freed, or its
  // name changed, under the walk; the VHud look-up takes that risk for a
  // while, but this look runs at every pass for the whole game, so without
  // the lock it does not walk the list at all.
  const loader::Lock lock = loader::TakeLock();
  if (!lock.held) {
    return;
  }
  // The modules are looked at only when the list has changed since the last
  // look: an entry, a load address or the flags (a copy's entry point
  // called) differ.
  uint32_t print = 0;
  loader::FindNode([&print](uintptr_t node) {
    print = ((print << 5) | (print >> 27)) ^ static_cast<uint32_t>(node) ^
            loader::Load<uint32_t>(node + loader::kNodeDllBase) ^
            loader::Load<uint32_t>(node + loader::kNodeFlags);
    return false;
  });
  if (print == gState.copiesLookedAt) {
    loader::GiveBack(lock);
    return;
  }
  gState.copiesLookedAt = print;
  constexpr uint32_t kSlots = sizeof(gState.copiesNamed) / sizeof(gState.copiesNamed[0]);
  Found found[kSlots];
  uint32_t count = 0;
  uint32_t free = 0;
  for (uintptr_t named : gState.copiesNamed) {
    free += named == 0 ? 1u : 0u;
  }
  RegionAnswers answers;
  ForgetAnswers(answers);
  loader::FindNode([&](uintptr_t node) {
    const uintptr_t base = loader::Load<uintptr_t>(node + loader::kNodeDllBase);
    if (count < free && !AlreadyNamed(base)) {
      const CopyKind kind = OtherCopyAt(node, answers);
      if (kind != CopyKind::NotACopy) {
        found[count].base = base;
        found[count].kind = kind;
        CopyName(node, answers, found[count].name);
        ++count;
      }
    }
    return false;
  });
  loader::GiveBack(lock);
  // Written after the lock is given back: no thread waits for the loader
  // while the line goes to the disk. Once the table is full, no more copies
  // are named.
  for (uint32_t i = 0; i < count; ++i) {
    char line[160];
    line[0] = '\0';
    AppendText(line,
               found[i].kind == CopyKind::Marked
                   ? "[WARN] another copy of the plug-in is loaded and stays idle: \""
                   : "[ERR] a 1.0.0 copy of the plug-in runs too and also writes this log: \"",
               sizeof(line));
    AppendText(line, found[i].name, sizeof(line));
    AppendText(line, "\"", sizeof(line));
    LogLine(line);
    for (uintptr_t& slot : gState.copiesNamed) {
      if (slot == 0) {
        slot = found[i].base;
        break;
      }
    }
  }
}
