// Python-free number formatting and arithmetic with the interpreter's exact
// semantics for plain C++ values. Testable without Python objects.
#pragma once

#include <cstdint>
#include <string>

namespace tvk::num {

// repr(float) / str(float) / format(float, ""): shortest round-trip digits,
// exponent form below 1e-4 and from 1e16 on, always a '.' or an exponent,
// "inf", "-inf", "nan".
std::string float_repr(double x);

// One-argument round() of a finite double: nearest integer, halves to even.
double round_half_even(double x);

// Floor division and modulo of 64-bit integers as Python does them (toward
// minus infinity; the remainder takes the divisor's sign). b must not be 0.
std::int64_t floordiv(std::int64_t a, std::int64_t b);
std::int64_t floormod(std::int64_t a, std::int64_t b);

// Python's float // and % for doubles (b != 0): the same results as
// float.__floordiv__ and float.__mod__, signed zeros included.
double float_floordiv(double a, double b);
double float_mod(double a, double b);

// format(v, "0Nb") for a non-negative or negative integer: binary digits
// zero-padded to at least `width` characters (a '-' counts in the width).
std::string binary(std::int64_t v, int width);
// hex(v): "0x..." / "-0x..." lower case.
std::string hex(std::int64_t v);

// True when the double is finite and its value fits an int64 exactly after
// truncation, so a narrowing cast is defined.
bool fits_int64(double x);

}  // namespace tvk::num
