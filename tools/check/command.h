// The quorvel-check command without the process around it: the arguments in,
// what it prints to standard output and standard error and its exit code out.
// main.cpp only writes the two texts out; tests run the command in-process.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace check {

struct CommandOutput {
  int exitCode = 0;
  std::string out;  // standard output
  std::string err;  // standard error
};

// argv[0] is the program's name, as in main.
CommandOutput RunCommand(int argc, const char* const* argv);

// Files beyond this cannot be a VHud image worth mapping.
constexpr size_t kMaxFileSize = 256u << 20;

// Reads the whole file at `path`. A regular file larger than `limit` bytes
// is refused before reading; anything else (a pipe, a device) is refused
// once more than `limit` bytes have come. False with a one-line reason.
bool ReadWholeFile(const char* path, size_t limit, std::vector<uint8_t>* data, std::string* error);

// The VHud check of the file at `path`: its report appended to result->out,
// or its one error line to result->err; result->exitCode raised to its own.
void CheckVHud(const char* path, CommandOutput* result);

// The explanation of the log at `path`, appended the same way.
void ExplainLogFile(const char* path, CommandOutput* result);

}  // namespace check
