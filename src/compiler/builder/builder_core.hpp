// Python-free core of the instruction-queue builder: the numbers of the
// Gaussian envelope and the JSON text that lookup() prints.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tvk::builder::core {

// width / (sqrt(ln 2) * 4): the Gaussian's scale. 0 for a width of 0 (and for
// widths so small that the quotient underflows), where every sample would be
// 0 / 0.
double gaussian_scale(double width);

// numpy.linspace(start, stop, n) with its own arithmetic: i * step + start,
// the last point set to `stop` exactly; i / (n - 1) * delta + start when the
// step underflows to 0; start alone for n == 1.
void linspace(double start, double stop, std::int64_t n, double* out);

// n samples exp(-(t / scale)^2) over linspace(-width / 2, width / 2, n):
// 1 at time 0, 1/16 at the two ends. `scale` must not be 0.
void gaussian(double width, double scale, std::int64_t n, double* out);

// json.dumps(items, indent=indent) for an array of strings given as code
// points, with ASCII-only output ("\uXXXX" escapes, surrogate pairs above
// U+FFFF).
std::string json_string_array(const std::vector<std::u32string>& items, int indent);

}  // namespace tvk::builder::core
