// quorvel-check started from Explorer (Windows build only): double-clicked,
// it has no argument and checks the install in the folder it lies in;
// double-clicked or given a file by drag-and-drop, it runs in a console
// window of its own that closes when it ends, so it waits for Enter first.
#pragma once

#include <string>
#include <vector>

namespace check {

// The program's arguments as UTF-8, read from the wide command line.
std::vector<std::string> WideArguments();

// The game folder to check without arguments: quorvel-check.exe's own
// folder, or the current folder when only that one holds a VHud.asi (both
// searched as the install check searches).
std::string GameFolderNearby();

// Console output taken as UTF-8, the encoding of the report's names, until
// RestoreConsole gives a shared console (a command prompt's) its own back.
void UseUtf8Console();
void RestoreConsole();

// True when no other process shares this process's console: Explorer (or
// any parent without a console) started it in a console of its own.
bool OwnsConsole();

// Prints "Press Enter to close" and reads standard input up to the first
// line end (or its end, or an error).
void WaitForEnter();

}  // namespace check
