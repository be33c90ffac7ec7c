// The stand-in VHud's weapon wheel: hand-emitted x86 code at the offsets of
// VHud's wheel sites, RotateVertices, and the wheel drawing that runs them.
//
//   +0x50290  RotateVertices: E9 rel32 into StandinRotateVertices (cdecl).
//   +0x6BBD7  slot layout: CMP EAX, ESI; then VHud's nine bytes at +0x6BBD9
//             (MOV EDI, [EDX+44h]; LEA ECX, [EBP-3F5Ch]); at +0x6BBE2 a jump
//             into capture code that records the whole processor state and
//             returns to the driver that entered the layout.
//   +0x6C499 ...  six centre-text routines float f(float), each with its SSE
//             scalar add or subtract at VHud's site offset.
//   +0x6CD87  per-slot routine: calls RotateVertices with the E8 at +0x6CDA8.
//   +0x6CF00  VHud's own centre-text constants (six floats).
//
// Builder code is portable: it writes into memory already mapped writable
// and maps nothing itself. The layout of SpacingInput and SpacingCapture is
// shared with the driver in vhud_wheel_spacing.S.
#pragma once

// ---- Layout shared with the assembly driver -------------------------------
#define STANDIN_SI_EAX 0
#define STANDIN_SI_EBX 4
#define STANDIN_SI_ECX 8
#define STANDIN_SI_EDX 12
#define STANDIN_SI_ESI 16
#define STANDIN_SI_EDI 20
#define STANDIN_SI_CONTENT_X 24
#define STANDIN_SI_AMMO_X 28
#define STANDIN_SI_ESP_MOD16 32
#define STANDIN_SI_DIRECTION 36
#define STANDIN_SI_FPU_CONTROL 40
#define STANDIN_SI_MXCSR 44
#define STANDIN_SI_X87_COUNT 48
#define STANDIN_SI_X87 64
#define STANDIN_SI_XMM 192
#define STANDIN_SI_SIZE 320

#define STANDIN_SC_EAX 0
#define STANDIN_SC_EBX 4
#define STANDIN_SC_ECX 8
#define STANDIN_SC_EDX 12
#define STANDIN_SC_ESI 16
#define STANDIN_SC_EDI 20
#define STANDIN_SC_EBP 24
#define STANDIN_SC_ESP 28
#define STANDIN_SC_EFLAGS 32
#define STANDIN_SC_CONTENT_X 36
#define STANDIN_SC_AMMO_X 40
#define STANDIN_SC_SITE_ESP 44
#define STANDIN_SC_SITE_EBP 48
#define STANDIN_SC_FX 64
#define STANDIN_SC_SIZE 576

// Frame offsets of the two x positions, as VHud's layout addresses them.
#define STANDIN_CONTENT_X_FRAME 0x3F14
#define STANDIN_AMMO_X_FRAME 0x3F28

#ifndef __ASSEMBLER__

#include <stdint.h>

namespace standin {

// Offsets inside VHud's image.
constexpr uint32_t kWheelRotateVertices = 0x50290;
constexpr uint32_t kWheelSpacingEntry = 0x6BBD7;
constexpr uint32_t kWheelSpacingSite = 0x6BBD9;
constexpr uint32_t kWheelSpacingResume = 0x6BBE2;
constexpr uint32_t kWheelSlotRoutine = 0x6CD87;
constexpr uint32_t kWheelRotateCall = 0x6CDA8;
constexpr uint32_t kWheelConstants = 0x6CF00;
// The centre-text sites in the order name-y, name-x, count-y, count-x,
// arrow-y, extra-x; each routine starts six bytes before its site.
constexpr uint32_t kCentreTextSiteOffsets[6] = {0x6C49F, 0x6C4CE, 0x6C55F,
                                                0x6C590, 0x6C65F, 0x6C8A1};
constexpr uint8_t kCentreTextOperations[6] = {0x5C, 0x58, 0x5C, 0x58, 0x5C, 0x58};
// VHud's own constants, read by the six sites before they are re-pointed.
constexpr float kCentreTextConstants[6] = {30.0f, 12.0f, 18.0f, 14.0f, 9.0f, 16.0f};
// Every byte range the wheel builder writes, [begin, end) offsets.
struct ByteRange {
  uint32_t begin;
  uint32_t end;
};
constexpr ByteRange kWheelRanges[] = {
    {0x50290, 0x50295}, {0x6BBD7, 0x6BBE7}, {0x6C499, 0x6C4B2}, {0x6C4C8, 0x6C4E1},
    {0x6C559, 0x6C572}, {0x6C58A, 0x6C5A3}, {0x6C659, 0x6C672}, {0x6C89B, 0x6C8B4},
    {0x6CD87, 0x6CDE5}, {0x6CF00, 0x6CF18},
};

// The eight slots of the wheel and its centre, in design units.
constexpr float kWheelCentreX = 960.0f;
constexpr float kWheelCentreY = 540.0f;
// The slot angles -pi - k*pi/4, rounded to single precision.
constexpr float kWheelAngles[8] = {
    static_cast<float>(-3.14159265358979323846 - 0 * 0.78539816339744830962),
    static_cast<float>(-3.14159265358979323846 - 1 * 0.78539816339744830962),
    static_cast<float>(-3.14159265358979323846 - 2 * 0.78539816339744830962),
    static_cast<float>(-3.14159265358979323846 - 3 * 0.78539816339744830962),
    static_cast<float>(-3.14159265358979323846 - 4 * 0.78539816339744830962),
    static_cast<float>(-3.14159265358979323846 - 5 * 0.78539816339744830962),
    static_cast<float>(-3.14159265358979323846 - 6 * 0.78539816339744830962),
    static_cast<float>(-3.14159265358979323846 - 7 * 0.78539816339744830962),
};
// x positions of each slot's contents (background and weapon image) and of
// its ammo text as VHud's layout works them out, before the spacing site.
constexpr float kSlotContentX[8] = {960.0f, 830.0f,  780.0f,  830.0f,
                                    960.0f, 1090.0f, 1140.0f, 1090.0f};
constexpr float kSlotAmmoX[8] = {975.5f, 845.5f, 795.5f, 845.5f, 975.5f, 1105.5f, 1155.5f, 1105.5f};
// Positions that RunVhudWheel passes to the six centre-text routines.
constexpr float kCentreTextInputs[6] = {500.0f, 960.0f, 600.0f, 960.0f, 700.0f, 960.0f};

// VHud's WheelQuad: four corners, each x then y.
struct Quad {
  float v[8];
};

// The unrotated quad of every slot: a 120 x 80 rectangle centred 250 below
// the wheel centre.
Quad SlotStartQuad();

// ---- The slot-layout driver -------------------------------------------------
// The state the layout code runs with at VHud+0x6BBD7. The comparison there
// (CMP EAX, ESI) sets the flags; `direction` sets DF beforehand.
struct alignas(16) SpacingInput {
  uint32_t eax, ebx, ecx, edx, esi, edi;
  float contentX;       // stored at EBP - 0x3F14
  float ammoX;          // stored at EBP - 0x3F28
  uint32_t espMod16;    // ESP modulo 16 at the layout code (0 to 15)
  uint32_t direction;   // non-zero: DF set
  uint32_t fpuControl;  // x87 control word (low 16 bits)
  uint32_t mxcsr;
  uint32_t x87Count;  // 0 to 8 values pushed: x87[0] ends up as ST(0)
  uint32_t pad[3];
  uint8_t x87[8][16];  // 80-bit values in the first 10 bytes of each
  uint8_t xmm[8][16];
};
static_assert(sizeof(SpacingInput) == STANDIN_SI_SIZE, "layout shared with the driver");

// The state captured when VHud's code reaches +0x6BBE2, and where the driver
// put the stack and the frame base.
struct alignas(16) SpacingCapture {
  uint32_t eax, ebx, ecx, edx, esi, edi, ebp, esp, eflags;
  float contentX;    // the float at EBP - 0x3F14 at capture
  float ammoX;       // the float at EBP - 0x3F28 at capture
  uint32_t siteEsp;  // ESP as the driver entered the layout code
  uint32_t siteEbp;  // the frame base the driver set up
  uint32_t pad[3];
  uint8_t fx[512];  // FXSAVE image at capture (x87, MXCSR, XMM)
};
static_assert(sizeof(SpacingCapture) == STANDIN_SC_SIZE, "layout shared with the driver");

// Runs VHud's slot layout from +0x6BBD7 with the given state and returns the
// state captured at +0x6BBE2. One thread at a time.
SpacingCapture RunSpacingLayout(uintptr_t base, const SpacingInput& input);

// Views of an FXSAVE image.
uint16_t FxControl(const SpacingCapture& c);
uint16_t FxStatus(const SpacingCapture& c);
uint32_t FxDepth(const SpacingCapture& c);  // valid x87 registers
uint32_t FxMxcsr(const SpacingCapture& c);
const uint8_t* FxStack(const SpacingCapture& c, uint32_t i);  // ST(i), 10 bytes
const uint8_t* FxXmm(const SpacingCapture& c, uint32_t i);    // 16 bytes

// EFLAGS bits that CMP EAX, ESI sets (CF PF AF ZF SF OF) for these values.
uint32_t CompareFlags(uint32_t eax, uint32_t esi);
constexpr uint32_t kArithmeticFlags = 0x8D5;
constexpr uint32_t kDirectionFlag = 0x400;

// Whether the captured state is what VHud's nine bytes leave when run with
// `input`, the two x positions aside: EDI the word at EDX + 0x44, ECX
// EBP - 0x3F5C, and everything else as set up. Bit per item that differs
// (0 when the contract is kept): 1 EAX, 2 EBX, 4 ECX, 8 EDX, 16 ESI, 32 EDI,
// 64 EBP, 128 ESP, 256 flags, 512 x87 control/status/depth/contents,
// 1024 MXCSR, 2048 XMM.
uint32_t SpacingStateDiff(const SpacingInput& input, const SpacingCapture& capture);

// The processor state VHud's slot layout runs with for slot k while the
// wheel is drawn, with the slot's content and ammo x positions.
SpacingInput SlotLayoutInput(uint32_t k, float contentX, float ammoX);

// ---- The wheel ----------------------------------------------------------------
constexpr uint32_t kSlotRecordWord = 0x0A770000;  // word at +0x44 of slot k: this + k

// What one run of the wheel drawing produced.
struct WheelRecord {
  uint32_t runs;              // RunVhudWheel calls
  uint32_t rotateCalls;       // calls of RotateVertices (any caller)
  uint32_t slotFaults;        // bit k: slot k's call broke the calling contract
  uint32_t spacingFaults[8];  // SpacingStateDiff of each slot's layout
  Quad slotQuads[8];          // each slot's quad after the per-slot routine
  float slotContentX[8];      // background and weapon x after the layout
  float slotAmmoX[8];         // ammo text x after the layout
  uint32_t slotEdi[8];        // EDI and ECX after the layout
  uint32_t slotEcx[8];
  float centreText[6];  // results of the six centre-text routines
};

// Writes the wheel's code and constants into the image and clears the record.
void BuildVhudWheel(uintptr_t base);
// VHud's wheel drawing: lays out the eight slots (per-slot routine, then the
// slot layout through the spacing site) and places the six centre texts,
// recording every result.
void RunVhudWheel(uintptr_t base);
WheelRecord* VhudWheelRecord();
void ClearVhudWheelRecord();

// Addresses inside the built image.
uintptr_t SlotRoutineAddress(uintptr_t base);
uintptr_t CentreTextRoutineAddress(uintptr_t base, uint32_t index);
uintptr_t CentreTextConstantAddress(uintptr_t base, uint32_t index);

typedef uint32_t(__attribute__((cdecl)) * SlotRoutineFn)(Quad* quad, float centreX, float centreY,
                                                         float angle);
typedef float(__attribute__((cdecl)) * CentreTextFn)(float position);

// One slot through VHud's per-slot routine: 0 when the call of RotateVertices
// kept the calling contract (callee-saved registers and the stack).
uint32_t RunSlotRoutine(uintptr_t base, Quad* quad, float centreX, float centreY, float angle);
float RunCentreText(uintptr_t base, uint32_t index, float position);

}  // namespace standin

extern "C" {
// VHud's RotateVertices: turns the quad's four corners about (centreX,
// centreY) by `angle` radians, in single precision. Counts its calls.
void __attribute__((cdecl))
StandinRotateVertices(standin::Quad* quad, float centreX, float centreY, float angle);
// The same rotation without counting, for computing expected quads.
void __attribute__((cdecl))
StandinRotateQuad(standin::Quad* quad, float centreX, float centreY, float angle);
const standin::WheelRecord* StandinWheelRecord();
}

#endif  // __ASSEMBLER__
