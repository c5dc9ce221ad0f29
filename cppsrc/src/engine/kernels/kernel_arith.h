// The scalar arithmetic shared by the gate kernels and the cache-blocked gate
// runs. Both must round every update the same way, so they use these exact
// helpers rather than each writing its own.
#pragma once

#include <complex>

namespace gates {
namespace arith {

using cd = std::complex<double>;

inline const cd I_UNIT(0, 1);
inline const cd MINUS_I(0, -1);
inline const cd HALF_PLUS_HALF_I(0.5, 0.5);

// A complex divided (or scaled) by a real acts on both parts separately.
inline cd divide(cd z, double r) { return cd(z.real() / r, z.imag() / r); }
inline cd negate(cd z) { return cd(z.real() * -1.0, z.imag() * -1.0); }

inline unsigned long bit(unsigned long pos) { return 1UL << pos; }

}  // namespace arith
}  // namespace gates
