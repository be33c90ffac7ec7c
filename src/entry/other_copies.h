// Other copies of the plug-in in this process, known by their mark or as
// 1.0.0 copies (platform/copy_mark.h). Of several copies, the first to be
// attached runs; every later one stays inert.
#pragma once

// Whether the loader lists a copy other than this one whose entry point it
// has called. Walks the list under the loader's lock when ntdll offers it;
// at attach the loader's thread holds it anyway.
bool AnotherCopyRuns();

// The worker's look at every pass: names each other copy it finds once in
// the log, by its base name in the loader list.
void NameOtherCopies();
