// standin_explorer.exe: starts a console program the way Windows Explorer
// does (double-click, drag-and-drop: a console of its own) or the way a
// command prompt does (the child shares the caller's console), with standard
// input read from a file and standard output and error written to one file.
//
//   standin_explorer.exe own|shared INPUT OUTPUT COMMAND-LINE
//
// Prints "exit N" (the child's exit code) and "input read to byte P": how
// far the child read INPUT (the file position the two processes share), so
// that a test can tell, without any timing, whether the child waited for a
// line and took no more than it. Exits 0, or 2 when the child cannot start.
#include <stdio.h>
#include <string.h>
#include <windows.h>

int main(int argc, char** argv) {
  if (argc != 5 || (strcmp(argv[1], "own") != 0 && strcmp(argv[1], "shared") != 0)) {
    fprintf(stderr, "usage: standin_explorer own|shared INPUT OUTPUT COMMAND-LINE\n");
    return 2;
  }
  const bool own = strcmp(argv[1], "own") == 0;
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE input = CreateFileA(argv[2], GENERIC_READ, FILE_SHARE_READ, &inherit, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE output = CreateFileA(argv[3], GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (input == INVALID_HANDLE_VALUE || output == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "standin_explorer: cannot open %s or %s\n", argv[2], argv[3]);
    return 2;
  }
  // A command prompt's child is attached to the prompt's console: this
  // process leaves whatever console it was started in, takes one of its own,
  // and the child inherits it.
  if (!own) {
    FreeConsole();
    if (!AllocConsole()) {
      fprintf(stderr, "standin_explorer: AllocConsole failed (%lu)\n", GetLastError());
      return 2;
    }
  }
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = output;
  startup.hStdError = output;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(nullptr, argv[4], nullptr, nullptr, TRUE, own ? CREATE_NEW_CONSOLE : 0,
                      nullptr, nullptr, &startup, &process)) {
    fprintf(stderr, "standin_explorer: cannot start %s (%lu)\n", argv[4], GetLastError());
    return 2;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  LARGE_INTEGER zero = {}, position = {};
  SetFilePointerEx(input, zero, &position, FILE_CURRENT);
  printf("exit %lu\ninput read to byte %lld\n", code, position.QuadPart);
  return 0;
}
