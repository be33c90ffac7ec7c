// The report of quorvel-check on the synthesized VHud.asi with every site
// original (vhud_file.h, default base and size), line by line.
#pragma once

#include <string>
#include <vector>

namespace vhudfile {

inline std::vector<std::string> AllOriginalReport(const std::string& path) {
  return {
      "file: " + path + " (9216 bytes)",
      "image: PE32 x86, ImageBase 0x10000000, SizeOfImage 0x0104A000, SizeOfHeaders 0x00000200, 3 "
      "sections",
      "  .text    0x00001000 to 0x0006B000, 0x00000000 bytes from the file",
      "  .wheel   0x0006B000 to 0x0006D000, 0x00002000 bytes from the file",
      "  .data    0x0006D000 to 0x0104A000, 0x00000200 bytes from the file",
      "load address assumed: 0x10000000 (the ImageBase); addresses in log lines follow VHud's real "
      "load address",
      "worker, on finding VHud:",
      "  build: 38 of 38 bytes at the known sites are the known VHud build's (more than half "
      "needed): recognised",
      "  log: [OK] VHud.asi base=0x10000000 size=0x0104A000",
      "",
      "size bounds (SizeOfImage 0x0104A000):",
      "  static-slot site        needs 0x0006CDAD  ok",
      "  slot-spacing site       needs 0x0006BBE2  ok",
      "  centre-text name-y      needs 0x0006C4A7  ok",
      "  centre-text name-x      needs 0x0006C4D6  ok",
      "  centre-text count-y     needs 0x0006C567  ok",
      "  centre-text count-x     needs 0x0006C598  ok",
      "  centre-text arrow-y     needs 0x0006C667  ok",
      "  centre-text extra-x     needs 0x0006C8A9  ok",
      "  radar and wheel bytes   needs 0x01049E33  ok",
      "",
      "static-slot patch: would go in",
      "  static-slot  +0x0006CDA8 (.wheel)     E8 E3 34 FE FF",
      "               would go in: CALL to VHud's RotateVertices 0x10050290",
      "  log: [WHEEL][OK] static-slot patch installed; original RotateVertices=0x10050290",
      "",
      "slot-spacing patch: would go in",
      "  slot-spacing +0x0006BBD9 (.wheel)     8B 7A 44 8D 8D A4 C0 FF FF",
      "               would go in: VHud's own two instructions; in place: 8B 7A 44 E9 <rel32 to "
      "SpacingCave> 90",
      "               writes E9 <rel32> 90 00 00 at +0x0006BBDC in one locked 8-byte "
      "compare-and-exchange (the last two as found)",
      "  log: [WHEEL][OK] horizontal slot-spacing patch installed (background + weapon + ammo) "
      "[TEST11]",
      "  log: [WHEEL][INFO] X offsets: 0,-62,-48,-62,0,+62,+48,+62; Y unchanged; content offsets "
      "use screen-height scaling too; ammo fine-tune: 0,+8,+10,+8,0,-8,-10,-8",
      "",
      "centre-text patch: would go in",
      "  name-y       +0x0006C49F (.wheel)     F3 0F 5C 05 00 CF 06 10",
      "               would go in: operand 0x1006CF00 re-pointed",
      "  name-x       +0x0006C4CE (.wheel)     F3 0F 58 05 04 CF 06 10",
      "               would go in: operand 0x1006CF04 re-pointed",
      "  count-y      +0x0006C55F (.wheel)     F3 0F 5C 05 08 CF 06 10",
      "               would go in: operand 0x1006CF08 re-pointed",
      "  count-x      +0x0006C590 (.wheel)     F3 0F 58 05 0C CF 06 10",
      "               would go in: operand 0x1006CF0C re-pointed",
      "  arrow-y      +0x0006C65F (.wheel)     F3 0F 5C 05 10 CF 06 10",
      "               would go in: operand 0x1006CF10 re-pointed",
      "  extra-x      +0x0006C8A1 (.wheel)     F3 0F 58 05 14 CF 06 10",
      "               would go in: operand 0x1006CF14 re-pointed",
      "  log: [WHEEL][OK] centre text patch installed (weapon name + counter + arrows) [TEST15]",
      "  log: [WHEEL][INFO] nameY=24, countY=-10, arrowY=-3, x=0 (design-space units)",
      "",
      "radar suppression and wheel test: available (radar byte +0x00155409, wheel byte "
      "+0x01049E32)",
      "once-only: each patch logs only its first outcome; of the centre-text sites only",
      "  the first failing one in table order, and success only when all six match.",
      "not foreseen: a VirtualProtect refusal in the game, which the plug-in logs.",
      "already in place: never, for a file: the plug-in's patches exist only in the",
      "  game's memory, pointing at plug-in code and floats that no file on disk holds.",
      "result: all 3 patches would go in",
  };
}

// Lines of the report on the other build (BuildOtherBuild), in order, after
// its exit code: nothing would change.
inline std::vector<std::string> OtherBuildReportLines() {
  return {
      "exit 1",
      "  build: 0 of 38 bytes at the known sites are the known VHud build's (more than half "
      "needed): another build",
      "  log: [OK] VHud.asi base=0x10000000 size=0x0104A000",
      "  log: [ERR] VHud.asi build not recognised; nothing patched",
      "static-slot patch: would be skipped",
      "               not tried: another build of VHud",
      "slot-spacing patch: would be skipped",
      "centre-text patch: would be skipped",
      "radar suppression and wheel test: off (no HUD hook)",
      "result: another build of VHud: the plug-in would change nothing in this VHud (no wheel "
      "patch, no HUD hook, no icons)",
  };
}

}  // namespace vhudfile
