// The AMD64 thread context record of a minidump (the Windows CONTEXT layout).
#pragma once

#include <cstddef>
#include <cstdint>

namespace crash {
namespace mdmp {

constexpr std::uint32_t kContextAmd64 = 0x00100000;
constexpr std::uint32_t kContextControl = kContextAmd64 | 0x01;   // rip, rsp, rbp, eflags, cs, ss
constexpr std::uint32_t kContextInteger = kContextAmd64 | 0x02;   // rax..r15
constexpr std::uint32_t kContextSegments = kContextAmd64 | 0x04;  // ds, es, fs, gs
constexpr std::uint32_t kContextFloatingPoint = kContextAmd64 | 0x08;  // fltSave, mxCsr
constexpr std::uint32_t kContextFull = kContextControl | kContextInteger | kContextFloatingPoint;

#pragma pack(push, 1)

struct Uint128 {
  std::uint64_t low;
  std::uint64_t high;
};

struct ContextAmd64 {
  std::uint64_t p1Home, p2Home, p3Home, p4Home, p5Home, p6Home;
  std::uint32_t contextFlags;
  std::uint32_t mxCsr;
  std::uint16_t cs, ds, es, fs, gs, ss;
  std::uint32_t eflags;
  std::uint64_t dr0, dr1, dr2, dr3, dr6, dr7;
  std::uint64_t rax, rcx, rdx, rbx, rsp, rbp, rsi, rdi;
  std::uint64_t r8, r9, r10, r11, r12, r13, r14, r15;
  std::uint64_t rip;
  std::uint8_t fltSave[512];  // the FXSAVE image, as the kernel keeps it
  Uint128 vectorRegister[26];
  std::uint64_t vectorControl;
  std::uint64_t debugControl;
  std::uint64_t lastBranchToRip;
  std::uint64_t lastBranchFromRip;
  std::uint64_t lastExceptionToRip;
  std::uint64_t lastExceptionFromRip;
};

#pragma pack(pop)

static_assert(sizeof(ContextAmd64) == 1232, "layout");
static_assert(offsetof(ContextAmd64, contextFlags) == 48, "layout");
static_assert(offsetof(ContextAmd64, rax) == 120, "layout");
static_assert(offsetof(ContextAmd64, rip) == 248, "layout");
static_assert(offsetof(ContextAmd64, fltSave) == 256, "layout");

}  // namespace mdmp
}  // namespace crash
