// The checker's PE32 reader on synthesized files: the layout it maps, and the
// one-line reason it gives for every truncated or corrupted file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "check/pe_image.h"
#include "tests/check/vhud_file.h"

namespace {

using namespace vhudfile;

struct Outcome {
  bool ok;
  std::string error;
  check::PeImage image;
};

Outcome Map(const std::vector<uint8_t>& file) {
  Outcome o;
  o.ok = check::MapPeImage(file.data(), file.size(), &o.image, &o.error);
  return o;
}

std::string ErrorOf(const std::vector<uint8_t>& file) {
  Outcome o = Map(file);
  EXPECT_FALSE(o.ok);
  EXPECT_TRUE(o.image.memory.empty());
  return o.error;
}

TEST(PeImageLayout, MapsHeadersAndSectionsAtTheirVirtualAddresses) {
  const std::vector<uint8_t> file = Build();
  Outcome o = Map(file);
  ASSERT_TRUE(o.ok) << o.error;
  EXPECT_EQ(o.image.imageBase, kDefaultBase);
  EXPECT_EQ(o.image.sizeOfImage, kFullSize);
  EXPECT_EQ(o.image.sizeOfHeaders, kHeadersEnd);
  ASSERT_EQ(o.image.memory.size(), kFullSize);
  ASSERT_EQ(o.image.sections.size(), 3u);
  const check::Section& text = o.image.sections[0];
  EXPECT_EQ(text.name, ".text");
  EXPECT_EQ(text.virtualAddress, 0x1000u);
  EXPECT_EQ(text.virtualSize, 0x6A000u);
  EXPECT_EQ(text.mappedSize, 0u);
  const check::Section& wheel = o.image.sections[1];
  EXPECT_EQ(wheel.name, ".wheel");
  EXPECT_EQ(wheel.rawPointer, kWheelRaw);
  EXPECT_EQ(wheel.mappedSize, kWheelSize);
  const check::Section& data = o.image.sections[2];
  EXPECT_EQ(data.name, ".data");
  EXPECT_EQ(data.virtualSize, kFullSize - kDataRva);
  EXPECT_EQ(data.mappedSize, kDataFileSize);

  const std::vector<uint8_t>& m = o.image.memory;
  EXPECT_TRUE(std::equal(file.begin(), file.begin() + kHeadersEnd, m.begin()));
  EXPECT_TRUE(std::equal(file.begin() + kWheelRaw, file.begin() + kWheelRaw + kWheelSize,
                         m.begin() + kWheelRva));
  EXPECT_TRUE(std::equal(file.begin() + kDataRaw, file.begin() + kDataRaw + kDataFileSize,
                         m.begin() + kDataRva));
  // Zero between the headers and .wheel, and after .data's file bytes.
  for (uint32_t at : {kHeadersEnd, 0x1000u, 0x50290u, kWheelRva - 1, kDataRva + kDataFileSize,
                      0x155409u, kFullSize - 1}) {
    EXPECT_EQ(m[at], 0) << std::hex << at;
  }
  EXPECT_EQ(m[kRotateSite], 0xE8);
  EXPECT_EQ(m[kDataRva], 0xA0);
}

TEST(PeImageLayout, RawDataLongerThanVirtualSizeIsCutAndZeroVirtualSizeTakesRawSize) {
  std::vector<uint8_t> file = Build();
  Put32(file, SectionField(2, kVirtualSize), 0);  // .data: extent = raw size
  Put32(file, kSizeOfImage, kDataRva + kDataFileSize);
  Outcome o = Map(file);
  ASSERT_TRUE(o.ok) << o.error;
  EXPECT_EQ(o.image.sections[2].virtualSize, kDataFileSize);
  EXPECT_EQ(o.image.memory.size(), kDataRva + kDataFileSize);

  file = Build();
  Put32(file, SectionField(1, kVirtualSize), 0x100);  // .wheel: only 0x100 bytes mapped
  o = Map(file);
  ASSERT_TRUE(o.ok) << o.error;
  EXPECT_EQ(o.image.sections[1].mappedSize, 0x100u);
  EXPECT_EQ(o.image.memory[kWheelRva + 0xFF], file[kWheelRaw + 0xFF]);
  EXPECT_EQ(o.image.memory[kRotateSite], 0);
}

TEST(PeImageLayout, SectionWithoutFilePositionIsZeroFilledWhateverItsRawSize) {
  // GNU ld writes sections without contents this way: SizeOfRawData set,
  // PointerToRawData 0.
  std::vector<uint8_t> file = Build();
  Put32(file, SectionField(1, kRawPointer), 0);
  Put32(file, SectionField(1, kRawSize), 0x7FFFF000);
  Outcome o = Map(file);
  ASSERT_TRUE(o.ok) << o.error;
  EXPECT_EQ(o.image.sections[1].mappedSize, 0u);
  EXPECT_EQ(o.image.sections[1].virtualSize, kWheelSize);
  EXPECT_EQ(o.image.memory[kRotateSite], 0);
  EXPECT_EQ(o.image.memory[kDataRva], 0xA0);
}

TEST(PeImageLayout, TrailingBytesAndZeroSectionsAreAccepted) {
  std::vector<uint8_t> file = Build();
  file.resize(file.size() + 0x1234, 0xCC);
  EXPECT_TRUE(Map(file).ok);

  file = Build();
  Put16(file, kNumberOfSections, 0);
  Outcome o = Map(file);
  ASSERT_TRUE(o.ok) << o.error;
  EXPECT_TRUE(o.image.sections.empty());
  EXPECT_EQ(o.image.memory[kRotateSite], 0);
}

TEST(PeImageLayout, PlaceOfNamesHeadersSectionsAndGaps) {
  std::vector<uint8_t> file = Build();
  Put32(file, kSizeOfImage, kFullSize + 0x3000);
  Outcome o = Map(file);
  ASSERT_TRUE(o.ok) << o.error;
  EXPECT_EQ(check::PlaceOf(o.image, 0), "headers");
  EXPECT_EQ(check::PlaceOf(o.image, kHeadersEnd - 1), "headers");
  EXPECT_EQ(check::PlaceOf(o.image, kHeadersEnd), "no section");
  EXPECT_EQ(check::PlaceOf(o.image, 0x1000), ".text");
  EXPECT_EQ(check::PlaceOf(o.image, kWheelRva - 1), ".text");
  EXPECT_EQ(check::PlaceOf(o.image, kRotateSite), ".wheel");
  EXPECT_EQ(check::PlaceOf(o.image, kFullSize - 1), ".data");
  EXPECT_EQ(check::PlaceOf(o.image, kFullSize), "no section");
}

TEST(PeImageLayout, SectionNamesAreCutAtEightAndMadePrintable) {
  std::vector<uint8_t> file = Build();
  const uint8_t name[8] = {'a', 'b', 0x01, 'd', 'e', 'f', 'g', 'h'};
  memcpy(&file[SectionField(0, 0)], name, 8);  // no terminator
  memset(&file[SectionField(1, 0)], 0, 8);
  Outcome o = Map(file);
  ASSERT_TRUE(o.ok) << o.error;
  EXPECT_EQ(o.image.sections[0].name, "ab?defgh");
  EXPECT_EQ(o.image.sections[1].name, "(unnamed)");
}

// The reason expected for a file cut to `length` bytes.
std::string TruncationReason(uint32_t length) {
  if (length < 0x40) {
    return "too short for a DOS header (" + std::to_string(length) + " bytes)";
  }
  if (length < kLfanew + 24) {
    return "e_lfanew 0x00000080 points past the end of the file";
  }
  if (length < kOptional + 0xE0) {
    return "optional header runs past the end of the file";
  }
  if (length < kSectionTable + 3 * 40) {
    return "section table runs past the end of the file";
  }
  if (length < kHeadersEnd) {
    return "SizeOfHeaders 0x00000200 does not cover the headers within the file";
  }
  if (length < kDataRaw) {
    return "section 2 (.wheel): raw data 0x00000200+0x00002000 runs past the end of the file";
  }
  return "section 3 (.data): raw data 0x00002200+0x00000200 runs past the end of the file";
}

TEST(PeImageTruncated, EveryLengthThroughTheHeadersAndSamplesBeyondGiveTheirReason) {
  const std::vector<uint8_t> full = Build();
  std::vector<uint32_t> lengths;
  for (uint32_t n = 0; n <= kHeadersEnd; ++n) {
    lengths.push_back(n);
  }
  for (uint32_t n : {0x201u, 0x7FFu, 0x1000u, 0x21FFu, 0x2200u, 0x2201u, 0x23FFu}) {
    lengths.push_back(n);
  }
  for (uint32_t n : lengths) {
    // A copy of exactly n bytes, so that a read past it is a read past the
    // allocation.
    std::vector<uint8_t> cut(full.begin(), full.begin() + n);
    cut.shrink_to_fit();
    EXPECT_EQ(ErrorOf(cut), TruncationReason(n)) << "length " << n;
  }
  EXPECT_TRUE(Map(full).ok);
}

struct Corruption {
  const char* what;
  uint32_t at;
  uint32_t width;  // 2 or 4
  uint32_t value;
  std::string reason;
};

void PrintTo(const Corruption& c, std::ostream* os) { *os << c.what; }

class PeImageCorrupted : public ::testing::TestWithParam<Corruption> {};

TEST_P(PeImageCorrupted, GivesItsReason) {
  const Corruption& c = GetParam();
  std::vector<uint8_t> file = Build();
  if (c.width == 2) {
    Put16(file, c.at, c.value);
  } else {
    Put32(file, c.at, c.value);
  }
  EXPECT_EQ(ErrorOf(file), c.reason);
}

const std::string kLfanewPast = " points past the end of the file";
const std::string kSection3 = "section 3 (.data): ";

INSTANTIATE_TEST_SUITE_P(
    Fields, PeImageCorrupted,
    ::testing::Values(
        Corruption{"NoMz", 0, 2, 0x4D5A, "not a PE image: no MZ signature"},
        Corruption{"LfanewNegative", 0x3C, 4, 0xFFFFFFFC, "e_lfanew 0xFFFFFFFC" + kLfanewPast},
        Corruption{"LfanewMinusOne", 0x3C, 4, 0xFFFFFFFF, "e_lfanew 0xFFFFFFFF" + kLfanewPast},
        Corruption{"LfanewHuge", 0x3C, 4, 0x7FFFFFF0, "e_lfanew 0x7FFFFFF0" + kLfanewPast},
        Corruption{"LfanewAtEnd", 0x3C, 4, 0x2400, "e_lfanew 0x00002400" + kLfanewPast},
        Corruption{"LfanewLast23", 0x3C, 4, 0x2400 - 23, "e_lfanew 0x000023E9" + kLfanewPast},
        Corruption{"LfanewZero", 0x3C, 4, 0,
                   "not a PE image: no PE signature at e_lfanew 0x00000000"},
        Corruption{"LfanewLast24", 0x3C, 4, 0x2400 - 24,
                   "not a PE image: no PE signature at e_lfanew 0x000023E8"},
        Corruption{"NoPeSignature", kLfanew, 4, 0x00004551,
                   "not a PE image: no PE signature at e_lfanew 0x00000080"},
        Corruption{"Machine64", kFileHeader, 2, 0x8664,
                   "not a 32-bit x86 image (machine 0x00008664)"},
        Corruption{"SectionsHuge", kNumberOfSections, 2, 0xFFFF,
                   "too many sections (65535, at most 96)"},
        Corruption{"Sections97", kNumberOfSections, 2, 97, "too many sections (97, at most 96)"},
        Corruption{"Sections96", kNumberOfSections, 2, 96,
                   "SizeOfHeaders 0x00000200 does not cover the headers within the file"},
        Corruption{"OptionalTooSmall", kSizeOfOptionalHeader, 2, 0x5F,
                   "optional header too small (SizeOfOptionalHeader 0x0000005F)"},
        Corruption{"OptionalZero", kSizeOfOptionalHeader, 2, 0,
                   "optional header too small (SizeOfOptionalHeader 0x00000000)"},
        Corruption{"OptionalHuge", kSizeOfOptionalHeader, 2, 0xFFFF,
                   "optional header runs past the end of the file"},
        Corruption{"OptionalTooShortForDirectories", kSizeOfOptionalHeader, 2, 0xD8,
                   "NumberOfRvaAndSizes 0x00000010 does not fit SizeOfOptionalHeader 0x000000D8"},
        Corruption{"OptionalLonger", kSizeOfOptionalHeader, 2, 0xE8,
                   "section 1 ((unnamed)): virtual address 0x00000000 overlaps the headers or "
                   "the section before it"},
        Corruption{"Pe32Plus", kMagic, 2, 0x20B,
                   "not a PE32 image (optional header magic 0x0000020B)"},
        Corruption{"DirectoriesHuge", kNumberOfRvaAndSizes, 4, 0x40000000,
                   "NumberOfRvaAndSizes 0x40000000 does not fit SizeOfOptionalHeader 0x000000E0"},
        Corruption{"SectionAlignmentZero", kSectionAlignment, 4, 0,
                   "bad alignment (SectionAlignment 0x00000000, FileAlignment 0x00000200)"},
        Corruption{"SectionAlignmentOdd", kSectionAlignment, 4, 0x1001,
                   "bad alignment (SectionAlignment 0x00001001, FileAlignment 0x00000200)"},
        Corruption{"FileAlignmentAboveSection", kFileAlignment, 4, 0x2000,
                   "bad alignment (SectionAlignment 0x00001000, FileAlignment 0x00002000)"},
        Corruption{"SizeOfImageZero", kSizeOfImage, 4, 0,
                   "SizeOfImage 0x00000000 is smaller than SizeOfHeaders 0x00000200"},
        Corruption{"SizeOfImageTiny", kSizeOfImage, 4, 0x1FF,
                   "SizeOfImage 0x000001FF is smaller than SizeOfHeaders 0x00000200"},
        Corruption{"SizeOfImageBelowSections", kSizeOfImage, 4, 0x6C000,
                   "section 2 (.wheel): virtual range 0x0006B000+0x00002000 lies beyond "
                   "SizeOfImage 0x0006C000"},
        Corruption{"SizeOfImageOverLimit", kSizeOfImage, 4, (64u << 20) + 1,
                   "SizeOfImage 0x04000001 exceeds the limit of 0x04000000"},
        Corruption{"SizeOfImageHuge", kSizeOfImage, 4, 0xFFFFFFFF,
                   "SizeOfImage 0xFFFFFFFF exceeds the limit of 0x04000000"},
        Corruption{"SizeOfHeadersBelowTable", kSizeOfHeaders, 4, 0x1EF,
                   "SizeOfHeaders 0x000001EF does not cover the headers within the file"},
        Corruption{"SizeOfHeadersPastFile", kSizeOfHeaders, 4, 0x2401,
                   "SizeOfHeaders 0x00002401 does not cover the headers within the file"},
        Corruption{"RawPointerPastFile", SectionField(2, kRawPointer), 4, 0x2201,
                   kSection3 + "raw data 0x00002201+0x00000200 runs past the end of the file"},
        Corruption{"RawPointerWraps", SectionField(2, kRawPointer), 4, 0xFFFFFF00,
                   kSection3 + "raw data 0xFFFFFF00+0x00000200 runs past the end of the file"},
        Corruption{"RawSizePastFile", SectionField(2, kRawSize), 4, 0x201,
                   kSection3 + "raw data 0x00002200+0x00000201 runs past the end of the file"},
        Corruption{"RawSizeHuge", SectionField(2, kRawSize), 4, 0xFFFFFFFF,
                   kSection3 + "raw data 0x00002200+0xFFFFFFFF runs past the end of the file"},
        Corruption{"VirtualAddressPastImage", SectionField(2, kVirtualAddress), 4, 0x104A000,
                   kSection3 + "virtual range 0x0104A000+0x00FDD000 lies beyond SizeOfImage "
                               "0x0104A000"},
        Corruption{"VirtualAddressWraps", SectionField(2, kVirtualAddress), 4, 0xFFFFF000,
                   kSection3 + "virtual range 0xFFFFF000+0x00FDD000 lies beyond SizeOfImage "
                               "0x0104A000"},
        Corruption{"VirtualSizeHuge", SectionField(2, kVirtualSize), 4, 0xFFFFFFFF,
                   kSection3 + "virtual range 0x0006D000+0xFFFFFFFF lies beyond SizeOfImage "
                               "0x0104A000"},
        Corruption{"VirtualSizeOneTooMany", SectionField(2, kVirtualSize), 4, 0xFDD001,
                   kSection3 + "virtual range 0x0006D000+0x00FDD001 lies beyond SizeOfImage "
                               "0x0104A000"},
        Corruption{"SectionOverlapsPrevious", SectionField(2, kVirtualAddress), 4, 0x6C000,
                   kSection3 + "virtual address 0x0006C000 overlaps the headers or the section "
                               "before it"},
        Corruption{"SectionInHeaders", SectionField(0, kVirtualAddress), 4, 0x100,
                   "section 1 (.text): virtual address 0x00000100 overlaps the headers or the "
                   "section before it"}),
    [](const ::testing::TestParamInfo<Corruption>& info) { return std::string(info.param.what); });

}  // namespace
