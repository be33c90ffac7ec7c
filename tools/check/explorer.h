// quorvel-check started from Explorer (Windows build only): double-clicked,
// it has no argument and checks the VHud.asi it lies beside, then explains
// the Quorvel_Icons.log there; double-clicked or given a file by
// drag-and-drop, it runs in a console window of its own
// that closes when it ends, so it waits for Enter first.
#pragma once

#include <string>

namespace check {

// The file `name` in quorvel-check.exe's own folder, else in the current
// folder. Returns true with its full path in *path; otherwise false with a
// message naming the folders looked in.
bool FindNearby(const char* name, std::string* path, std::string* error);

// True when no other process shares this process's console: Explorer (or
// any parent without a console) started it in a console of its own.
bool OwnsConsole();

// Prints "Press Enter to close" and reads standard input up to the first
// line end (or its end, or an error).
void WaitForEnter();

}  // namespace check
