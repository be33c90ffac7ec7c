// The log file: one write per line, flushed at once; bounded text building.
#pragma once

#include <stdint.h>

void LogWrite(const char* text);
// A whole line: the text and "\r\n" in one write, then one flush.
void LogLine(const char* text);
void AppendText(char* buffer, const char* text, uint32_t capacity);
void AppendHex(char* buffer, uint32_t value, uint32_t capacity);

// Writes every text as a line when *reported is 0, then sets it; a set flag
// silences the report.
void ReportOnce(uint8_t* reported, const char* first, const char* second);
