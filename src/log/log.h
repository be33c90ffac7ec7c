// The log file: one write per line, flushed at once unless the HUD frame
// wrote it; bounded text building.
#pragma once

#include <stdint.h>

// Who writes a line. The HUD frame runs on the game's render thread, which
// never waits for the disk: its lines go to the system's file cache and are
// not flushed. Attach, the worker and detach flush each line at once.
enum class LogFrom : uint8_t { OtherThread, HudFrame };

// One text, then one flush.
void LogWrite(const char* text);
// A whole line: the text and "\r\n" in one write, then one flush unless the
// HUD frame wrote it.
void LogLine(const char* text, LogFrom from = LogFrom::OtherThread);
void AppendText(char* buffer, const char* text, uint32_t capacity);
void AppendHex(char* buffer, uint32_t value, uint32_t capacity);

// Writes every text as a line when *reported is 0, then sets it; a set flag
// silences the report.
void ReportOnce(uint8_t* reported, const char* first, const char* second,
                LogFrom from = LogFrom::OtherThread);
