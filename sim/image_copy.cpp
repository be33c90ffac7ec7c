// What makes a built image a copy of the plug-in, written into its header
// page: the ".qimark" section with the copy mark, or a version resource.
#include <string.h>

#include "platform/copy_mark.h"
#include "sim/sim.h"

namespace sim {
namespace {

constexpr uint32_t kLfanew = 0x80;
constexpr uint32_t kSectionTable = kLfanew + 0x18 + 0xE0;
constexpr uint32_t kMarkRva = 0x400;
constexpr uint32_t kResourceRva = 0x600;
constexpr uint32_t kResourceDirectory = kLfanew + 0x18 + 96 + 16;  // data directory 2

using Bytes = std::vector<uint8_t>;

void Put(Bytes& out, uint32_t value, uint32_t size) {
  for (uint32_t i = 0; i < size; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}
void Pad4(Bytes& out) {
  while (out.size() % 4 != 0) out.push_back(0);
}
void Text(Bytes& out, const std::string& text) {
  for (char c : text) Put(out, static_cast<uint8_t>(c), 2);
  Put(out, 0, 2);
}

// One block of a VS_VERSIONINFO.
Bytes Block(const std::string& key, const Bytes& value, uint32_t valueLength, bool text,
            const std::vector<Bytes>& children) {
  Bytes out;
  Put(out, 0, 2);
  Put(out, valueLength, 2);
  Put(out, text ? 1 : 0, 2);
  Text(out, key);
  Pad4(out);
  out.insert(out.end(), value.begin(), value.end());
  for (const Bytes& child : children) {
    Pad4(out);
    out.insert(out.end(), child.begin(), child.end());
  }
  out[0] = static_cast<uint8_t>(out.size());
  out[1] = static_cast<uint8_t>(out.size() >> 8);
  return out;
}

void Write(uintptr_t image, uint32_t rva, const Bytes& bytes) {
  memcpy(reinterpret_cast<void*>(image + rva), bytes.data(), bytes.size());
}

}  // namespace

void AddSection(uintptr_t image, const char (&name)[9], uint32_t rva, const Bytes& content) {
  SetProtect(image, kPageSize, kPageReadWrite);
  uint16_t count;
  memcpy(&count, reinterpret_cast<void*>(image + kLfanew + 6), 2);
  Bytes header(name, name + 8);
  Put(header, static_cast<uint32_t>(content.size()), 4);  // VirtualSize
  Put(header, rva, 4);
  Put(header, static_cast<uint32_t>(content.size()), 4);  // SizeOfRawData
  header.resize(40, 0);
  Write(image, kSectionTable + 40u * count, header);
  ++count;
  memcpy(reinterpret_cast<void*>(image + kLfanew + 6), &count, 2);
  Write(image, rva, content);
  SetProtect(image, kPageSize, kPageReadOnly);
}

void MarkAsCopy(uintptr_t image, uint32_t version) {
  Bytes mark(kCopyMarkRecognition, kCopyMarkRecognition + kCopyMarkRecognitionSize);
  Put(mark, kCopyMarkLayout, 4);
  Put(mark, version, 4);
  AddSection(image, ".qimark\0", kMarkRva, mark);
}

void AddVersionResource(uintptr_t image, const std::string& product, uint32_t fileType,
                        uint32_t fileVersionMs, uint32_t fileVersionLs) {
  Bytes fixed;
  for (uint32_t word : {0xFEEF04BDu, 0x10000u, fileVersionMs, fileVersionLs, fileVersionMs,
                        fileVersionLs, 0x3Fu, 0u, 0x40004u, fileType, 0u, 0u, 0u}) {
    Put(fixed, word, 4);
  }
  Bytes name;
  Text(name, product);
  const Bytes info =
      Block("VS_VERSION_INFO", fixed, 52, false,
            {Block("StringFileInfo", {}, 0, true,
                   {Block("040904B0", {}, 0, true,
                          {Block("ProductName", name, static_cast<uint32_t>(product.size() + 1),
                                 true, {})})})});
  // Type 16, name 1, language 0x409, then the data entry and the data.
  Bytes tree;
  for (uint32_t id : {16u, 1u, 0x409u}) {
    Put(tree, 0, 12);
    Put(tree, 1, 4);  // no named entries, one by id
    Put(tree, id, 4);
    Put(tree, id == 0x409u ? 0x48u : 0x80000000u | static_cast<uint32_t>(tree.size() + 4), 4);
  }
  Put(tree, kResourceRva + 0x58, 4);
  Put(tree, static_cast<uint32_t>(info.size()), 4);
  tree.resize(0x58, 0);
  tree.insert(tree.end(), info.begin(), info.end());
  SetProtect(image, kPageSize, kPageReadWrite);
  Write(image, kResourceRva, tree);
  Bytes directory;
  Put(directory, kResourceRva, 4);
  Put(directory, static_cast<uint32_t>(tree.size()), 4);
  Write(image, kResourceDirectory, directory);
  SetProtect(image, kPageSize, kPageReadOnly);
}

}  // namespace sim
