// The stand-in game's view of the plug-in worker's passes. The worker ends
// every attempt and every pass with one Sleep call, which it resolves at
// attach through kernel32's export table. So before the plug-in is loaded
// the game, as the host process, points that table's entry for Sleep at a
// counting wrapper: each call then marks the end of one worker pass, and
// "patched again within one pass" can be judged by passes instead of by the
// clock of a machine of some speed.
#pragma once

#include <stdint.h>

namespace standin {

// Points kernel32's export of Sleep at the counting wrapper (once; later
// calls do nothing). The game's own Sleep, bound by its import table at
// load, is not counted. False when the table could not be changed or would
// not lead to the wrapper the way the plug-in reads it.
bool CountWorkerSleeps();

// How many worker sleeps have begun so far: the worker's passes (and
// first-phase attempts) ended.
uint32_t WorkerSleepsBegun();

// An action run on the worker's thread at the end of each of its sleeps,
// right before its next pass (null: none); setting one starts its count
// afresh. SleepEndActionsRun: how many times the action ran since.
typedef void (*SleepEndAction)();
void SetSleepEndAction(SleepEndAction action);
uint32_t SleepEndActionsRun();

// One range of bytes that the plug-in is expected to write again.
struct WatchedRange {
  uintptr_t address;
  uint32_t length;  // at most 16
  uint8_t bytes[16];
};

// Starts a watch (replacing the last one): from now on, at the start of each
// worker sleep, each range not yet found holding its bytes is looked at.
// Begin it right after the ranges were undone, from the game's thread.
void WatchWorkerPasses(const WatchedRange* ranges, uint32_t count);

// Whether the worker was inside a sleep when the watch began (otherwise it
// was in the middle of a pass, or had not slept yet).
bool WatchBeganInSleep();

// The worker pass after which range `index` was first found holding its
// bytes: 1 for the first whole pass after the watch began, 0 for the pass
// that was under way then, -1 while not found.
int32_t PassFound(uint32_t index);

}  // namespace standin
