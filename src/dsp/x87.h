// Control of the x87 unit's precision for the filter's extended-precision
// arithmetic. Internal to the DSP library.
#pragma once

#include <cstdint>

namespace lumrio::dsp::detail {

#if defined(__i386__) || defined(__x86_64__)
inline std::uint16_t ReadX87ControlWord() {
  std::uint16_t word = 0;
  __asm__ volatile("fnstcw %0" : "=m"(word));
  return word;
}

inline void WriteX87ControlWord(std::uint16_t word) {
  __asm__ volatile("fldcw %0" : : "m"(word));
}

// Precision-control field (bits 8-9): 11 selects the 64-bit significand.
inline constexpr std::uint16_t kX87PrecisionMask = 0x0300;
inline constexpr bool kHasX87 = true;
#else
inline std::uint16_t ReadX87ControlWord() {
  return 0;
}
inline void WriteX87ControlWord(std::uint16_t) {}
inline constexpr std::uint16_t kX87PrecisionMask = 0;
inline constexpr bool kHasX87 = false;
#endif

// Switches to 64-bit precision for its lifetime when the unit runs at less,
// and puts the previous setting back afterwards.
class ExtendedPrecisionScope {
 public:
  ExtendedPrecisionScope() : saved_(ReadX87ControlWord()) {
    if ((saved_ & kX87PrecisionMask) != kX87PrecisionMask) {
      WriteX87ControlWord(static_cast<std::uint16_t>(saved_ | kX87PrecisionMask));
      restore_ = true;
    }
  }
  ~ExtendedPrecisionScope() {
    if (restore_) WriteX87ControlWord(saved_);
  }
  ExtendedPrecisionScope(const ExtendedPrecisionScope&) = delete;
  ExtendedPrecisionScope& operator=(const ExtendedPrecisionScope&) = delete;

 private:
  std::uint16_t saved_;
  bool restore_ = false;
};

}  // namespace lumrio::dsp::detail
