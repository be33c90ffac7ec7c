// Mapped PE32 images with real export directories.
#include <string.h>

#include <map>

#include "sim/internal.h"
#include "sim/sim.h"

namespace sim {
namespace {

constexpr uint32_t kLfanew = 0x80;
constexpr uint32_t kExportRva = 0x1000;

struct Built {
  uint32_t capacity;
  uint32_t dirRva;
  uint32_t dirSize;
};
std::map<uintptr_t, Built> gImages;

void Put32(uintptr_t at, uint32_t v) { memcpy(reinterpret_cast<void*>(at), &v, 4); }
void Put16(uintptr_t at, uint16_t v) { memcpy(reinterpret_cast<void*>(at), &v, 2); }

uint32_t Align(uint32_t v, uint32_t a) { return (v + a - 1) & ~(a - 1); }

uint32_t NeededSize(const std::vector<Export>& exports) {
  uint32_t n = static_cast<uint32_t>(exports.size());
  uint32_t size = kExportRva + 40 + n * 10;
  for (const Export& e : exports)
    size += static_cast<uint32_t>(e.name.size() + e.forwarder.size() + 2);
  return Align(size + 16, 0x1000);
}

void Write(uintptr_t base, uint32_t capacity, uint32_t sizeOfImage,
           const std::vector<Export>& exports) {
  memset(reinterpret_cast<void*>(base), 0, NeededSize(exports));
  // DOS header.
  Put16(base, 0x5A4D);
  Put32(base + 0x3C, kLfanew);
  // NT headers: signature, file header, optional header.
  uintptr_t nt = base + kLfanew;
  Put32(nt, 0x4550);
  Put16(nt + 4, 0x14C);        // i386
  Put16(nt + 4 + 16, 0xE0);    // optional header size
  Put16(nt + 4 + 18, 0x2102);  // executable, 32-bit, DLL
  Put16(nt + 0x18, 0x10B);     // PE32
  Put32(nt + 0x18 + 28, static_cast<uint32_t>(base));
  Put32(nt + 0x38, 0x1000);  // section alignment
  Put32(nt + 0x3C, 0x200);   // file alignment
  Put32(nt + 0x50, sizeOfImage);
  Put32(nt + 0x54, 0x400);  // size of headers
  Put32(nt + 0x74, 16);     // data directories

  uint32_t n = static_cast<uint32_t>(exports.size());
  uint32_t functions = kExportRva + 40;
  uint32_t names = functions + n * 4;
  uint32_t ordinals = names + n * 4;
  uint32_t strings = ordinals + n * 2;
  uintptr_t dir = base + kExportRva;
  Put32(dir + 0x10, 1);  // ordinal base (not read by the plug-in)
  Put32(dir + 0x14, n);  // NumberOfFunctions
  Put32(dir + 0x18, n);  // NumberOfNames
  Put32(dir + 0x1C, functions);
  Put32(dir + 0x20, names);
  Put32(dir + 0x24, ordinals);
  uint32_t cursor = strings;
  std::vector<uint32_t> forwarderRvas(n, 0);
  for (uint32_t i = 0; i < n; ++i) {
    const Export& e = exports[i];
    memcpy(reinterpret_cast<void*>(base + cursor), e.name.c_str(), e.name.size() + 1);
    Put32(base + names + i * 4, cursor);
    Put16(base + ordinals + i * 2, static_cast<uint16_t>(i));
    cursor += static_cast<uint32_t>(e.name.size() + 1);
    if (!e.forwarder.empty()) {
      memcpy(reinterpret_cast<void*>(base + cursor), e.forwarder.c_str(), e.forwarder.size() + 1);
      forwarderRvas[i] = cursor;
      cursor += static_cast<uint32_t>(e.forwarder.size() + 1);
    }
  }
  uint32_t dirSize = cursor - kExportRva;
  for (uint32_t i = 0; i < n; ++i) {
    const Export& e = exports[i];
    uint32_t rva;
    if (e.useRva) {
      rva = e.rva;
    } else if (!e.forwarder.empty()) {
      rva = forwarderRvas[i];
    } else {
      rva = static_cast<uint32_t>(e.address - base);
    }
    Put32(base + functions + i * 4, rva);
  }
  Put32(nt + 0x78, kExportRva);
  Put32(nt + 0x7C, dirSize);
  gImages[base] = Built{capacity, kExportRva, dirSize};
}

}  // namespace

uintptr_t BuildImage(const std::vector<Export>& exports, uint32_t sizeOfImage) {
  uint32_t needed = NeededSize(exports);
  uint32_t size = sizeOfImage > needed ? Align(sizeOfImage, 0x1000) : needed;
  uintptr_t base = MapAnywhere(size, 0x10000, kPageReadWrite);
  Write(base, size, sizeOfImage == 0 ? size : sizeOfImage, exports);
  SetProtect(base, 0x1000, kPageReadOnly);
  return base;
}

// Rewrites an image built here, at the same base, with other exports.
void RebuildImage(uintptr_t base, const std::vector<Export>& exports) {
  uint32_t capacity = gImages[base].capacity;
  SetProtect(base, capacity, kPageReadWrite);
  Write(base, capacity, capacity, exports);
  SetProtect(base, 0x1000, kPageReadOnly);
}

uint32_t ImageCapacity(uintptr_t base) { return gImages[base].capacity; }

uint32_t ExportDirectoryRva(uintptr_t imageBase) { return gImages[imageBase].dirRva; }
uint32_t ExportDirectorySize(uintptr_t imageBase) { return gImages[imageBase].dirSize; }

}  // namespace sim
