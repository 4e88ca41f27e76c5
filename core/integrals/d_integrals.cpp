#include "core/integrals/d_integrals.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>

#include "core/integrals/multipoles.h"
#include "core/types/constants.h"
#include "core/types/errors.h"

namespace quorin {

namespace {

constexpr std::array<int, 9> kAngularMomentum{0, 1, 1, 1, 2, 2, 2, 2, 2};
constexpr double kSqrt2 = 1.4142135623730951;

// Weight of the real multipole component (l, m) in the charge distribution
// of the local orbital pair (i, j), i <= j. Pairs not listed carry none.
struct MultipoleWeight {
    std::uint8_t i, j;
    int l, m;
    double value;
};

constexpr std::array<MultipoleWeight, 52> kMultipoleWeights{{
    {0, 0, 0, 0, 1.0},
    {0, 1, 1, 0, 1.0},
    {0, 2, 1, 1, 1.0},
    {0, 3, 1, -1, 1.0},
    {0, 4, 2, 0, 1.15470054},
    {0, 5, 2, 1, 1.0},
    {0, 6, 2, -1, 1.0},
    {0, 7, 2, 2, 1.0},
    {0, 8, 2, -2, 1.0},
    {1, 1, 0, 0, 1.0},
    {1, 1, 2, 0, 1.33333333},
    {1, 2, 2, 1, 1.0},
    {1, 3, 2, -1, 1.0},
    {1, 4, 1, 0, 1.15470054},
    {1, 5, 1, 1, 1.0},
    {1, 6, 1, -1, 1.0},
    {2, 2, 0, 0, 1.0},
    {2, 2, 2, 0, -0.66666667},
    {2, 2, 2, 2, 1.0},
    {2, 3, 2, -2, 1.0},
    {2, 4, 1, 1, -0.57735027},
    {2, 5, 1, 0, 1.0},
    {2, 7, 1, 1, 1.0},
    {2, 8, 1, -1, 1.0},
    {3, 3, 0, 0, 1.0},
    {3, 3, 2, 0, -0.66666667},
    {3, 3, 2, 2, -1.0},
    {3, 4, 1, -1, -0.57735027},
    {3, 6, 1, 0, 1.0},
    {3, 7, 1, -1, -1.0},
    {3, 8, 1, 1, 1.0},
    {4, 4, 0, 0, 1.0},
    {4, 4, 2, 0, 1.33333333},
    {4, 5, 2, 1, 0.57735027},
    {4, 6, 2, -1, 0.57735027},
    {4, 7, 2, 2, -1.15470054},
    {4, 8, 2, -2, -1.15470054},
    {5, 5, 0, 0, 1.0},
    {5, 5, 2, 0, 0.66666667},
    {5, 5, 2, 2, 1.0},
    {5, 6, 2, -2, 1.0},
    {5, 7, 2, 1, 1.0},
    {5, 8, 2, -1, 1.0},
    {6, 6, 0, 0, 1.0},
    {6, 6, 2, 0, 0.66666667},
    {6, 6, 2, 2, -1.0},
    {6, 7, 2, -1, -1.0},
    {6, 8, 2, 1, 1.0},
    {7, 7, 0, 0, 1.0},
    {7, 7, 2, 0, -1.33333333},
    {8, 8, 0, 0, 1.0},
    {8, 8, 2, 0, -1.33333333},
}};

// Multipole type of a pair by angular momenta: 1 ss, 2 sp, 3 pp, 4 sd, 5 pd, 6 dd.
constexpr int pair_type(int li, int lj) {
    const int hi = std::max(li, lj);
    const int lo = std::min(li, lj);
    return hi * (hi + 1) / 2 + lo + 1;
}

// The point-charge multipoles of one atom, addressed by slot:
// 0 ss monopole, 1 sp dipole, 2 pp monopole, 3 pp quadrupole, 4 sd quadrupole,
// 5 pd dipole, 6 dd monopole, 7 dd quadrupole, 8 core.
constexpr std::size_t kMultipoleSlots = 9;
constexpr std::size_t kCoreSlot = 8;

struct Multipole {
    int l = 0;
    double separation = 0.0;  // bohr
    double rho = 0.0;         // bohr
};

constexpr std::size_t multipole_slot(int type, int l) {
    if (l == 0) return type == 3 ? 2 : (type == 6 ? 6 : 0);
    switch (type) {
        case 2: return 1;
        case 3: return 3;
        case 4: return 4;
        case 5: return 5;
        default: return 7;
    }
}

std::array<Multipole, kMultipoleSlots> atom_multipoles(std::span<const double, 10> add,
                                                       std::span<const double, 7> sep) {
    return {{{0, 0.0, add[1]},
             {1, sep[2], add[2]},
             {0, 0.0, add[7]},
             {2, sep[3], add[3]},
             {2, sep[4], add[4]},
             {1, sep[5], add[5]},
             {0, 0.0, add[8]},
             {2, sep[6], add[6]},
             {0, 0.0, add[9]}}};
}

// Which multipole of the atom a distribution component uses (rule of rijkl).
Multipole component_multipole(std::span<const double, 10> add, std::span<const double, 7> sep, int type, int l,
                              bool core) {
    if (l > 0) return {l, sep[static_cast<std::size_t>(type)], add[static_cast<std::size_t>(type)]};
    if (type == 1) return {0, 0.0, core ? add[9] : add[1]};
    if (type == 3) return {0, 0.0, add[7]};
    if (type == 6) return {0, 0.0, add[8]};
    return {0, 0.0, add[1]};
}

// Local sp cells from the 22 sp integrals: slot + 1 for the packed local pairs
// (s, p-sigma, p-pi, p-pi') of A (rows) and B (columns), 0 where zero.
constexpr std::array<std::array<std::uint8_t, 10>, 10> kSpCells = [] {
    std::array<std::array<std::uint8_t, 10>, 10> t{};
    auto set = [&t](std::size_t a, std::size_t b, int slot) { t[a][b] = static_cast<std::uint8_t>(slot + 1); };
    set(0, 0, 0);
    set(0, 1, 4);
    set(0, 2, 10);
    set(0, 5, 11), set(0, 9, 11);
    set(1, 0, 1);
    set(1, 1, 5);
    set(1, 2, 12);
    set(1, 5, 13), set(1, 9, 13);
    set(3, 3, 6), set(6, 6, 6);
    set(3, 4, 14), set(6, 7, 14);
    set(2, 0, 2);
    set(2, 1, 7);
    set(2, 2, 15);
    set(2, 5, 17), set(2, 9, 17);
    set(5, 0, 3), set(9, 0, 3);
    set(5, 1, 8), set(9, 1, 8);
    set(5, 2, 16), set(9, 2, 16);
    set(5, 5, 18), set(9, 9, 18);
    set(5, 9, 20), set(9, 5, 20);
    set(4, 3, 9), set(7, 6, 9);
    set(4, 4, 19), set(7, 7, 19);
    set(8, 8, 21);
    return t;
}();

// Range of multipole weights of each local pair in kMultipoleWeights.
struct WeightRange {
    std::uint8_t begin = 0, end = 0;
};

constexpr std::array<WeightRange, kSpdPairCount> kWeightRanges = [] {
    std::array<WeightRange, kSpdPairCount> ranges{};
    for (std::size_t e = 0; e < kMultipoleWeights.size(); ++e) {
        auto& r = ranges[spd_pair_index(kMultipoleWeights[e].i, kMultipoleWeights[e].j)];
        if (r.begin == r.end) r.begin = static_cast<std::uint8_t>(e);
        r.end = static_cast<std::uint8_t>(e + 1);
    }
    return ranges;
}();

}  // namespace

// Each entry sums the Klopman-Ohno terms 1/sqrt(distance^2 + a) between the
// point charges of the two multipoles (linear along z', square at 45 degrees
// in the x'z' plane, or in the x'y' plane for m = 2).
double charg(int l1, int l2, int m, double r, double a_sep, double b_sep, double a_rho2) {
    const double A = a_sep;
    const double B = b_sep;
    const auto f = [a_rho2](double x) { return 1.0 / std::sqrt(x + a_rho2); };
    const auto sq = [](double x) { return x * x; };
    if (l1 == 0 && l2 == 0 && m == 0) return f(r * r);
    if (l1 == 1 && l2 == 0 && m == 0) return 0.5 * (f(sq(r - A)) - f(sq(r + A)));
    if (l1 == 0 && l2 == 1 && m == 0) return 0.5 * (f(sq(r + B)) - f(sq(r - B)));
    if (l1 == 2 && l2 == 0 && m == 0) return 0.25 * (f(sq(r - A)) + f(sq(r + A)) - 2.0 * f(r * r + A * A));
    if (l1 == 0 && l2 == 2 && m == 0) return 0.25 * (f(sq(r - B)) + f(sq(r + B)) - 2.0 * f(r * r + B * B));
    if (l1 == 1 && l2 == 1 && m == 0) {
        return 0.25 * (f(sq(r + A - B)) + f(sq(r - A + B)) - f(sq(r - A - B)) - f(sq(r + A + B)));
    }
    if (l1 == 1 && l2 == 1 && m == 1) return 0.5 * (f(r * r + sq(A - B)) - f(r * r + sq(A + B)));
    if (l1 == 1 && l2 == 2 && m == 0) {
        return 0.125 * (f(sq(r - A - B)) - 2.0 * f(sq(r - A) + B * B) + f(sq(r + B - A)) - f(sq(r - B + A)) +
                        2.0 * f(sq(r + A) + B * B) - f(sq(r + A + B)));
    }
    if (l1 == 1 && l2 == 2 && m == 1) {
        const double b = B / kSqrt2;
        return 0.25 * (f(sq(A - b) + sq(r + b)) - f(sq(A - b) + sq(r - b)) + f(sq(A + b) + sq(r - b)) -
                       f(sq(A + b) + sq(r + b)));
    }
    if (l1 == 2 && l2 == 1 && m == 0) {
        return 0.125 * (2.0 * f(sq(r - B) + A * A) - f(sq(r - A - B)) - f(sq(r + A - B)) + f(sq(r - A + B)) -
                        2.0 * f(sq(r + B) + A * A) + f(sq(r + A + B)));
    }
    if (l1 == 2 && l2 == 1 && m == 1) {
        const double c = A / kSqrt2;
        return 0.25 * (f(sq(c - B) + sq(r - c)) - f(sq(c - B) + sq(r + c)) + f(sq(c + B) + sq(r + c)) -
                       f(sq(c + B) + sq(r - c)));
    }
    if (l1 == 2 && l2 == 2 && m == 0) {
        return (f(sq(r - A - B)) + f(sq(r + A + B)) + f(sq(r + A - B)) + f(sq(r - A + B)) -
                2.0 * f(sq(r - A) + B * B) - 2.0 * f(sq(r - B) + A * A) - 2.0 * f(sq(r + A) + B * B) -
                2.0 * f(sq(r + B) + A * A) + 2.0 * f(r * r + sq(A - B)) + 2.0 * f(r * r + sq(A + B))) /
                   16.0 -
               (4.0 * f(r * r + sq(A - B)) + 4.0 * f(r * r + sq(A + B)) - 8.0 * f(r * r + A * A + B * B)) / 64.0;
    }
    if (l1 == 2 && l2 == 2 && m == 1) {
        const double c = A / kSqrt2;
        const double b = B / kSqrt2;
        return 0.125 * (f(sq(r + c - b) + sq(c - b)) - f(sq(r + c + b) + sq(c - b)) - f(sq(r - c - b) + sq(c - b)) +
                        f(sq(r - c + b) + sq(c - b)) - f(sq(r + c - b) + sq(c + b)) + f(sq(r + c + b) + sq(c + b)) +
                        f(sq(r - c - b) + sq(c + b)) - f(sq(r - c + b) + sq(c + b)));
    }
    if (l1 == 2 && l2 == 2 && m == 2) {
        return 0.25 * (f(r * r + sq(A + B)) + f(r * r + sq(A - B)) - 2.0 * f(r * r + A * A + B * B));
    }
    return 0.0;
}

double rijkl(std::span<const double, 10> additive_a, std::span<const double, 7> separations_a,
             std::span<const double, 10> additive_b, std::span<const double, 7> separations_b, std::size_t i,
             std::size_t j, std::size_t k, std::size_t l, int core_side, double r_bohr) {
    if (std::max({i, j, k, l}) > 8) throw EngineStop("Local orbital position of a d-orbital integral beyond 8");
    const int li = kAngularMomentum[i], lj = kAngularMomentum[j];
    const int lk = kAngularMomentum[k], ll = kAngularMomentum[l];
    const int type_a = pair_type(li, lj);
    const int type_b = pair_type(lk, ll);
    const WeightRange ra = kWeightRanges[spd_pair_index(i, j)];
    const WeightRange rb = kWeightRanges[spd_pair_index(k, l)];
    double sum = 0.0;
    for (std::size_t ea = ra.begin; ea < ra.end; ++ea) {
        const auto& wa = kMultipoleWeights[ea];
        if (wa.l < std::abs(li - lj) || wa.l > std::min(li + lj, 2)) continue;
        for (std::size_t eb = rb.begin; eb < rb.end; ++eb) {
            const auto& wb = kMultipoleWeights[eb];
            if (wb.m != wa.m || wb.l < std::abs(lk - ll) || wb.l > std::min(lk + ll, 2)) continue;
            if (std::abs(wa.m) > std::min(wa.l, wb.l)) continue;
            const double weight = wa.value * wb.value;
            if (std::abs(weight) < 1e-15) continue;
            const Multipole ma = component_multipole(additive_a, separations_a, type_a, wa.l, core_side == 1);
            const Multipole mb = component_multipole(additive_b, separations_b, type_b, wb.l, core_side == 2);
            const double rho = ma.rho + mb.rho;
            sum += weight * charg(wa.l, wb.l, std::abs(wa.m), r_bohr, ma.separation, mb.separation, rho * rho);
        }
    }
    return sum;
}

void compute_reppd2(std::size_t n_a, std::size_t n_b, std::span<const double, 22> sp_local,
                    std::span<const double, 10> additive_a, std::span<const double, 7> separations_a,
                    std::span<const double, 10> additive_b, std::span<const double, 7> separations_b,
                    std::span<double, kSpdBlockSize> local, std::span<double, 20> electron_core,
                    bool use_feathering, double r_bohr, double core_charge_a, double core_charge_b) {
    const std::size_t pairs_a = spd_pair_count(n_a);
    const std::size_t pairs_b = spd_pair_count(n_b);
    std::fill(local.begin(), local.end(), 0.0);
    for (std::size_t e = 8; e < 20; ++e) electron_core[e] = 0.0;

    const std::size_t sp_pairs_a = std::min<std::size_t>(pairs_a, 10);
    const std::size_t sp_pairs_b = std::min<std::size_t>(pairs_b, 10);
    for (std::size_t pa = 0; pa < sp_pairs_a; ++pa) {
        for (std::size_t pb = 0; pb < sp_pairs_b; ++pb) {
            const int slot = kSpCells[pa][pb];
            if (slot != 0) local[pa * kSpdPairCount + pb] = sp_local[static_cast<std::size_t>(slot - 1)];
        }
    }
    if (n_a < 9 && n_b < 9) return;

    // Every multipole-multipole interaction the pair can need, once.
    const auto mult_a = atom_multipoles(additive_a, separations_a);
    const auto mult_b = atom_multipoles(additive_b, separations_b);
    std::array<std::array<std::array<double, 3>, kMultipoleSlots>, kMultipoleSlots> g{};
    for (std::size_t sa = 0; sa < kMultipoleSlots; ++sa) {
        for (std::size_t sb = 0; sb < kMultipoleSlots; ++sb) {
            const Multipole& ma = mult_a[sa];
            const Multipole& mb = mult_b[sb];
            const double rho = ma.rho + mb.rho;
            for (int m = 0; m <= std::min(ma.l, mb.l); ++m) {
                g[sa][sb][static_cast<std::size_t>(m)] =
                    charg(ma.l, mb.l, m, r_bohr, ma.separation, mb.separation, rho * rho);
            }
        }
    }

    const double r_angstrom = r_bohr * kBohrToAngstrom;
    const double weight = use_feathering ? feathering_weight(r_angstrom) : 1.0;
    const double point_charge = use_feathering ? (1.0 - weight) * kCoulombEvAngstrom / r_angstrom : 0.0;

    // Sum over the shared real components of the two distributions.
    const auto cell = [&](std::size_t pa, std::size_t pb, int type_a, int type_b) {
        double sum = 0.0;
        for (std::size_t ea = kWeightRanges[pa].begin; ea < kWeightRanges[pa].end; ++ea) {
            const auto& wa = kMultipoleWeights[ea];
            const std::size_t sa = multipole_slot(type_a, wa.l);
            for (std::size_t eb = kWeightRanges[pb].begin; eb < kWeightRanges[pb].end; ++eb) {
                const auto& wb = kMultipoleWeights[eb];
                if (wb.m != wa.m) continue;
                sum += wa.value * wb.value *
                       g[sa][multipole_slot(type_b, wb.l)][static_cast<std::size_t>(std::abs(wa.m))];
            }
        }
        return sum;
    };

    for (std::size_t i = 0; i < n_a; ++i) {
        for (std::size_t j = 0; j <= i; ++j) {
            const std::size_t pa = spd_pair_index(i, j);
            const int type_a = pair_type(kAngularMomentum[i], kAngularMomentum[j]);
            for (std::size_t k = 0; k < n_b; ++k) {
                for (std::size_t l = 0; l <= k; ++l) {
                    if (std::max({i, j, k, l}) < 4) continue;
                    const std::size_t pb = spd_pair_index(k, l);
                    const int type_b = pair_type(kAngularMomentum[k], kAngularMomentum[l]);
                    double value = kHartreeToEv * cell(pa, pb, type_a, type_b) * weight;
                    if (i == j && k == l) value += point_charge;
                    local[pa * kSpdPairCount + pb] = value;
                }
            }
        }
    }

    // Core attractions of the d distributions: k = 4..9 as (orbital, orbital).
    constexpr std::array<std::array<std::size_t, 2>, 6> kCorePairs{{{0, 4}, {1, 4}, {4, 4}, {2, 5}, {5, 5}, {7, 7}}};
    const auto core_term = [&](std::size_t p, int type, bool on_a) {
        double sum = 0.0;
        for (std::size_t e = kWeightRanges[p].begin; e < kWeightRanges[p].end; ++e) {
            const auto& w = kMultipoleWeights[e];
            if (w.m != 0) continue;
            const std::size_t s = multipole_slot(type, w.l);
            sum += w.value * (on_a ? g[s][kCoreSlot][0] : g[kCoreSlot][s][0]);
        }
        return sum;
    };
    for (std::size_t t = 0; t < kCorePairs.size(); ++t) {
        const std::size_t a = kCorePairs[t][0], b = kCorePairs[t][1];
        const std::size_t p = spd_pair_index(a, b);
        const int type = pair_type(kAngularMomentum[a], kAngularMomentum[b]);
        if (n_b >= 9) electron_core[9 + 2 * t] = -kHartreeToEv * core_charge_a * core_term(p, type, false);
        if (n_a >= 9) electron_core[8 + 2 * t] = -kHartreeToEv * core_charge_b * core_term(p, type, true);
    }
}

void apply_pm7_d_correction(std::size_t n_a, std::size_t n_b, bool a_has_d, bool b_has_d,
                            std::span<double, kSpdBlockSize> w, std::span<double, 20> electron_core) {
    spd_pair_count(n_a);
    const std::size_t pairs_b = spd_pair_count(n_b);
    if ((a_has_d && n_a < 9) || (b_has_d && n_b < 9)) {
        throw EngineStop("d-shell correction asked for an atom without d orbitals");
    }
    constexpr std::array<std::size_t, 5> kDd{14, 20, 27, 35, 44};
    constexpr std::array<std::size_t, 3> kPp{2, 5, 9};
    constexpr std::array<std::size_t, 1> kSs{0};
    auto& e = electron_core;
    const double w00 = w[0];

    // Moves the mean of the cells rows x cols of W onto W[ss][ss].
    const auto level = [&](auto rows, auto cols) {
        double mean = 0.0;
        for (std::size_t r : rows) {
            for (std::size_t c : cols) mean += w[r * pairs_b + c];
        }
        mean /= static_cast<double>(rows.size() * cols.size());
        const double delta = w00 - mean;
        for (std::size_t r : rows) {
            for (std::size_t c : cols) w[r * pairs_b + c] += delta;
        }
    };

    // Moves the shell mean of the core attractions (sigma once, each pi or
    // delta pair twice) onto the ss attraction e[ss].
    const auto level_core = [&e](std::size_t ss, std::size_t sigma, std::initializer_list<std::size_t> doubled) {
        double sum = e[sigma];
        for (std::size_t k : doubled) sum += 2.0 * e[k];
        const double s = e[ss] - sum / static_cast<double>(1 + 2 * doubled.size());
        e[sigma] += s;
        for (std::size_t k : doubled) e[k] += s;
    };

    const bool a_has_p = n_a >= 4;
    const bool b_has_p = n_b >= 4;
    if (a_has_d && b_has_p) {
        level(kDd, kPp);
        level_core(0, 4, {6});
    }
    if (a_has_d) {
        level(kDd, kSs);
        level_core(0, 12, {16, 18});
    }
    if (a_has_d && b_has_d) level(kDd, kDd);
    if (b_has_d && a_has_p) {
        level(kPp, kDd);
        level_core(1, 5, {7});
    }
    if (b_has_d) {
        level(kSs, kDd);
        level_core(1, 13, {17, 19});
    }
}

}  // namespace quorin
