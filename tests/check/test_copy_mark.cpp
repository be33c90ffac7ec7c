// The copy recogniser on the built images: this build's plug-in, the same
// without its mark (as 1.0.0 was), and files that are no copy.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "check/pe_image.h"
#include "platform/copy_mark.h"
#include "qi_version.h"

namespace {

std::vector<uint8_t> Memory(const std::string& name) {
  std::ifstream in(std::string(QI_WIN_BUILD_DIR "/") + name, std::ios::binary);
  std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  check::PeImage image;
  std::string error;
  EXPECT_TRUE(check::MapPeImage(file.data(), file.size(), &image, &error)) << name << error;
  return image.memory;
}

CopyIdentity Identify(const std::vector<uint8_t>& m) {
  return IdentifyCopy([&](uint32_t rva, uint32_t length, uint8_t* out) {
    if (rva > m.size() || m.size() - rva < length) return false;
    memcpy(out, m.data() + rva, length);
    return true;
  });
}

// The first place of `text`, or the last: the mark and the version resource
// come after the plug-in's own constants.
size_t Find(const std::vector<uint8_t>& m, const std::string& text, bool utf16, bool last = false) {
  std::vector<uint8_t> wanted;
  for (char c : text) {
    wanted.push_back(static_cast<uint8_t>(c));
    if (utf16) wanted.push_back(0);
  }
  auto at = last ? std::find_end(m.begin(), m.end(), wanted.begin(), wanted.end())
                 : std::search(m.begin(), m.end(), wanted.begin(), wanted.end());
  EXPECT_NE(at, m.end()) << text;
  return static_cast<size_t>(at - m.begin());
}

struct Row {
  const char* what;
  const char* file;
  std::function<void(std::vector<uint8_t>&)> change;
  CopyKind kind;
};

TEST(CopyMark, KnowsCopiesByTheirMarkOrVersionResource) {
  if (std::string(QI_WIN_BUILD_DIR).empty()) GTEST_SKIP() << "no Windows build";
  auto unmark = [](std::vector<uint8_t>& m) {
    m[Find(m, "Quorvel Icons copy mark", false, true)] = 0;
  };
  const Row rows[] = {
      {"this build", "Quorvel_Icons.asi", nullptr, CopyKind::Marked},
      {"mark with a later layout", "Quorvel_Icons.asi",
       [](std::vector<uint8_t>& m) { m[Find(m, "Quorvel Icons copy mark", false, true) + 32] = 7; },
       CopyKind::Marked},
      {"no mark: a 1.0.0 copy", "Quorvel_Icons.asi", unmark, CopyKind::Legacy},
      {"section renamed: a 1.0.0 copy", "Quorvel_Icons.asi",
       [](std::vector<uint8_t>& m) { m[Find(m, ".qimark", false) + 1] = 'x'; }, CopyKind::Legacy},
      {"magic changed", "Quorvel_Icons.asi",
       [&](std::vector<uint8_t>& m) {
         m[Find(m, "Quorvel Icons copy mark", false, true) + 31] ^= 1;
         m[Find(m, "Quorvel Icons", true)] = 'q';  // FileDescription
         m[Find(m, "Quorvel Icons", true)] = 'q';  // ProductName
       },
       CopyKind::NotACopy},
      {"no mark, another product", "Quorvel_Icons.asi",
       [&](std::vector<uint8_t>& m) {
         unmark(m);
         m[Find(m, "Quorvel Icons", true)] = 'q';
         m[Find(m, "Quorvel Icons", true) + 24] = 'z';  // "Quorvel Iconz"
       },
       CopyKind::NotACopy},
      {"no mark, a program", "Quorvel_Icons.asi",
       [&](std::vector<uint8_t>& m) {
         unmark(m);
         m[Find(m, "\xBD\x04\xEF\xFE", false, true) + 36] = 1;  // VFT_APP
       },
       CopyKind::NotACopy},
      {"the checker", "quorvel-check.exe", nullptr, CopyKind::NotACopy},
      {"VHud", "VHud.asi", nullptr, CopyKind::NotACopy},
  };
  for (const Row& row : rows) {
    std::vector<uint8_t> m = Memory(row.file);
    if (row.change) row.change(m);
    CopyIdentity id = Identify(m);
    EXPECT_EQ(id.kind, row.kind) << row.what;
    if (id.kind != CopyKind::NotACopy) {
      EXPECT_EQ(id.version.major, uint32_t{QI_VERSION_MAJOR}) << row.what;
      EXPECT_EQ(id.version.minor, uint32_t{QI_VERSION_MINOR}) << row.what;
      EXPECT_EQ(id.version.patch, uint32_t{QI_VERSION_PATCH}) << row.what;
    }
    // Cut anywhere, it is read within its bytes and is at most what it was.
    const size_t step = m.size() < 0x10000 ? 13 : m.size() / 61 + 1;
    for (size_t size = 0; size < m.size(); size += step) {
      std::vector<uint8_t> cut(m.begin(), m.begin() + static_cast<long>(size));
      CopyKind kind = Identify(cut).kind;
      EXPECT_TRUE(kind == CopyKind::NotACopy || kind == row.kind) << row.what << " " << size;
    }
  }
}

}  // namespace
