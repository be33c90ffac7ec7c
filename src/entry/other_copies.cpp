#include "entry/other_copies.h"

#include "host/host.h"
#include "log/log.h"
#include "platform/copy_mark.h"
#include "platform/loader_list.h"
#include "platform/platform.h"
#include "platform/region_answers.h"
#include "state/plugin_state.h"

namespace {

constexpr uint32_t kLfanew = 0x3C;
constexpr uint32_t kSizeOfImage = 0x50;  // from the NT signature
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

uint32_t Word(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Whether this copy's own state lies in the image at `base`.
bool IsThisImage(const ModuleReader& read) {
  uint8_t word[4];
  if (!read(kLfanew, 4, word) || !read(Word(word) + kSizeOfImage, 4, word)) {
    return false;
  }
  const uintptr_t own = reinterpret_cast<uintptr_t>(&gState);
  return own - read.base < Word(word);
}

// What the listed module at `node` is: another copy whose entry point the
// loader has called, or no copy. A copy mapped without its entry point
// having run (or whose entry point runs now) is none yet.
CopyKind OtherCopyAt(uintptr_t node, RegionAnswers& answers) {
  if ((loader::Load<uint32_t>(node + loader::kNodeFlags) & loader::kEntryPointCalled) == 0) {
    return CopyKind::NotACopy;
  }
  const ModuleReader read = {&answers, loader::Load<uintptr_t>(node + loader::kNodeDllBase)};
  const CopyKind kind = IdentifyCopy(read).kind;
  return kind != CopyKind::NotACopy && !IsThisImage(read) ? kind : CopyKind::NotACopy;
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
// the name in the line) written as '?'.
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
  constexpr uint32_t kSlots = sizeof(gState.copiesNamed) / sizeof(gState.copiesNamed[0]);
  Found found[kSlots];
  uint32_t count = 0;
  RegionAnswers answers;
  ForgetAnswers(answers);
  loader::FindNode([&](uintptr_t node) {
    const uintptr_t base = loader::Load<uintptr_t>(node + loader::kNodeDllBase);
    if (count < kSlots && !AlreadyNamed(base)) {
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
