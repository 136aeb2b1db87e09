#include "frame/fourier_tables_exact.h"

#include <cmath>

namespace zs::frame {
namespace {

// cos and sin of a double, evaluated in double-double arithmetic and rounded once, so the
// tables are correctly rounded whichever C runtime the library is built with (some reduce
// arguments near pi/2 with too few bits of pi).
struct DD {
    double hi, lo;
};

DD twoSum(double a, double b) {
    const double s = a + b;
    const double bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}

DD split(double a) {
    const double t = 134217729.0 * a; // 2^27 + 1
    const double hi = t - (t - a);
    return {hi, a - hi};
}

DD twoProd(double a, double b) {
    const double p = a * b;
    const DD x = split(a), y = split(b);
    return {p, ((x.hi * y.hi - p) + x.hi * y.lo + x.lo * y.hi) + x.lo * y.lo};
}

DD add(DD a, DD b) {
    DD s = twoSum(a.hi, b.hi);
    s.lo += a.lo + b.lo;
    return twoSum(s.hi, s.lo);
}

DD mul(DD a, DD b) {
    DD p = twoProd(a.hi, b.hi);
    p.lo += a.hi * b.lo + a.lo * b.hi;
    return twoSum(p.hi, p.lo);
}

DD divide(DD a, double b) {
    const double q1 = a.hi / b;
    const DD p = twoProd(q1, b);
    const double q2 = ((a.hi - p.hi) - p.lo + a.lo) / b;
    return twoSum(q1, q2);
}

void exactCosSin(double x, double& cosOut, double& sinOut) {
    // pi/2 in three parts: enough bits to reduce angles right next to pi/2.
    constexpr double p1 = 1.5707963267948966, p2 = 6.123233995736766e-17,
                     p3 = -1.4973849048591698e-33;
    const double k = std::floor(x / p1 + 0.5);
    DD r = add({x, 0.0}, twoProd(-k, p1));
    r = add(r, twoProd(-k, p2));
    r = add(r, {-k * p3, 0.0});
    // Taylor series to the 29th power: beyond double-double precision for |r| <= pi/4.
    const DD r2 = mul(r, r);
    DD c{1.0, 0.0}, sn{1.0, 0.0};
    for (int n = 28; n >= 2; n -= 2) {
        c = add({1.0, 0.0}, divide(mul(r2, c), -static_cast<double>(n) * (n - 1)));
        sn = add({1.0, 0.0}, divide(mul(r2, sn), -static_cast<double>(n + 1) * n));
    }
    sn = mul(r, sn);
    const double ch = c.hi + c.lo, sh = sn.hi + sn.lo;
    switch (static_cast<long>(k) & 3) {
    case 0:
        cosOut = ch;
        sinOut = sh;
        break;
    case 1:
        cosOut = -sh;
        sinOut = ch;
        break;
    case 2:
        cosOut = -ch;
        sinOut = -sh;
        break;
    default:
        cosOut = sh;
        sinOut = -ch;
        break;
    }
}

} // namespace

void computeExactTables(double* twiddle, double* window) {
    // The constants and the order of the operations fix every rounding of the tables.
    const double step = 6.283185307179586 / 65536;
    for (size_t i = 0; i < kFourierSize / 2; ++i) {
        double c, s;
        exactCosSin(static_cast<double>(i) * step, c, s);
        twiddle[2 * i] = c;
        twiddle[2 * i + 1] = -s;
    }
    const double pi = 3.141592653589793;
    for (size_t i = 0; i < kFourierSize; ++i) {
        double c, s;
        exactCosSin(static_cast<double>(i) * 2 * (1.0 / 65536) * pi, c, s);
        window[i] = 1.0 - c;
    }
}

} // namespace zs::frame
