// Bounded text building, and the log writes: one WriteFile and one flush per
// text and per line (the HUD frame's lines unflushed), nothing while the log
// is closed, write failures ignored.
#include <sched.h>
#include <string.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core_support.h"
#include "log/log.h"

namespace {

// A buffer followed by sentinel bytes that no append may touch.
struct Guarded {
  char text[32];
  char after[8];
  Guarded() {
    memset(text, 'Z', sizeof(text));
    memset(after, 'S', sizeof(after));
  }
  void Set(const char* s) { memcpy(text, s, strlen(s) + 1); }
  std::string Raw(size_t n) const { return std::string(text, n); }
  bool AfterIntact() const { return std::string(after, 8) == std::string(8, 'S'); }
};

// ---- AppendText ------------------------------------------------------------------------

TEST(AppendTextTest, AppendsAndTerminates) {
  Guarded b;
  b.Set("ab");
  AppendText(b.text, "cde", 32);
  EXPECT_EQ(b.Raw(7), std::string("abcde\0Z", 7));
}

TEST(AppendTextTest, ATextThatDoesNotFitIsCutAtCapacityMinusOne) {
  Guarded b;
  b.Set("ab");
  AppendText(b.text, "xyz", 5);
  EXPECT_EQ(b.Raw(6), std::string("abxy\0Z", 6));
}

TEST(AppendTextTest, AFullBufferTakesNothingMore) {
  Guarded b;
  b.Set("abcd");
  AppendText(b.text, "x", 5);
  EXPECT_EQ(b.Raw(6), std::string("abcd\0Z", 6));
}

TEST(AppendTextTest, AtLengthOfCapacityNotEvenATerminatorIsWritten) {
  Guarded b;
  memcpy(b.text, "abcdefgh", 8);  // no terminator within the first 4 bytes
  b.text[8] = '\0';
  AppendText(b.text, "x", 4);
  EXPECT_EQ(b.Raw(9), std::string("abcdefgh\0", 9));
  AppendText(b.text, "x", 0);
  EXPECT_EQ(b.Raw(9), std::string("abcdefgh\0", 9));
}

TEST(AppendTextTest, AnUnterminatedBufferIsNotReadPastItsCapacity) {
  // The buffer fills the last bytes of a page; the next page is inaccessible.
  sim::Reset();
  uintptr_t pages = sim::MapAnywhere(2 * sim::kPageSize, sim::kPageSize);
  char* buffer = reinterpret_cast<char*>(pages + sim::kPageSize - 6);
  memcpy(buffer, "abcdef", 6);
  sim::SetProtect(pages + sim::kPageSize, sim::kPageSize, sim::kPageNoAccess);
  AppendText(buffer, "x", 6);
  AppendHex(buffer, 0x12345678, 6);
  EXPECT_EQ(std::string(buffer, 6), "abcdef");
}

TEST(AppendTextTest, AnEmptyTextOnlyTerminates) {
  Guarded b;
  b.Set("ab");
  AppendText(b.text, "", 32);
  EXPECT_EQ(b.Raw(4), std::string("ab\0Z", 4));
  Guarded c;
  c.text[0] = '\0';
  AppendText(c.text, "", 1);
  EXPECT_EQ(c.Raw(2), std::string("\0Z", 2));
}

TEST(AppendTextTest, NullTextOrBufferChangesNothing) {
  Guarded b;
  b.Set("ab");
  AppendText(b.text, nullptr, 32);
  EXPECT_EQ(b.Raw(4), std::string("ab\0Z", 4));
  AppendText(nullptr, "x", 32);
  AppendHex(nullptr, 1, 32);
}

// ---- AppendHex -------------------------------------------------------------------------

TEST(AppendHexTest, EightUpperCaseDigitsWithLeadingZeros) {
  struct Case {
    uint32_t value;
    const char* text;
  };
  for (const Case& c :
       {Case{0, "0x00000000"}, Case{255, "0x000000FF"}, Case{0xDEADBEEF, "0xDEADBEEF"},
        Case{0x0123ABCD, "0x0123ABCD"}, Case{0xFFFFFFFF, "0xFFFFFFFF"}}) {
    Guarded b;
    b.Set("v=");
    AppendHex(b.text, c.value, 32);
    EXPECT_EQ(b.Raw(14), std::string("v=") + c.text + std::string("\0Z\0", 2)) << c.text;
  }
}

TEST(AppendHexTest, ElevenBytesHoldTheWholeNumber) {
  Guarded b;
  b.text[0] = '\0';
  AppendHex(b.text, 0x12345678, 11);
  EXPECT_EQ(b.Raw(12), std::string("0x12345678\0Z", 12));
}

TEST(AppendHexTest, TenBytesHoldOnlyTheFirstSevenDigits) {
  Guarded b;
  b.text[0] = '\0';
  AppendHex(b.text, 0x12345678, 10);
  EXPECT_EQ(b.Raw(11), std::string("0x1234567\0Z", 11));
}

TEST(AppendHexTest, ShortRoomCutsThePrefixToo) {
  struct Case {
    const char* before;
    const char* after;  // the first 10 bytes afterwards
  };
  // Capacity 10 with 4, 3, 2 and 1 free bytes.
  const Case cases[] = {
      {"abcdef", "abcdef0x1\0"},
      {"abcdefg", "abcdefg0x\0"},
      {"abcdefgh", "abcdefgh0\0"},
      {"abcdefghi", "abcdefghi\0"},
  };
  for (const Case& c : cases) {
    Guarded b;
    b.Set(c.before);
    AppendHex(b.text, 0x1ABCDEF2, 10);
    EXPECT_EQ(b.Raw(11), std::string(c.after, 10) + "Z") << c.before;
  }
}

TEST(AppendHexTest, AFullUnterminatedBufferIsLeftAlone) {
  Guarded b;
  memcpy(b.text, "abcdefghij", 10);
  AppendHex(b.text, 0xFFFFFFFF, 10);
  EXPECT_EQ(b.Raw(11), "abcdefghijZ");
  EXPECT_TRUE(b.AfterIntact());
}

// A WriteFile that, once it wrote, waits a while for another write.
std::atomic<uint32_t> gWrites{0};
int32_t QI_STDCALL YieldingWriteFile(Handle file, const void* data, uint32_t count,
                                     uint32_t* written, void* overlapped) {
  int32_t result = reinterpret_cast<WriteFileFn>(sim::StandIn("WriteFile"))(file, data, count,
                                                                            written, overlapped);
  uint32_t mine = ++gWrites;
  for (int spin = 0; spin < 2000 && gWrites == mine; ++spin) sched_yield();
  return result;
}

// ---- LogWrite ------------------------------------------------------------------------------

class LogWriteTest : public core::SimTest {
 protected:
  void SetUp() override {
    core::SimTest::SetUp();
    ASSERT_TRUE(sim::OpenLogOnly());
  }
};

TEST_F(LogWriteTest, ATextIsWrittenWithoutItsTerminatorAndFlushed) {
  LogWrite("abc");
  EXPECT_EQ(sim::ReadLog(), "abc");
  EXPECT_EQ(sim::Record().writeFile, 1u);
  EXPECT_EQ(sim::Record().flushFileBuffers, 1u);
}

TEST_F(LogWriteTest, AnEmptyTextMakesAZeroByteWriteAndAFlush) {
  LogWrite("");
  EXPECT_EQ(sim::Record().writeFile, 1u);
  EXPECT_EQ(sim::Record().flushFileBuffers, 1u);
  EXPECT_EQ(sim::ReadLog(), "");
}

TEST_F(LogWriteTest, ALineIsItsTextAndLineEndInOneWriteAndOneFlush) {
  gState.api.writeFile = &core::CapturingWriteFile;
  LogLine("[INFO] one");
  LogLine("");
  EXPECT_EQ(core::Chunks(), (std::vector<std::string>{"[INFO] one\r\n", "\r\n"}));
  EXPECT_EQ(sim::Record().flushFileBuffers, 2u);
  EXPECT_EQ(sim::ReadLog(), "[INFO] one\r\n\r\n");
}

TEST_F(LogWriteTest, TheLongestLineFitsOneWriteALongerTextGoesOutInTwo) {
  gState.api.writeFile = &core::CapturingWriteFile;
  const std::string longest(254, 'a');  // 254 characters and CR LF fill 256 bytes
  const std::string longer(255, 'b');
  LogLine(longest.c_str());
  LogLine(longer.c_str());
  EXPECT_EQ(core::Chunks(), (std::vector<std::string>{longest + "\r\n", longer, "\r\n"}));
  EXPECT_EQ(sim::Record().flushFileBuffers, 3u);
  EXPECT_EQ(sim::ReadLog(), longest + "\r\n" + longer + "\r\n");
  // From the HUD frame: the same writes, none flushed.
  LogLine(longest.c_str(), LogFrom::HudFrame);
  LogLine(longer.c_str(), LogFrom::HudFrame);
  EXPECT_EQ(core::Chunks().size(), 6u);
  EXPECT_EQ(sim::Record().flushFileBuffers, 3u);
  EXPECT_EQ(sim::ReadLog(),
            longest + "\r\n" + longer + "\r\n" + longest + "\r\n" + longer + "\r\n");
}

TEST_F(LogWriteTest, LinesFromTwoThreadsAtOnceStayWhole) {
  // Each thread's WriteFile lets the other one write before it returns: a
  // line written in two parts is cut by the other thread's line.
  gWrites = 0;
  gState.api.writeFile = &YieldingWriteFile;
  const char* texts[2] = {"[STATE] drawing allowed", "[HOOK] installed; original=0x00000000"};
  std::vector<std::thread> threads;
  for (const char* text : texts) {
    threads.emplace_back([text] {
      for (int i = 0; i < 200; ++i) LogLine(text);
    });
  }
  for (std::thread& t : threads) t.join();
  bool crlf = false;
  std::vector<std::string> lines = sim::LogLines(&crlf);
  EXPECT_TRUE(crlf);
  ASSERT_EQ(lines.size(), 400u);
  for (const std::string& line : lines) {
    EXPECT_TRUE(line == texts[0] || line == texts[1]) << line;
  }
}

TEST_F(LogWriteTest, NothingIsWrittenOrFlushedWhileTheLogIsClosed) {
  gState.logFile = QI_INVALID_HANDLE;
  LogWrite("x");
  LogLine("y");
  EXPECT_EQ(sim::Record().writeFile, 0u);
  EXPECT_EQ(sim::Record().flushFileBuffers, 0u);
  EXPECT_EQ(sim::ReadLog(), "");
}

TEST_F(LogWriteTest, ANullTextOrAMissingWriteFileWritesNothing) {
  LogWrite(nullptr);
  EXPECT_EQ(sim::Record().writeFile, 0u);
  EXPECT_EQ(sim::Record().flushFileBuffers, 0u);
  gState.api.writeFile = nullptr;
  LogLine("dropped");
  EXPECT_EQ(sim::Record().writeFile, 0u);
  EXPECT_EQ(sim::Record().flushFileBuffers, 0u);
  EXPECT_EQ(sim::ReadLog(), "");
}

TEST_F(LogWriteTest, WithoutFlushFileBuffersTextsAreStillWritten) {
  gState.api.flushFileBuffers = nullptr;
  LogLine("abc");
  EXPECT_EQ(sim::ReadLog(), "abc\r\n");
  EXPECT_EQ(sim::Record().writeFile, 1u);
  EXPECT_EQ(sim::Record().flushFileBuffers, 0u);
}

TEST_F(LogWriteTest, AFailingWriteIsIgnoredAndTheNextOneGoesOn) {
  sim::Fault().writeFileFail = true;
  LogLine("lost");
  EXPECT_EQ(sim::Record().writeFile, 1u);
  EXPECT_EQ(sim::Record().flushFileBuffers, 1u);
  sim::Fault().writeFileFail = false;
  LogLine("kept");
  EXPECT_EQ(sim::ReadLog(), "kept\r\n");
  EXPECT_EQ(sim::Record().writeFile, 2u);
}

TEST_F(LogWriteTest, AShortWriteIsNotRetried) {
  sim::Fault().writeFileShortBy = 2;
  LogWrite("abcde");
  EXPECT_EQ(sim::ReadLog(), "abc");
  sim::Fault().writeFileShortBy = 0;
  LogWrite("\r\n");
  EXPECT_EQ(sim::ReadLog(), "abc\r\n");
  EXPECT_EQ(sim::Record().writeFile, 2u);
  EXPECT_EQ(sim::Record().flushFileBuffers, 2u);
}

// ---- Once-only reports ---------------------------------------------------------------------

TEST_F(LogWriteTest, AOnceOnlyReportIsWrittenOnceAndItsFlagSetEvenWithTheLogClosed) {
  uint8_t flag = 0;
  ReportOnce(&flag, "[X] first", "[X] second");
  ReportOnce(&flag, "[X] first", "[X] second");
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(sim::LogLines(), (std::vector<std::string>{"[X] first", "[X] second"}));
  EXPECT_EQ(sim::Record().flushFileBuffers, 2u);
  uint8_t frameFlag = 0;
  ReportOnce(&frameFlag, "[Z] from the frame", "[Z] unflushed", LogFrom::HudFrame);
  EXPECT_EQ(sim::LogLines().size(), 4u);
  EXPECT_EQ(sim::Record().flushFileBuffers, 2u);

  uint8_t closedFlag = 0;
  gState.logFile = QI_INVALID_HANDLE;
  ReportOnce(&closedFlag, "[Y] dropped", nullptr);
  EXPECT_EQ(closedFlag, 1);
  EXPECT_EQ(sim::Record().writeFile, 4u);
}

}  // namespace
