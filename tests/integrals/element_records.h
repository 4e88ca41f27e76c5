#pragma once
// Element records for the integral tests, built from the published values in
// /work/shared/params (mndo.csv and pm6.csv), independent of the generated tables.
#include <cstdint>

#include "core/parameters/parameter_model.h"

namespace quorin::test {

inline ElementParams make_element(std::uint8_t z, double core, double zs, double zp, double zd, double gss,
                                  double gsp, double gpp, double gp2, double hsp) {
    ElementParams e;
    e.atomic_number = z;
    e.core_charge = core;
    e.zeta_s = zs;
    e.zeta_p = zp;
    e.zeta_d = zd;
    e.g_ss = gss;
    e.g_sp = gsp;
    e.g_pp = gpp;
    e.g_p2 = gp2;
    e.h_sp = hsp;
    return e;
}

// mndo.csv
inline ElementParams mndo_h() { return make_element(1, 1, 1.331967, 0, 0, 12.848, 0, 0, 0, 0); }
inline ElementParams mndo_c() {
    return make_element(6, 4, 1.787537, 1.787537, 0, 12.23, 11.47, 11.08, 9.84, 2.43);
}
inline ElementParams mndo_n() {
    return make_element(7, 5, 2.255614, 2.255614, 0, 13.59, 12.66, 12.98, 11.59, 3.14);
}
inline ElementParams mndo_o() {
    return make_element(8, 6, 2.699905, 2.699905, 0, 15.42, 14.48, 14.52, 12.98, 3.94);
}
inline ElementParams mndo_si() {
    return make_element(14, 4, 1.315986, 1.709943, 0, 9.82, 8.36, 7.31, 6.54, 1.32);
}
inline ElementParams mndo_cl() {
    return make_element(17, 7, 3.784645, 2.036263, 0, 15.03, 13.16, 11.3, 9.97, 2.42);
}
// pm6.csv (elements with a d shell)
inline ElementParams pm6_s() {
    return make_element(16, 6, 2.192844, 1.841078, 3.109401, 9.17035, 5.944296, 8.165473, 7.301878, 5.005404);
}
inline ElementParams pm6_cl() {
    return make_element(17, 7, 2.63705, 2.118146, 1.324033, 11.142654, 7.487881, 9.551886, 8.128436, 5.004267);
}
inline ElementParams pm6_br() {
    return make_element(35, 7, 4.670684, 2.035626, 1.521031, 7.616791, 5.010425, 9.649216, 8.343792, 4.996553);
}

}  // namespace quorin::test
