// quorvel-check --log: the explanations of the demo's own log and of the
// hand-made logs players meet (tests/check/logs: NAME.log and the exact
// output NAME.expected), the refusals of what is no whole log of this
// build, and the command line with a VHud.asi, a log, or both.
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "check/command.h"
#include "check/log_explain.h"
#include "check/log_lines.h"
#include "tests/check/vhud_file.h"

namespace {

const std::string kLogs = QI_SOURCE_DIR "/tests/check/logs/";

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

check::CommandOutput Check(std::vector<const char*> args) {
  args.insert(args.begin(), "quorvel-check");
  return check::RunCommand(static_cast<int>(args.size()), args.data());
}

std::string CrLf(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

const std::vector<std::string> kStart = {
    "[BOOT] Quorvel Icons + STATIC WHEEL + SPACING TEST13 SAFE RADAR started",
    "[INFO] External ASI only; VHud.asi / hud.dat are not modified on disk",
    "[INFO] Weapon wheel mode: TEST11 layout + ammo centering + SAFE temporary radar hide + hide "
    "custom health/armour icons while wheel open",
    "[THREAD] worker started"};

std::vector<std::string> With(std::vector<std::string> lines) {
  lines.insert(lines.begin(), kStart.begin(), kStart.end());
  return lines;
}

// A line of the table's kind `id`, each value 0x6D1A0000.
std::string Line(const std::string& id) {
  for (const check::LogLineKind& kind : check::LogLineKinds()) {
    std::string line = kind.pattern;
    for (size_t at = line.find("%x"); at != std::string::npos; at = line.find("%x")) {
      line.replace(at, 2, "0x6D1A0000");
    }
    if (kind.id == id) return line;
  }
  ADD_FAILURE() << id;
  return "";
}

// A log that two copies of the plug-in (or two games) wrote: each opens it
// emptied ("open") and writes whole lines at its own position, over the
// other's lines or past the file's end. Steps: the writer (0 or 1) and a
// kind or "open".
std::string TwoWriters(const std::string& steps) {
  std::string file, id;
  size_t at[2] = {0, 0};
  std::istringstream in(steps);
  for (int w = 0; in >> w >> id;) {
    const std::string line = id == "open" ? "" : Line(id) + "\r\n";
    if (id == "open") file.clear();
    at[w] = id == "open" ? 0 : at[w];
    file.resize(std::max(file.size(), at[w]), '\0');
    file.replace(at[w], std::min(line.size(), file.size() - at[w]), line);
    at[w] += line.size();
  }
  return file;
}

// Two copies in one game: their starts are the same bytes at the same places.
const std::string kCopies =
    "0 open 0 boot 0 external 0 mode 1 open 1 boot 1 external 1 mode 0 thread 1 thread "
    "0 vhud_found 1 vhud_found ";

struct Case {
  const char* name;
  int exitCode;
};

class ExplainedLog : public ::testing::TestWithParam<Case> {};

TEST_P(ExplainedLog, PrintsItsExpectedExplanation) {
  const std::string path = kLogs + GetParam().name + ".log";
  const check::CommandOutput run = Check({"--log", path.c_str()});
  EXPECT_EQ(run.exitCode, GetParam().exitCode);
  EXPECT_EQ(run.err, "");
  // The expected output was written for the path "NAME.log".
  const std::string expected = Slurp(kLogs + GetParam().name + ".expected");
  const std::string header = "log: " + path + " (" + std::to_string(Slurp(path).size()) + " bytes)";
  ASSERT_EQ(run.out.substr(0, run.out.find('\n')), header);
  EXPECT_EQ(run.out.substr(run.out.find('\n')), expected.substr(expected.find('\n')));
}

INSTANTIATE_TEST_SUITE_P(Logs, ExplainedLog,
                         ::testing::Values(Case{"demo_default", 0}, Case{"vhud_missing", 1},
                                           Case{"hud_jump_owned", 1}, Case{"icons_never_load", 1},
                                           Case{"crash_mid_game", 1}, Case{"sites_repatched", 0}),
                         [](const auto& info) { return std::string(info.param.name); });

struct Refused {
  const char* name;
  std::string bytes;
  bool longer;
  std::string error;
};

const std::string kOwnLine = "this build of the plug-in writes: ";

std::vector<Refused> RefusedLogs() {
  const std::string whole = CrLf(With({"[ERR] VHud.asi not found", "[STOP] DLL detach"}));
  const std::string allowed = Line("state_allowed");
  const std::string shortEnd = allowed.substr(allowed.size() + 1 - check::kMinCutPiece);
  std::string nul = whole;
  nul[80] = '\0';
  std::string high = whole;
  high[3] = static_cast<char>(0xC3);
  std::string lf = whole;
  lf.erase(lf.find("\r\n[THREAD]"), 1);
  // Converted from line 4 on: every LF gone.
  std::string cr = whole.substr(0, whole.find("\n[ERR]"));
  for (char c : whole.substr(cr.size())) {
    if (c != '\n') cr += c;
  }
  const std::string cut =
      "line 7) is cut off without its CR LF: the game is still running, or "
      "it ended while the plug-in was writing that line (a crash, or a game "
      "killed from outside); close the game, or read the log of a game that "
      "closed";
  const std::string ends =
      ", not CR LF as the plug-in writes: the file was converted or edited "
      "(use the Quorvel_Icons.log the game wrote, not a copy saved by an "
      "editor)";
  return {
      {"Empty", "", false,
       "the log is empty: the plug-in was loaded but wrote nothing (it could not write the file), "
       "or the file was emptied"},
      {"Nul", nul, false,
       "byte 80 is 0x00: binary data, not the plug-in's log (it writes plain text only)"},
      {"HighByte", high, false,
       "byte 3 is 0xC3: binary data, not the plug-in's log (it writes plain text only)"},
      {"LfAlone", lf, false, "line 3 ends in LF alone" + ends},
      {"CrAlone", cr, false, "line 4 ends in CR alone" + ends},
      {"CutLine", whole + "[STATE] drawing all", false, "the last line (" + cut},
      {"CutBeforeLf", whole + "[STATE] drawing allowed\r", false, "the last line (" + cut},
      {"NoWholeLineInPrefix", std::string(100, 'A'), true, "no whole line in its first 100 bytes"},
      {"OtherBuild",
       CrLf({"[BOOT] Quorvel Icons + STATIC WHEEL + SPACING TEST12 SAFE RADAR started"}), false,
       "written by another build of the plug-in: its first line is \"[BOOT] Quorvel Icons + "
       "STATIC WHEEL + SPACING TEST12 SAFE RADAR started\", this quorvel-check explains the logs "
       "of \"[BOOT] Quorvel Icons + STATIC WHEEL + SPACING TEST13 SAFE RADAR started\""},
      {"NotALog", "hello\r\n", false,
       "not a Quorvel Icons log: its first line is \"hello\", not the plug-in's start line "
       "\"[BOOT] Quorvel Icons + STATIC WHEEL + SPACING TEST13 SAFE RADAR started\""},
      {"UnknownLine", CrLf(With({"[OK] VHud.asi base=0x10000000 size=0x0006D000 extra"})), false,
       "line 5 is not a line " + kOwnLine +
           "\"[OK] VHud.asi base=0x10000000 size=0x0006D000 extra\" (a line of an older or newer "
           "build, or an edited file)"},
      {"EmptyLine", CrLf(With({"", "[STOP] DLL detach"})), false,
       "line 5 is not a line " + kOwnLine +
           "\"\" (a line of an older or newer build, or an "
           "edited file)"},
      // Shorter than a cut line's least length: not read as one.
      {"ShortEndOfALine", CrLf(With({shortEnd, "[STOP] DLL detach"})), false,
       "line 5 is not a line " + kOwnLine + "\"" + shortEnd +
           "\" (a line of an older or newer build, or an edited file)"},
      {"LongLineQuotedShort", CrLf(With({std::string(300, 'x')})), false,
       "line 5 is not a line " + kOwnLine + "\"" + std::string(100, 'x') +
           "...\" (a line of an older or newer build, or an edited file)"},
  };
}

void PrintTo(const Refused& r, std::ostream* os) { *os << r.name; }

class RefusedLog : public ::testing::TestWithParam<Refused> {};

TEST_P(RefusedLog, GetsOneReasonAndExitTwo) {
  check::LogText log;
  log.bytes = GetParam().bytes;
  log.fileSize = log.bytes.size();
  log.longer = GetParam().longer;
  const check::Explanation e = check::ExplainLog(log);
  EXPECT_EQ(e.exitCode, check::kLogUnreadable);
  EXPECT_TRUE(e.lines.empty());
  EXPECT_EQ(e.error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(Bad, RefusedLog, ::testing::ValuesIn(RefusedLogs()),
                         [](const auto& info) { return std::string(info.param.name); });

// Logs that are read, by the problems they show: exit code and the summary.
struct Judged {
  const char* name;
  std::string bytes;
  int exitCode;
  std::string last;  // the output's last line
};

std::vector<Judged> JudgedLogs() {
  const std::string vhud = "[OK] VHud.asi base=0x10000000 size=0x0006D000";
  const std::string hook = "[HOOK] installed; original=0x10001000 hook=0x6A001230";
  std::vector<std::string> rehooks10 = With({vhud});
  for (int i = 0; i < 11; ++i) rehooks10.push_back(hook);
  std::vector<std::string> rehooks11 = rehooks10;
  rehooks11.push_back(hook);
  rehooks10.push_back("[STOP] DLL detach");
  rehooks11.push_back("[STOP] DLL detach");
  const std::string writers =
      ": more than one copy of the plug-in, or more than one game, wrote this log: keep one copy";
  return {
      {"TenRehooks", CrLf(rehooks10), 0, "result: all went well"},
      {"ElevenRehooks", CrLf(rehooks11), 1,
       "  lines 6 to 17: another mod keeps resetting the HUD jump: remove one of the two"},
      {"VhudSizeZero",
       CrLf(With({"[OK] VHud.asi base=0x10000000 size=0x00000000", "[STOP] DLL detach"})), 1,
       "  line 5: VHud's size is 0"},
      {"VhudOtherBuild",
       CrLf(With(
           {vhud, "[ERR] VHud.asi build not recognised; nothing patched", "[STOP] DLL detach"})),
       1, "  line 6: [ERR] VHud.asi build not recognised; nothing patched"},
      {"NoWorker", CrLf({kStart[0], kStart[1], kStart[2], "[STOP] DLL detach"}), 1,
       "  line 4: no \"[THREAD] worker started\" line"},
      // Two threads' lines met at the seam between text and line end.
      {"Seam",
       CrLf(With({vhud, hook + "[STATE] drawing allowed", "", "[STATE] hidden: menu active",
                  "[STOP] DLL detach"})),
       0, "result: all went well"},
      {"EarlyLookThenHook",
       CrLf(With({vhud, "[WARN] HUD jump target is outside VHud: 0x00563210", hook,
                  "[STOP] DLL detach"})),
       0, "result: all went well"},
      {"HookThenOutside",
       CrLf(With({vhud, hook, "[WARN] HUD jump target is outside VHud: 0x00563210",
                  "[STOP] DLL detach"})),
       1, "  line 7: [WARN] HUD jump target is outside VHud: 0x00563210"},
      // Two writers: the line of the first sign.
      {"TwoStartLines", CrLf(With({vhud, Line("boot"), Line("external"), Line("stop")})), 1,
       "  line 6" + writers},
      {"CopiesCutALine", TwoWriters(kCopies + "0 spacing_ok 1 hook 0 stop"), 1,
       "  line 7" + writers},
      {"CopiesStopInTheMiddle",
       TwoWriters(kCopies + "0 hook 0 state_allowed 1 hook_outside 1 stop 0 state_menu 0 stop"), 1,
       "  line 7" + writers},
      {"SecondGameLeavesNulBytes",
       TwoWriters("0 open 0 boot 0 external 0 mode 0 thread 1 open 1 boot 0 vhud_found 1 external"),
       1, "  line 3" + writers},
  };
}

void PrintTo(const Judged& j, std::ostream* os) { *os << j.name; }

class JudgedLog : public ::testing::TestWithParam<Judged> {};

TEST_P(JudgedLog, ExitsAndSumsUp) {
  check::LogText log;
  log.bytes = GetParam().bytes;
  const check::Explanation e = check::ExplainLog(log);
  EXPECT_EQ(e.error, "");
  EXPECT_EQ(e.exitCode, GetParam().exitCode);
  ASSERT_FALSE(e.lines.empty());
  EXPECT_EQ(e.lines.back(), GetParam().last);
}

INSTANTIATE_TEST_SUITE_P(Problems, JudgedLog, ::testing::ValuesIn(JudgedLogs()),
                         [](const auto& info) { return std::string(info.param.name); });

// Another build of VHud: the line's own advice, and why no patch was tried.
TEST(ExplainedOtherBuild, GivesTheLinesAdviceAndNoPatchTried) {
  const std::string line = "[ERR] VHud.asi build not recognised; nothing patched";
  check::LogText log;
  log.bytes =
      CrLf(With({"[OK] VHud.asi base=0x10000000 size=0x0104A000", line, "[STOP] DLL detach"}));
  const std::vector<std::string> out = check::ExplainLog(log).lines;
  const check::LogLineMatch match = check::MatchLogLine(line);
  ASSERT_NE(match.kind, nullptr);
  auto has = [&out](const std::string& text) {
    return std::find(out.begin(), out.end(), text) != out.end();
  };
  EXPECT_TRUE(has("    What to do: " + check::PlainText(match.kind->advice)));
  EXPECT_TRUE(has("  static-slot patch: not tried (another build of VHud)"));
  EXPECT_TRUE(has("  centre-text patch: not tried (another build of VHud)"));
}

class LogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/qi_log_XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    path_ = name;
  }
  void TearDown() override { unlink(path_.c_str()); }
  std::string path_;
};

TEST_F(LogFile, OfOneHundredMegabytesIsRefusedUnread) {
  ASSERT_EQ(truncate(path_.c_str(), 100'000'000), 0);
  const check::CommandOutput run = Check({"--log", path_.c_str()});
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "quorvel-check: " + path_ +
                         ": the file is 100.0 MB: a log of 100 MB or more is not read (the "
                         "plug-in's log is some kilobytes; delete it, start the game again, and "
                         "check the new one)\n");
}

TEST_F(LogFile, LongerThanThePrefixIsExplainedUpToIt) {
  std::string text = CrLf(With({"[OK] VHud.asi base=0x10000000 size=0x00000000"}));
  while (text.size() <= check::kLogPrefix) {
    text += "[STATE] hidden: menu active\r\n[STATE] drawing allowed\r\n";
  }
  std::ofstream(path_, std::ios::binary) << text;
  const check::CommandOutput run = Check({"--log", path_.c_str()});
  EXPECT_EQ(run.exitCode, 1);  // the size 0 of VHud; the end is not known
  std::istringstream out(run.out);
  std::string line;
  std::getline(out, line);
  std::getline(out, line);
  const std::string read = text.substr(0, check::kLogPrefix);
  const size_t whole = static_cast<size_t>(std::count(read.begin(), read.end(), '\n'));
  ASSERT_NE(read.back(), '\n');  // the prefix ends inside a line, which is dropped
  EXPECT_EQ(line, std::to_string(whole) + " lines: only the first " +
                      std::to_string(check::kLogPrefix) + " bytes of " +
                      std::to_string(text.size()) + " were read; the rest is not explained");
  EXPECT_NE(run.out.find("\nEnd of the game\n  The rest of the log was not read: how the game "
                         "ended is not known.\n"),
            std::string::npos);
}

TEST_F(LogFile, CommandLinesWithAVhudALogOrBoth) {
  const std::string vhud = path_ + ".asi";
  const std::vector<uint8_t> image = vhudfile::Build(vhudfile::kDefaultBase, vhudfile::kFullSize);
  std::ofstream(vhud, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()),
             static_cast<std::streamsize>(image.size()));
  const std::string crash = kLogs + "crash_mid_game.log";
  const std::string dragged = kLogs + "../logs/sites_repatched.log";
  const check::CommandOutput alone = Check({vhud.c_str()});
  const check::CommandOutput log = Check({"--log", crash.c_str()});
  ASSERT_EQ(alone.exitCode, 0);
  const check::CommandOutput both = Check({vhud.c_str(), "--log", crash.c_str()});
  EXPECT_EQ(both.out, alone.out + "\n" + log.out);
  EXPECT_EQ(both.exitCode, 1);
  EXPECT_EQ(Check({"--log", crash.c_str(), vhud.c_str()}).out, both.out);
  // A file named *.log is a log, dropped alone or beside a VHud.asi.
  EXPECT_EQ(Check({dragged.c_str()}).exitCode, 0);
  EXPECT_EQ(Check({crash.c_str(), vhud.c_str()}).out, both.out);
  const check::CommandOutput missing = Check({"/nonexistent/VHud.asi", "--log", dragged.c_str()});
  EXPECT_EQ(missing.exitCode, 2);
  EXPECT_EQ(missing.out.rfind("log: ", 0), 0u);
  for (const std::vector<const char*>& bad :
       std::vector<std::vector<const char*>>{{"--log"},
                                             {"a.log", "b.log"},
                                             {"--log", "a", "--log", "b"},
                                             {"a.asi", "b.asi"},
                                             {"-x"},
                                             {"--log", ""},
                                             {}}) {
    const check::CommandOutput run = Check(bad);
    EXPECT_EQ(run.exitCode, 64) << bad.size();
    EXPECT_EQ(run.out, "");
  }
  unlink(vhud.c_str());
}

}  // namespace
