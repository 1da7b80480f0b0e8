// Python-free number formatting and arithmetic with the interpreter's exact
// semantics for plain C++ values. Testable without Python objects.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace tvk::num {

// Division by zero in the plain helpers; becomes ZeroDivisionError.
struct zero_division : std::domain_error {
    using std::domain_error::domain_error;
};

// repr(float) / str(float) / format(float, ""): shortest round-trip digits,
// exponent form below 1e-4 and from 1e16 on, always a '.' or an exponent,
// "inf", "-inf", "nan".
std::string float_repr(double x);
// Appends float_repr(x) / the decimal text of v, without temporaries.
void append_float_repr(std::string& out, double x);
void append_int(std::string& out, std::int64_t v);

// One-argument round() of a finite double: nearest integer, halves to even.
double round_half_even(double x);

// Floor division and modulo of 64-bit integers as Python does them (toward
// minus infinity; the remainder takes the divisor's sign). A zero divisor
// throws tvk::num::zero_division; INT64_MIN // -1 throws std::overflow_error.
std::int64_t floordiv(std::int64_t a, std::int64_t b);
std::int64_t floormod(std::int64_t a, std::int64_t b);

// Python's float // and % for doubles (a zero divisor throws zero_division): the same results as
// float.__floordiv__ and float.__mod__, signed zeros included.
double float_floordiv(double a, double b);
double float_mod(double a, double b);

// format(v, "0Nb") for a non-negative or negative integer: binary digits
// zero-padded to at least `width` characters (a '-' counts in the width).
std::string binary(std::int64_t v, int width);
void append_binary(std::string& out, std::int64_t v, int width);
// hex(v): "0x..." / "-0x..." lower case.
std::string hex(std::int64_t v);
// Appends format(v, "0<width>x") (or "X" when `upper`): the sign counts in
// the width, the digits are zero-padded, a wider value keeps every digit.
void append_hex_padded(std::string& out, std::int64_t v, int width, bool upper);
// Appends hex(v)[2:].zfill(width): for a negative value the text keeps the
// "x" that follows the removed "-0" ("-5" -> "x5" -> "00x5").
void append_hex_zfill(std::string& out, std::int64_t v, int width);

// True when the double is finite and its value fits an int64 exactly after
// truncation, so a narrowing cast is defined.
bool fits_int64(double x);

}  // namespace tvk::num
