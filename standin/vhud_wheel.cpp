#include "vhud_wheel.h"

extern "C" {
// vhud_wheel_spacing.S
void __attribute__((cdecl))
StandinSpacingDrive(const standin::SpacingInput* input, uintptr_t entry);
void StandinSpacingCapture();
extern standin::SpacingCapture StandinSpacingCaptureArea;
}

namespace standin {
namespace {

WheelRecord gWheel;

// The records VHud's layout code reads through EDX: word +0x44 of slot k.
uint32_t gSlotRecords[8][18];

// Values the per-slot routine keeps in the callee-saved registers across its
// call of RotateVertices.
constexpr uint32_t kKeepEbx = 0x5EB0C0DE;
constexpr uint32_t kKeepEsi = 0x5E51C0DE;
constexpr uint32_t kKeepEdi = 0x5ED1C0DE;

// ---- Byte emitter -------------------------------------------------------------
class Emitter {
 public:
  explicit Emitter(uintptr_t at) : at_(at) {}
  Emitter& B(uint8_t value) {
    *reinterpret_cast<volatile uint8_t*>(at_++) = value;
    return *this;
  }
  Emitter& D(uint32_t value) {
    for (int i = 0; i < 4; ++i) {
      B(static_cast<uint8_t>(value >> (8 * i)));
    }
    return *this;
  }
  // Displacement of a 5-byte relative CALL or JMP whose opcode was just
  // emitted.
  Emitter& Rel(uintptr_t target) { return D(static_cast<uint32_t>(target - (at_ + 4))); }
  uintptr_t At() const { return at_; }

 private:
  uintptr_t at_;
};

void Copy(void* out, const void* in, uint32_t size) {
  const uint8_t* s = static_cast<const uint8_t*>(in);
  uint8_t* d = static_cast<uint8_t*>(out);
  for (uint32_t i = 0; i < size; ++i) {
    d[i] = s[i];
  }
}

bool Same(const void* a, const void* b, uint32_t size) {
  const uint8_t* p = static_cast<const uint8_t*>(a);
  const uint8_t* q = static_cast<const uint8_t*>(b);
  for (uint32_t i = 0; i < size; ++i) {
    if (p[i] != q[i]) {
      return false;
    }
  }
  return true;
}

void Zero(void* memory, uint32_t size) {
  volatile uint8_t* p = static_cast<volatile uint8_t*>(memory);
  for (uint32_t i = 0; i < size; ++i) {
    p[i] = 0;
  }
}

// Sine and cosine from a reduction to [-pi, pi] and their series, in double
// precision. Odd and even exactly: sin(-a) is -sin(a), cos(-a) is cos(a).
void SinCos(float angle, float* sine, float* cosine) {
  const double kTwoPi = 6.283185307179586476925;
  double x = angle;
  double turns = x / kTwoPi;
  double whole = static_cast<double>(static_cast<int64_t>(turns + (turns < 0 ? -0.5 : 0.5)));
  x -= whole * kTwoPi;
  double x2 = x * x;
  double s = x;
  double c = 1.0;
  double st = x;
  double ct = 1.0;
  for (int n = 1; n <= 16; ++n) {
    st *= -x2 / ((2.0 * n) * (2.0 * n + 1.0));
    ct *= -x2 / ((2.0 * n - 1.0) * (2.0 * n));
    s += st;
    c += ct;
  }
  *sine = static_cast<float>(s);
  *cosine = static_cast<float>(c);
}

void Rotate(Quad* quad, float centreX, float centreY, float angle) {
  float s;
  float c;
  SinCos(angle, &s, &c);
  volatile float* v = quad->v;
  for (int i = 0; i < 4; ++i) {
    float dx = v[2 * i] - centreX;
    float dy = v[2 * i + 1] - centreY;
    float rx = dx * c - dy * s;
    float ry = dx * s + dy * c;
    v[2 * i] = centreX + rx;
    v[2 * i + 1] = centreY + ry;
  }
}

void BuildSlotRoutine(uintptr_t base) {
  Emitter e(base + kWheelSlotRoutine);
  e.B(0x55).B(0x89).B(0xE5);                   // push ebp; mov ebp, esp
  e.B(0x53).B(0x56).B(0x57);                   // push ebx; push esi; push edi
  e.B(0xBB).D(kKeepEbx);                       // mov ebx, imm32
  e.B(0xBE).D(kKeepEsi);                       // mov esi, imm32
  e.B(0xBF).D(kKeepEdi);                       // mov edi, imm32
  e.B(0xFF).B(0x75).B(0x14);                   // push [ebp+14h]  angle
  e.B(0xFF).B(0x75).B(0x10);                   // push [ebp+10h]  centre y
  e.B(0xFF).B(0x75).B(0x0C);                   // push [ebp+0Ch]  centre x
  e.B(0xFF).B(0x75).B(0x08);                   // push [ebp+8]    quad
  e.B(0xE8).Rel(base + kWheelRotateVertices);  // call RotateVertices (+0x6CDA8)
  e.B(0x83).B(0xC4).B(0x10);                   // add esp, 16
  e.B(0x31).B(0xC0);                           // xor eax, eax
  e.B(0x81).B(0xFB).D(kKeepEbx);               // cmp ebx, imm32
  e.B(0x74).B(0x03).B(0x83).B(0xC8).B(0x01);   // je +3; or eax, 1
  e.B(0x81).B(0xFE).D(kKeepEsi);               // cmp esi, imm32
  e.B(0x74).B(0x03).B(0x83).B(0xC8).B(0x02);   // je +3; or eax, 2
  e.B(0x81).B(0xFF).D(kKeepEdi);               // cmp edi, imm32
  e.B(0x74).B(0x03).B(0x83).B(0xC8).B(0x04);   // je +3; or eax, 4
  e.B(0x8D).B(0x55).B(0xF4);                   // lea edx, [ebp-0Ch]
  e.B(0x39).B(0xD4);                           // cmp esp, edx
  e.B(0x74).B(0x03).B(0x83).B(0xC8).B(0x08);   // je +3; or eax, 8
  e.B(0x8D).B(0x65).B(0xF4);                   // lea esp, [ebp-0Ch]
  e.B(0x5F).B(0x5E).B(0x5B).B(0x5D);           // pop edi; pop esi; pop ebx; pop ebp
  e.B(0xC3);                                   // ret
}

void BuildSpacingLayout(uintptr_t base) {
  Emitter e(base + kWheelSpacingEntry);
  e.B(0x39).B(0xF0);                // cmp eax, esi
  e.B(0x8B).B(0x7A).B(0x44);        // mov edi, [edx+44h]    (+0x6BBD9)
  e.B(0x8D).B(0x8D).D(0xFFFFC0A4);  // lea ecx, [ebp-3F5Ch]
  e.B(0xE9).Rel(reinterpret_cast<uintptr_t>(&StandinSpacingCapture));  // (+0x6BBE2)
}

void BuildCentreText(uintptr_t base, uint32_t index) {
  uintptr_t constant = CentreTextConstantAddress(base, index);
  float value = kCentreTextConstants[index];
  uint32_t bits;
  Copy(&bits, &value, 4);
  Emitter(constant).D(bits);
  Emitter e(CentreTextRoutineAddress(base, index));
  e.B(0xF3).B(0x0F).B(0x10).B(0x44).B(0x24).B(0x04);  // movss xmm0, [esp+4]
  e.B(0xF3)
      .B(0x0F)
      .B(kCentreTextOperations[index])
      .B(0x05)
      .D(static_cast<uint32_t>(constant));            // addss/subss xmm0, [abs]
  e.B(0xF3).B(0x0F).B(0x11).B(0x44).B(0x24).B(0x04);  // movss [esp+4], xmm0
  e.B(0xD9).B(0x44).B(0x24).B(0x04);                  // fld dword [esp+4]
  e.B(0xC3);                                          // ret
}

void PutLongDouble(uint8_t out[16], long double value) {
  Zero(out, 16);
  Copy(out, &value, 10);
}

}  // namespace

Quad SlotStartQuad() {
  const float l = kWheelCentreX - 60.0f;
  const float r = kWheelCentreX + 60.0f;
  const float t = kWheelCentreY + 210.0f;
  const float b = kWheelCentreY + 290.0f;
  return Quad{{l, t, r, t, r, b, l, b}};
}

SpacingCapture RunSpacingLayout(uintptr_t base, const SpacingInput& input) {
  SpacingInput in = input;
  if (in.x87Count > 8) {
    in.x87Count = 8;
  }
  in.espMod16 &= 15;
  StandinSpacingDrive(&in, base + kWheelSpacingEntry);
  SpacingCapture out;
  Copy(&out, &StandinSpacingCaptureArea, sizeof(out));
  return out;
}

uint16_t FxControl(const SpacingCapture& c) {
  return static_cast<uint16_t>(c.fx[0] | (c.fx[1] << 8));
}
uint16_t FxStatus(const SpacingCapture& c) {
  return static_cast<uint16_t>(c.fx[2] | (c.fx[3] << 8));
}
uint32_t FxDepth(const SpacingCapture& c) {
  uint32_t n = 0;
  for (uint32_t bit = 0; bit < 8; ++bit) {
    n += (c.fx[4] >> bit) & 1u;
  }
  return n;
}
uint32_t FxMxcsr(const SpacingCapture& c) {
  uint32_t v;
  Copy(&v, c.fx + 24, 4);
  return v;
}
const uint8_t* FxStack(const SpacingCapture& c, uint32_t i) { return c.fx + 32 + 16 * i; }
const uint8_t* FxXmm(const SpacingCapture& c, uint32_t i) { return c.fx + 160 + 16 * i; }

uint32_t CompareFlags(uint32_t eax, uint32_t esi) {
  uint32_t flags;
  __asm__ volatile(
      "cmpl %2, %1\n\t"
      "pushfl\n\t"
      "popl %0"
      : "=r"(flags)
      : "r"(eax), "r"(esi)
      : "cc");
  return flags & kArithmeticFlags;
}

uint32_t SpacingStateDiff(const SpacingInput& input, const SpacingCapture& c) {
  uint32_t diff = 0;
  uint32_t record = *reinterpret_cast<const volatile uint32_t*>(input.edx + 0x44);
  if (c.eax != input.eax) diff |= 1;
  if (c.ebx != input.ebx) diff |= 2;
  if (c.ecx != c.siteEbp - 0x3F5C) diff |= 4;
  if (c.edx != input.edx) diff |= 8;
  if (c.esi != input.esi) diff |= 16;
  if (c.edi != record) diff |= 32;
  if (c.ebp != c.siteEbp) diff |= 64;
  if (c.esp != c.siteEsp) diff |= 128;
  uint32_t direction = input.direction != 0 ? kDirectionFlag : 0;
  if ((c.eflags & kArithmeticFlags) != CompareFlags(input.eax, input.esi) ||
      (c.eflags & kDirectionFlag) != direction) {
    diff |= 256;
  }
  uint32_t count = input.x87Count > 8 ? 8 : input.x87Count;
  bool x87 = FxControl(c) == (input.fpuControl & 0xFFFF) &&
             FxStatus(c) == static_cast<uint16_t>(((8 - count) & 7) << 11) && FxDepth(c) == count;
  for (uint32_t i = 0; x87 && i < count; ++i) {
    x87 = Same(FxStack(c, i), input.x87[i], 10);
  }
  if (!x87) diff |= 512;
  if (FxMxcsr(c) != input.mxcsr) diff |= 1024;
  for (uint32_t i = 0; i < 8; ++i) {
    if (!Same(FxXmm(c, i), input.xmm[i], 16)) {
      diff |= 2048;
    }
  }
  return diff;
}

uintptr_t SlotRoutineAddress(uintptr_t base) { return base + kWheelSlotRoutine; }
uintptr_t CentreTextRoutineAddress(uintptr_t base, uint32_t index) {
  return base + kCentreTextSiteOffsets[index] - 6;
}
uintptr_t CentreTextConstantAddress(uintptr_t base, uint32_t index) {
  return base + kWheelConstants + 4 * index;
}

uint32_t RunSlotRoutine(uintptr_t base, Quad* quad, float centreX, float centreY, float angle) {
  return reinterpret_cast<SlotRoutineFn>(SlotRoutineAddress(base))(quad, centreX, centreY, angle);
}

float RunCentreText(uintptr_t base, uint32_t index, float position) {
  return reinterpret_cast<CentreTextFn>(CentreTextRoutineAddress(base, index))(position);
}

SpacingInput SlotLayoutInput(uint32_t k, float contentX, float ammoX) {
  SpacingInput in;
  Zero(&in, sizeof(in));
  in.eax = 3 * k;
  in.ebx = k;
  in.ecx = 0xC0C0C0C0u;
  gSlotRecords[k][0x44 / 4] = kSlotRecordWord + k;
  in.edx = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(gSlotRecords[k]));
  in.esi = 9;
  in.edi = 0xD1D1D1D1u;
  in.contentX = contentX;
  in.ammoX = ammoX;
  in.espMod16 = 4;
  in.direction = 0;
  in.fpuControl = 0x027F;
  in.mxcsr = 0x1F80;
  in.x87Count = 2;
  PutLongDouble(in.x87[0], 1.5L + k);
  PutLongDouble(in.x87[1], -0.25L);
  for (uint32_t r = 0; r < 8; ++r) {
    for (uint32_t j = 0; j < 16; ++j) {
      in.xmm[r][j] = static_cast<uint8_t>(0x11 * r + j + k);
    }
  }
  return in;
}

WheelRecord* VhudWheelRecord() { return &gWheel; }
void ClearVhudWheelRecord() { Zero(&gWheel, sizeof(gWheel)); }

void BuildVhudWheel(uintptr_t base) {
  ClearVhudWheelRecord();
  for (uint32_t k = 0; k < 8; ++k) {
    Zero(gSlotRecords[k], sizeof(gSlotRecords[k]));
    gSlotRecords[k][0x44 / 4] = kSlotRecordWord + k;
  }
  Emitter(base + kWheelRotateVertices)
      .B(0xE9)
      .Rel(reinterpret_cast<uintptr_t>(&StandinRotateVertices));
  BuildSpacingLayout(base);
  for (uint32_t i = 0; i < 6; ++i) {
    BuildCentreText(base, i);
  }
  BuildSlotRoutine(base);
}

void RunVhudWheel(uintptr_t base) {
  ++gWheel.runs;
  for (uint32_t k = 0; k < 8; ++k) {
    Quad quad = SlotStartQuad();
    if (RunSlotRoutine(base, &quad, kWheelCentreX, kWheelCentreY, kWheelAngles[k]) != 0) {
      gWheel.slotFaults |= 1u << k;
    }
    gWheel.slotQuads[k] = quad;
  }
  for (uint32_t k = 0; k < 8; ++k) {
    SpacingInput in = SlotLayoutInput(k, kSlotContentX[k], kSlotAmmoX[k]);
    SpacingCapture out = RunSpacingLayout(base, in);
    gWheel.spacingFaults[k] = SpacingStateDiff(in, out);
    gWheel.slotContentX[k] = out.contentX;
    gWheel.slotAmmoX[k] = out.ammoX;
    gWheel.slotEdi[k] = out.edi;
    gWheel.slotEcx[k] = out.ecx;
  }
  for (uint32_t i = 0; i < 6; ++i) {
    gWheel.centreText[i] = RunCentreText(base, i, kCentreTextInputs[i]);
  }
}

}  // namespace standin

extern "C" void __attribute__((cdecl))
StandinRotateQuad(standin::Quad* quad, float centreX, float centreY, float angle) {
  standin::Rotate(quad, centreX, centreY, angle);
}

extern "C" void __attribute__((cdecl))
StandinRotateVertices(standin::Quad* quad, float centreX, float centreY, float angle) {
  ++standin::gWheel.rotateCalls;
  standin::Rotate(quad, centreX, centreY, angle);
}

extern "C" const standin::WheelRecord* StandinWheelRecord() { return &standin::gWheel; }
