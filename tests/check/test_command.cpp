// quorvel-check run as a command on files written to disk: its exit codes,
// its standard output, and the single error line for every unusable file,
// in the plain build and in the build with AddressSanitizer and UBSan.
// Sweeps over hundreds of files run the command in-process (this test
// program is built with both sanitizers too), with a sample of them run as
// real processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "check/command.h"
#include "tests/check/expected_report.h"
#include "tests/check/vhud_file.h"

extern char** environ;

namespace {

using namespace vhudfile;

struct Outcome {
  bool exited;  // false: ended by a signal
  int code;     // exit code when exited
  std::string out;
  std::string err;
};

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class CheckCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/qi_check_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
  }
  void TearDown() override {
    for (const std::string& f : files_) {
      unlink(f.c_str());
    }
    unlink((dir_ + "/out").c_str());
    unlink((dir_ + "/err").c_str());
    rmdir((dir_ + "/sub").c_str());
    rmdir(dir_.c_str());
  }

  std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::string path = dir_ + "/" + name;
    FILE* f = fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    if (!bytes.empty()) {
      EXPECT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    }
    fclose(f);
    files_.push_back(path);
    return path;
  }

  // Runs `binary` with `args`, standard output and error into files.
  Outcome Exec(const char* binary, const std::vector<std::string>& args) {
    std::string out = dir_ + "/out", err = dir_ + "/err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> argv = {const_cast<char*>(binary)};
    for (const std::string& a : args) {
      argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    Outcome run = {false, -1, "", ""};
    int rc = posix_spawn(&pid, binary, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(rc, 0) << binary;
    int status = 0;
    if (rc == 0 && waitpid(pid, &status, 0) == pid) {
      run.exited = WIFEXITED(status);
      run.code = run.exited ? WEXITSTATUS(status) : -WTERMSIG(status);
    }
    run.out = Slurp(out);
    run.err = Slurp(err);
    return run;
  }

  // Expects exit 2, no standard output and exactly one error line, naming the
  // file and giving `reason` (when not empty); from both builds.
  void ExpectRejected(const std::string& path, const std::string& reason, bool bothBuilds = true) {
    std::vector<const char*> binaries = {QI_CHECK_ASAN_BINARY};
    if (bothBuilds) {
      binaries.push_back(QI_CHECK_BINARY);
    }
    for (const char* binary : binaries) {
      Outcome r = Exec(binary, {path});
      ASSERT_TRUE(r.exited) << binary << " ended by signal " << -r.code << "\n" << r.err;
      EXPECT_EQ(r.code, 2) << binary << "\n" << r.err;
      EXPECT_EQ(r.out, "") << binary;
      std::string prefix = "quorvel-check: " + path + ": ";
      if (reason.empty()) {
        EXPECT_EQ(r.err.rfind(prefix, 0), 0u) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
      } else {
        EXPECT_EQ(r.err, prefix + reason + "\n") << binary;
      }
    }
  }

  std::string dir_;
  std::vector<std::string> files_;
};

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& l : lines) {
    text += l + "\n";
  }
  return text;
}

TEST_F(CheckCommand, AllOriginalExitsZeroWithTheFullReport) {
  std::string path = Write("VHud.asi", Build());
  for (const char* binary : {QI_CHECK_BINARY, QI_CHECK_ASAN_BINARY}) {
    Outcome r = Exec(binary, {path});
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.code, 0) << binary;
    EXPECT_EQ(r.err, "") << binary;
    EXPECT_EQ(r.out, Joined(AllOriginalReport(path))) << binary;
  }
}

// One altered site: exit 1, its exact log line, the other patches still in.
struct Alteration {
  const char* name;
  uint32_t rva;
  uint8_t value;
  std::string logLine;
  std::string resultLine;
};

TEST_F(CheckCommand, EverySiteAlteredExitsOneWithItsLogLine) {
  const std::string one = "result: 1 of 3 patches would be skipped";
  std::vector<Alteration> cases = {
      {"static", kRotateSite, 0x90,
       "[WHEEL][ERR] expected CALL opcode not found; static wheel patch skipped", one},
      {"static-target", kRotateSite + 1, 0xE4,
       "[WHEEL][ERR] unexpected RotateVertices target=0x10050291 expected=0x10050290", one},
      {"spacing", kSpacingSite + 8, 0xFE,
       "[WHEEL][ERR] content-offset signature mismatch; spacing patch skipped", one},
  };
  for (const CentreSite& s : kCentreSites) {
    cases.push_back({s.label, s.offset + 3, 0x04,
                     std::string("[WHEEL][ERR] centre-text signature mismatch at ") + s.label,
                     one});
  }
  for (const Alteration& c : cases) {
    std::vector<uint8_t> file = Build();
    file.at(WheelFileOffset(c.rva)) = c.value;
    std::string path = Write(std::string(c.name) + ".asi", file);
    Outcome r = Exec(QI_CHECK_BINARY, {path});
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.code, 1) << c.name;
    EXPECT_EQ(r.err, "") << c.name;
    EXPECT_NE(r.out.find("\n  log: " + c.logLine + "\n"), std::string::npos) << c.name << r.out;
    EXPECT_NE(r.out.find("\n" + c.resultLine + "\n"), std::string::npos) << c.name;
    EXPECT_EQ(r.out.find("\n  log: [WHEEL][ERR]"), r.out.rfind("\n  log: [WHEEL][ERR]"))
        << c.name << ": exactly one error line";
  }
}

TEST_F(CheckCommand, ImageTooSmallForTheRadarExitsOne) {
  std::string path = Write("small.asi", Build(kDefaultBase, 0x1049E32));
  Outcome r = Exec(QI_CHECK_BINARY, {path});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("\nresult: all 3 patches would go in, but the radar and wheel bytes lie "
                       "past the image\n"),
            std::string::npos);
}

TEST_F(CheckCommand, UsageAndHelp) {
  const std::string usage =
      "usage: quorvel-check [PATH-TO-VHud.asi] [--log PATH-TO-Quorvel_Icons.log]\n"
      "       quorvel-check --game GAME-FOLDER\n";
  // --game goes alone, and takes a folder: never a VHud.asi, nor one beside it.
  for (const std::vector<std::string>& args : {std::vector<std::string>{},
                                               {"a", "b"},
                                               {""},
                                               {"-x"},
                                               {"--verbose"},
                                               {"--game"},
                                               {"--game", ""},
                                               {"--game", dir_, "VHud.asi"},
                                               {"VHud.asi", "--game", dir_},
                                               {"--game", dir_, "--log", "x.log"},
                                               {"--game", Write("VHud.asi", Build())}}) {
    Outcome r = Exec(QI_CHECK_BINARY, args);
    EXPECT_EQ(r.code, 64);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, usage);
  }
  Outcome r = Exec(QI_CHECK_BINARY, {"--help"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out.rfind(usage, 0), 0u);
  EXPECT_EQ(r.err, "");
}

TEST_F(CheckCommand, MissingFileAndDirectoryGiveOneLineAndExitTwo) {
  ExpectRejected(dir_ + "/absent.asi", "cannot open: No such file or directory");
  ASSERT_EQ(mkdir((dir_ + "/sub").c_str(), 0700), 0);
  ExpectRejected(dir_ + "/sub", "read error: Is a directory");
  ExpectRejected(Write("empty.asi", {}), "too short for a DOS header (0 bytes)");
}

TEST_F(CheckCommand, EveryTruncationThroughTheHeadersAndSamplesBeyondAreRejected) {
  const std::vector<uint8_t> full = Build();
  std::string path = dir_ + "/cut.asi";
  files_.push_back(path);
  std::vector<uint32_t> lengths;
  for (uint32_t n = 0; n <= kHeadersEnd; ++n) {
    lengths.push_back(n);
  }
  for (uint32_t n : {0x201u, 0x1000u, 0x21FFu, 0x2200u, 0x23FFu}) {
    lengths.push_back(n);
  }
  const std::string prefix = "quorvel-check: " + path + ": ";
  for (uint32_t n : lengths) {
    Write("cut.asi", std::vector<uint8_t>(full.begin(), full.begin() + n));
    const char* argv[] = {"quorvel-check", path.c_str()};
    const check::CommandOutput r = check::RunCommand(2, argv);
    EXPECT_EQ(r.exitCode, 2) << "length " << n;
    EXPECT_EQ(r.out, "") << "length " << n;
    EXPECT_EQ(r.err.rfind(prefix, 0), 0u) << "length " << n << ": " << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "length " << n << ": " << r.err;
    // One length for each reason the reader gives, as real processes of both
    // builds: the same one line, exit 2.
    if (n == 0 || n == 0x80 || n == 0x100 || n == 0x180 || n == kHeadersEnd - 1 || n == 0x21FF ||
        n == 0x23FF) {
      ExpectRejected(path, r.err.substr(prefix.size(), r.err.size() - prefix.size() - 1));
    }
    if (HasFailure()) {
      FAIL() << "length " << n;
    }
  }
}

TEST_F(CheckCommand, CorruptedFieldsAreRejectedWithTheirReason) {
  struct Case {
    const char* name;
    uint32_t at;
    uint32_t value;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"lfanew-negative", 0x3C, 0x80000000, "e_lfanew 0x80000000 points past the end of the file"},
      {"lfanew-huge", 0x3C, 0xFFFFFFF0, "e_lfanew 0xFFFFFFF0 points past the end of the file"},
      {"lfanew-range", 0x3C, 0x23F0, "e_lfanew 0x000023F0 points past the end of the file"},
      {"sections-huge", kNumberOfSections, 0xFFFF, "too many sections (65535, at most 96)"},
      {"raw-pointer", SectionField(1, kRawPointer), 0xFFFFF000,
       "section 2 (.wheel): raw data 0xFFFFF000+0x00002000 runs past the end of the file"},
      {"raw-size", SectionField(1, kRawSize), 0x7FFFFFFF,
       "section 2 (.wheel): raw data 0x00000200+0x7FFFFFFF runs past the end of the file"},
      {"virtual-address", SectionField(2, kVirtualAddress), 0x7FFFF000,
       "section 3 (.data): virtual range 0x7FFFF000+0x00FDD000 lies beyond SizeOfImage "
       "0x0104A000"},
      {"size-tiny", kSizeOfImage, 0x10,
       "SizeOfImage 0x00000010 is smaller than SizeOfHeaders 0x00000200"},
      {"size-huge", kSizeOfImage, 0xF0000000,
       "SizeOfImage 0xF0000000 exceeds the limit of 0x04000000"},
      {"optional-size", kSizeOfOptionalHeader, 0x10,
       "optional header too small (SizeOfOptionalHeader 0x00000010)"},
      {"optional-size-huge", kSizeOfOptionalHeader, 0xFFFF,
       "optional header runs past the end of the file"},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> file = Build();
    if (c.at == kNumberOfSections || c.at == kSizeOfOptionalHeader) {
      Put16(file, c.at, c.value);
    } else {
      Put32(file, c.at, c.value);
    }
    ExpectRejected(Write(std::string(c.name) + ".asi", file), c.reason);
  }
}

TEST_F(CheckCommand, FileOverTheSizeLimitIsRejected) {
  std::string path = Write("big.asi", Build());
  ASSERT_EQ(truncate(path.c_str(), (256 << 20) + 1), 0);  // sparse
  ExpectRejected(path, "file larger than 256 MiB");
  // The limit itself, on a regular file and on a stream of unknown length.
  const size_t limit = 1u << 20;
  std::vector<uint8_t> data;
  std::string error;
  ASSERT_EQ(truncate(path.c_str(), limit), 0);
  EXPECT_TRUE(check::ReadWholeFile(path.c_str(), limit, &data, &error)) << error;
  EXPECT_EQ(data.size(), limit);
  ASSERT_EQ(truncate(path.c_str(), limit + 1), 0);
  data.clear();
  EXPECT_FALSE(check::ReadWholeFile(path.c_str(), limit, &data, &error));
  EXPECT_EQ(error, "file larger than 1 MiB");
  data.clear();
  error.clear();
  EXPECT_FALSE(check::ReadWholeFile("/dev/zero", limit, &data, &error));
  EXPECT_EQ(error, "file larger than 1 MiB");
}

}  // namespace
