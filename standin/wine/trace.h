// The stand-in game's trace: JSON lines, one object per line, each with its
// "event" and the milliseconds since start in "t_ms", then its fields in the
// order they were set. Addresses, sizes and float bit patterns are "0x" and
// eight hex digits; floats are also given as decimal numbers. Text is taken
// byte by byte (as Latin-1), as the plug-in's log is single-byte text.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <nlohmann/json.hpp>

namespace game {

using Json = nlohmann::ordered_json;

// The clock of "t_ms"; started once, first thing.
void StartClock();
double Milliseconds();

// Where records go: stdout unless a file is opened. A record emitted after
// CloseTrace goes nowhere.
bool OpenTrace(const char* path);
void CloseTrace();

// {"event": name, "t_ms": now}.
Json Event(const char* name);
void Emit(const Json& record);
// Writes the reason to stderr and as an "error" record, and ends the process.
[[noreturn]] void Fail(int code, const char* what);

Json Hex(uint32_t value);
Json HexArray(const uint32_t* values, uint32_t count);
// What "%.9g" makes of the float (nine digits give the same float back):
// whole numbers as integers, null for an infinity or a NaN.
Json Decimal(float value);
Json DecimalArray(const float* values, uint32_t count);
// A time rounded to `digits` decimals.
Json Fixed(double value, int digits);
Json Text(const char* bytes, size_t length);
Json Text(const char* text);

uint32_t Bits(float value);
float FromBits(uint32_t bits);

}  // namespace game
