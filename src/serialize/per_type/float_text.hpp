// The text of finite floating-point numbers: shortest round-trip digits, laid
// out in fixed or scientific notation.
#pragma once

namespace kestro {

// Writes the text of a finite value at dst (at least 40 bytes of room) and
// returns the position after the last byte written.  Callers handle NaN and
// the infinities themselves.
char* write_f64_text(double v, char* dst) noexcept;
char* write_f32_text(float v, char* dst) noexcept;

}  // namespace kestro
