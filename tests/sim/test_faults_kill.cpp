// The log when the process is killed: every line the plug-in wrote before
// a kill is in the file.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "faults_run.h"
#include "sim/sim.h"
#include "standin/game_image.h"
#include "standin/sim_world.h"
#include "state/plugin_state.h"

namespace faults {
namespace {

// The child reports every completed WriteFile through a pipe: a 4-byte
// length, then the bytes.
int gReportPipe = -1;
int32_t QI_STDCALL ReportingWriteFile(Handle file, const void* data, uint32_t count,
                                      uint32_t* written, void* overlapped) {
  int32_t result = reinterpret_cast<WriteFileFn>(sim::StandIn("WriteFile"))(file, data, count,
                                                                            written, overlapped);
  uint8_t message[512];
  uint32_t n = count < sizeof(message) - 4 ? count : sizeof(message) - 4;
  memcpy(message, &n, 4);
  memcpy(message + 4, data, n);
  ssize_t ignored = write(gReportPipe, message, 4 + n);
  (void)ignored;
  return result;
}

// Reads exactly n bytes, waiting at most 10 s for each piece.
bool ReadFull(int fd, void* out, size_t n) {
  uint8_t* p = static_cast<uint8_t*>(out);
  while (n > 0) {
    struct pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, 10000) <= 0) return false;
    ssize_t got = read(fd, p, n);
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

void SendWorkDir(int fd) {
  std::string dir = sim::WorkDir();
  uint32_t n = static_cast<uint32_t>(dir.size()) | 0x80000000u;
  std::string message(reinterpret_cast<const char*>(&n), 4);
  message += dir;
  ssize_t ignored = write(fd, message.data(), message.size());
  (void)ignored;
}

[[noreturn]] void RunChild(int reportPipe) {
  gReportPipe = reportPipe;
  FaultRun run;
  SendWorkDir(reportPipe);
  run.Replace("WriteFile", reinterpret_cast<uintptr_t>(&ReportingWriteFile));
  run.Attach();
  run.Release();
  // Frames whose visibility state changes on every frame: one line each.
  for (uint32_t i = 0;; ++i) {
    standin::SetMenuActive(i & 1);
    standin::RunHudFrame();
  }
}

TEST(Faults, EveryLineWrittenBeforeAKillIsInTheLog) {
  sim::Reset();
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(fds[0]);
      RunChild(fds[1]);
    }
    close(fds[1]);
    // Let the child write a few hundred texts, then kill it mid-stream; read
    // what it reported until the pipe closes.
    std::string dir;
    std::string reported;
    uint32_t texts = 0;
    const uint32_t killAt = 200 + 150 * static_cast<uint32_t>(round);
    bool killed = false;
    for (;;) {
      uint32_t n = 0;
      if (!ReadFull(fds[0], &n, 4)) break;
      std::string chunk(n & 0x7FFFFFFFu, '\0');
      if (!ReadFull(fds[0], chunk.data(), chunk.size())) break;
      if ((n & 0x80000000u) != 0) {
        dir = chunk;
        continue;
      }
      reported += chunk;
      if (++texts == killAt && !killed) {
        kill(child, SIGKILL);
        killed = true;
      }
    }
    close(fds[0]);
    if (!killed) kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(killed) << "the child reported only " << texts << " texts";
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    ASSERT_FALSE(dir.empty());
    std::string file;
    {
      std::ifstream in(dir + "/Quorvel_Icons.log", std::ios::binary);
      std::ostringstream all;
      all << in.rdbuf();
      file = all.str();
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    // Everything reported is in the file, in order; at most the one line
    // (text and line end, one write) that the child wrote but could not
    // report follows.
    ASSERT_GE(file.size(), reported.size());
    EXPECT_EQ(reported, file.substr(0, reported.size()));
    std::string rest = file.substr(reported.size());
    EXPECT_TRUE(rest.empty() || rest == std::string(kMenu) + "\r\n" ||
                rest == std::string(kAllowed) + "\r\n")
        << "after the reported lines: " << rest;
  }
}

}  // namespace
}  // namespace faults
