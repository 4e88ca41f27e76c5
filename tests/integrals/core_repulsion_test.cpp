#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <tuple>
#include <utility>
#include <vector>

#include "core/fock/fock_builder.h"
#include "core/hamiltonian/hcore.h"
#include "core/integrals/core_repulsion.h"
#include "core/integrals/pair_integrals.h"
#include "core/parameters/parameter_model.h"
#include "core/parameters/pm7.h"
#include "core/types/constants.h"

namespace quorin {
namespace {

constexpr double e2 = kCoulombEvAngstrom;

const MndoModel kMndo;
const Am1Model kAm1;
const Pm3Model kPm3;
const Pm6Model kPm6;
const Pm7Model kPm7;

ElementParams rec(const ParameterModel& m, int z) { return *m.get_element(std::uint8_t(z)); }

double klopman_ohno(const ElementParams& a, const ElementParams& b, double r) {
    const double rho = e2 / (2 * a.g_ss) + e2 / (2 * b.g_ss);
    return e2 / std::sqrt(r * r + rho * rho);
}

TEST(CoreRepulsion, CoincidentAtomsContributeNothing) {
    const ElementParams h6 = rec(kPm6, 1), c6 = rec(kPm6, 6), h7 = rec(kPm7, 1), c7 = rec(kPm7, 6);
    for (double r : {0.0, 1e-11, 9.9e-11}) {
        EXPECT_EQ(compute_pair_core_repulsion_am1(rec(kAm1, 5), rec(kAm1, 1), r), 0.0);
        EXPECT_EQ(compute_pair_core_repulsion_pm6(c6, h6, r), 0.0);
        EXPECT_EQ(compute_pair_core_repulsion_pm7(c7, h7, r), 0.0);
    }
}

TEST(CoreRepulsion, SwappingTheAtomsNeverChangesTheEnergy) {
    struct Case {
        const ParameterModel& model;
        int za, zb;
    };
    const std::vector<Case> cases = {
        {kMndo, 7, 1}, {kMndo, 8, 1}, {kMndo, 6, 8}, {kAm1, 5, 1},  {kAm1, 5, 6},   {kAm1, 5, 17},
        {kAm1, 5, 7},  {kAm1, 8, 1},  {kPm3, 5, 35}, {kPm6, 8, 1},  {kPm6, 15, 14}, {kPm6, 5, 53},
        {kPm7, 6, 1},  {kPm7, 6, 6},  {kPm7, 26, 6}, {kPm7, 90, 1}, {kPm7, 98, 102},
    };
    for (const Case& c : cases) {
        const ElementParams a = rec(c.model, c.za), b = rec(c.model, c.zb);
        for (double r : {0.4, 0.97, 1.5, 2.3, 4.0, 6.99, 7.5}) {
            const double ab = c.model.pair_core_repulsion(a, b, r);
            const double ba = c.model.pair_core_repulsion(b, a, r);
            EXPECT_NEAR(ab, ba, 1e-12 * std::fabs(ab)) << c.model.name() << " " << c.za << "-" << c.zb << " R=" << r;
        }
    }
}

TEST(CoreRepulsion, NitrogenOrOxygenWithHydrogenScalesOnlyTheHeavyAtomExponential) {
    // MNDO has no Gaussians: E = cA cB gamma (1 + R exp(-alpha_X R) + exp(-alpha_H R)).
    for (int heavy : {7, 8}) {
        const ElementParams x = rec(kMndo, heavy), h = rec(kMndo, 1);
        for (double r : {0.8, 1.0, 1.7}) {
            const double expected = x.core_charge * klopman_ohno(x, h, r) *
                                    (1 + r * std::exp(-x.alpha * r) + std::exp(-h.alpha * r));
            EXPECT_NEAR(compute_pair_core_repulsion(x, h, r), expected, 1e-12 * expected);
            EXPECT_NEAR(compute_pair_core_repulsion(h, x, r), expected, 1e-12 * expected);
        }
    }
    // C-H keeps both plain exponentials.
    const ElementParams c = rec(kMndo, 6), h = rec(kMndo, 1);
    const double r = 1.1;
    const double expected = 4 * klopman_ohno(c, h, r) * (1 + std::exp(-c.alpha * r) + std::exp(-h.alpha * r));
    EXPECT_NEAR(compute_pair_core_repulsion(c, h, r), expected, 1e-12 * expected);
}

TEST(CoreRepulsion, BoronPartnerTermsReplaceBoronsOwnGaussians) {
    // A boron record relabelled as another element (Z 3) escapes the boron
    // rule; giving it the fixed partner triples must reproduce the rule.
    const std::array<GaussianTerm, 2> with_h{{{0.412253, 10.0, 0.832586}, {-0.149917, 6.0, 1.18622}}};
    const std::array<GaussianTerm, 2> with_c{{{0.261751, 8.0, 1.063995}, {0.050275, 5.0, 1.936492}}};
    const std::array<GaussianTerm, 2> with_x{{{0.359244, 9.0, 0.819351}, {0.074729, 9.0, 1.574414}}};
    struct Case {
        int partner;
        const std::array<GaussianTerm, 2>* terms;  // nullptr: boron keeps its own Gaussians
    };
    const std::vector<Case> cases = {{1, &with_h}, {6, &with_c}, {9, &with_x}, {17, &with_x},
                                     {35, &with_x}, {53, &with_x}, {7, nullptr}, {8, nullptr}, {5, nullptr}};
    const ElementParams boron = rec(kAm1, 5);
    for (const Case& c : cases) {
        const ElementParams partner = rec(kAm1, c.partner);
        ElementParams stand_in = boron;
        stand_in.atomic_number = 3;
        if (c.terms != nullptr) {
            stand_in.gaussians = {(*c.terms)[0], (*c.terms)[1], GaussianTerm{}, GaussianTerm{}};
            stand_in.n_gaussians = 2;
        }
        for (double r : {0.9, 1.2, 1.6, 2.1, 3.0}) {
            const double expected = compute_pair_core_repulsion(stand_in, partner, r);
            EXPECT_NEAR(kAm1.pair_core_repulsion(boron, partner, r), expected, 1e-12 * std::fabs(expected))
                << "B-" << c.partner << " R=" << r;
            EXPECT_NEAR(kAm1.pair_core_repulsion(partner, boron, r), expected, 1e-12 * std::fabs(expected));
        }
    }
    // The partner triples belong to AM1's boron. MNDO and PM3 boron keep their
    // own Gaussians (none, and PM3's one): with the AM1 triples, BF3 came out
    // about 90 (MNDO) and 280 (PM3) kcal/mol too high.
    const std::array<const ParameterModel*, 2> own_gaussian_models = {&kMndo, &kPm3};
    for (const ParameterModel* model : own_gaussian_models) {
        const ElementParams b = rec(*model, 5);
        for (int z : {1, 6, 9}) {
            const ElementParams partner = rec(*model, z);
            const double r = 1.3;
            ElementParams bare_b = b, bare_partner = partner;
            bare_b.n_gaussians = 0;
            bare_partner.n_gaussians = 0;
            const double own = b.core_charge * partner.core_charge / r *
                               (gaussian_core_sum(b, r) + gaussian_core_sum(partner, r));
            const double expected = compute_pair_core_repulsion(bare_b, bare_partner, r) + own;
            EXPECT_NEAR(model->pair_core_repulsion(b, partner, r), expected, 1e-12 * std::fabs(expected))
                << model->name() << " B-" << z;
        }
    }
}

TEST(CoreRepulsion, GaussianAtExponent25IsIncludedOnlyUnderTheBoronRule) {
    // One Gaussian (k, l = 1, m = 0) at R = 5 has l (R - m)^2 = 25 exactly.
    const double r = 5.0, k = 1.0e8;
    ElementParams h = rec(kAm1, 1);
    h.gaussians = {GaussianTerm{k, 1.0, 0.0}, {}, {}, {}};
    h.n_gaussians = 1;
    ElementParams h_bare = h;
    h_bare.n_gaussians = 0;
    const double term = 1.0 * 3.0 / r * k * std::exp(-25.0);  // cA cB / R * k e^-25

    const ElementParams boron = rec(kAm1, 5);
    EXPECT_NEAR(compute_pair_core_repulsion_am1(boron, h, r) - compute_pair_core_repulsion_am1(boron, h_bare, r), term,
                1e-9 * term);
    ElementParams not_boron = boron;
    not_boron.atomic_number = 3;
    EXPECT_EQ(compute_pair_core_repulsion(not_boron, h, r), compute_pair_core_repulsion(not_boron, h_bare, r));
    EXPECT_EQ(compute_pair_core_repulsion_pm6(rec(kPm6, 6), h, r), compute_pair_core_repulsion_pm6(rec(kPm6, 6), h_bare, r));
}

// Short-range wall 1e-8 / r^12 eV, r = R / (Z_A^(1/3) + Z_B^(1/3)), zero from
// r = 3, at most 1e5 eV.
double hand_wall(const ElementParams& a, const ElementParams& b, double r) {
    const double reduced = r / (std::cbrt(double(a.atomic_number)) + std::cbrt(double(b.atomic_number)));
    return reduced < 3.0 ? std::min(1e-8 / std::pow(reduced, 12), 1e5) : 0.0;
}

double one_gaussian(const ElementParams& p, double r) {
    const GaussianTerm& t = p.gaussians[0];
    return t.k * std::exp(-t.l * (r - t.m) * (r - t.m));
}

// PM6 pairs of the R + 0.0003 R^6 branch, written out from the published form:
// value and slope d/dR of c_A c_B gamma (1 + f) + (c_A c_B / R) G + W, with the
// C-C term 9.28 exp(-5.98 R) and the Si-O term -0.0007 exp(-(R - 2.9)^2) in f.
// The PM6 records used carry one Gaussian each.
struct HandPm6 {
    ElementParams a, b;
    double alpha, x;  // published pair values, data/params/pm6_pairs.csv

    // Extra term of f and its slope.
    std::pair<double, double> extra(double r) const {
        const int lo = std::min(a.atomic_number, b.atomic_number);
        const int hi = std::max(a.atomic_number, b.atomic_number);
        if (lo == 6 && hi == 6) return {9.28 * std::exp(-5.98 * r), -5.98 * 9.28 * std::exp(-5.98 * r)};
        if (lo == 8 && hi == 14) {
            const double t = -0.0007 * std::exp(-(r - 2.9) * (r - 2.9));
            return {t, -2 * (r - 2.9) * t};
        }
        return {0.0, 0.0};
    }
    double value(double r) const {
        const double q = a.core_charge * b.core_charge;
        const double f = 2 * x * std::exp(-alpha * (r + 0.0003 * std::pow(r, 6))) + extra(r).first;
        return q * klopman_ohno(a, b, r) * (1 + f) + q / r * (one_gaussian(a, r) + one_gaussian(b, r)) +
               hand_wall(a, b, r);
    }
    double slope(double r) const {
        const double q = a.core_charge * b.core_charge;
        const double rho = e2 / (2 * a.g_ss) + e2 / (2 * b.g_ss);
        const double d_gamma = -e2 * r / std::pow(r * r + rho * rho, 1.5);
        const double pair = 2 * x * std::exp(-alpha * (r + 0.0003 * std::pow(r, 6)));
        const auto [e, d_e] = extra(r);
        const double f = pair + e, d_f = -alpha * (1 + 0.0018 * std::pow(r, 5)) * pair + d_e;
        const auto d_gauss = [r](const ElementParams& p) {
            return -2 * p.gaussians[0].l * (r - p.gaussians[0].m) * one_gaussian(p, r);
        };
        const double g = one_gaussian(a, r) + one_gaussian(b, r), d_g = d_gauss(a) + d_gauss(b);
        const double wall = hand_wall(a, b, r), d_wall = wall < 1e5 ? -12 * wall / r : 0.0;
        return q * (d_gamma * (1 + f) + klopman_ohno(a, b, r) * d_f) + q * (d_g / r - g / (r * r)) + d_wall;
    }
};

TEST(CoreRepulsion, Pm6HandValuesWithExtraTermsAndWall) {
    const ElementParams h = rec(kPm6, 1), c = rec(kPm6, 6), o = rec(kPm6, 8), si = rec(kPm6, 14), s = rec(kPm6, 16);
    const HandPm6 hh{h, h, 3.540942, 2.243587}, cc{c, c, 2.613713, 0.81351}, sio{si, o, 1.9236, 0.751095},
        sc{s, c, 2.210305, 0.666849};
    const std::vector<std::pair<const HandPm6*, double>> cases = {
        {&hh, 0.4233}, {&hh, 0.74}, {&cc, 0.3}, {&cc, 1.2}, {&cc, 1.4},
        {&cc, 2.0}, {&sio, 1.65}, {&sio, 2.9}, {&sc, 1.8}};
    for (const auto& [pair, r] : cases) {
        const double expected = pair->value(r);
        EXPECT_NEAR(compute_pair_core_repulsion_pm6(pair->a, pair->b, r), expected, 1e-12 * expected)
            << int(pair->a.atomic_number) << "-" << int(pair->b.atomic_number) << " at " << r;
        EXPECT_NEAR(compute_pair_core_repulsion_pm6(pair->b, pair->a, r), expected, 1e-12 * expected);
    }
    // At 0.4233 angstrom the H-H wall is 1e-8 / 0.21165^12 = 1.2376 eV of 27.87 eV.
    EXPECT_NEAR(hand_wall(h, h, 0.4233), 1.2376, 1e-4);
    EXPECT_NEAR(hh.value(0.4233), 27.867, 1e-3);

    // O-H and C-H: exp(-alpha R^2), pairs (1.260942, 0.192295) and (1.027806, 0.216506).
    for (const auto& [heavy, alpha, x, r] :
         {std::tuple{o, 1.260942, 0.192295, 0.96}, std::tuple{c, 1.027806, 0.216506, 1.09}}) {
        const double q = heavy.core_charge;
        const double expected = q * klopman_ohno(heavy, h, r) * (1 + 2 * x * std::exp(-alpha * r * r)) +
                                q / r * (one_gaussian(heavy, r) + one_gaussian(h, r)) + hand_wall(heavy, h, r);
        EXPECT_NEAR(compute_pair_core_repulsion_pm6(heavy, h, r), expected, 1e-12 * expected);
    }

    // An element outside the pair table (a stand-in Z 3 record without
    // Gaussians) takes 1 + 10 exp(-2.18 R).
    ElementParams li{};
    li.atomic_number = 3;
    li.core_charge = 1.0;
    li.g_ss = 5.0;
    const double cli = 4 * klopman_ohno(c, li, 2.0) * (1 + 10 * std::exp(-2.18 * 2.0)) +
                       4 / 2.0 * one_gaussian(c, 2.0) + hand_wall(c, li, 2.0);
    EXPECT_NEAR(compute_pair_core_repulsion_pm6(c, li, 2.0), cli, 1e-12 * cli);
}

TEST(CoreRepulsion, Pm6PairFunctionIsSmoothAndContinuousAtTheWallCut) {
    const ElementParams h = rec(kPm6, 1), c = rec(kPm6, 6), o = rec(kPm6, 8), si = rec(kPm6, 14);
    const HandPm6 pairs[] = {{h, h, 3.540942, 2.243587}, {c, c, 2.613713, 0.81351}, {si, o, 1.9236, 0.751095}};
    for (const HandPm6& p : pairs) {
        for (double r : {0.35, 0.6, 1.0, 1.5, 2.5, 3.2, 5.0}) {
            const double step = 1e-5;
            const double central = (compute_pair_core_repulsion_pm6(p.a, p.b, r + step) -
                                    compute_pair_core_repulsion_pm6(p.a, p.b, r - step)) /
                                   (2 * step);
            // Truncation (step^2 E''' / 6) and rounding stay below 1e-6 relative.
            EXPECT_NEAR(central, p.slope(r), 1e-6 * std::abs(p.slope(r)) + 1e-8)
                << int(p.a.atomic_number) << "-" << int(p.b.atomic_number) << " at " << r;
        }
        // The wall is cut at r = 3, where it is 1e-8 / 3^12 = 1.9e-14 eV: no visible step.
        const double cut = 3.0 * (std::cbrt(double(p.a.atomic_number)) + std::cbrt(double(p.b.atomic_number)));
        EXPECT_NEAR(compute_pair_core_repulsion_pm6(p.a, p.b, cut - 1e-12),
                    compute_pair_core_repulsion_pm6(p.a, p.b, cut + 1e-12), 1e-11);
    }
    // The wall stops at 1e5 eV, as under PM7.
    EXPECT_GT(compute_pair_core_repulsion_pm6(h, h, 1e-6), 1e5);
    EXPECT_LT(compute_pair_core_repulsion_pm6(h, h, 1e-6), 1e5 + 2 * e2 / 1e-6);
}

TEST(CoreRepulsion, Pm7HandValuesWallAndSevenAngstromSwitch) {
    const ElementParams h = rec(kPm7, 1), c = rec(kPm7, 6);
    const auto gauss = [](const ElementParams& p, double r) {
        const GaussianTerm& t = p.gaussians[0];
        return t.k * std::exp(-t.l * (r - t.m) * (r - t.m));
    };
    const auto blended_gamma = [](const ElementParams& a, const ElementParams& b, double r) {
        const double w = std::exp(-0.22 * (r - 7) * (r - 7));
        return w * e2 / r + (1 - w) * klopman_ohno(a, b, r);
    };
    // H-H at 1.5: pair (4.051163, 2.845627), wall 1e-8 / 0.75^12 (r / (1 + 1)).
    const double r = 1.5;
    const double hh = blended_gamma(h, h, r) * (1 + 2 * 2.845627 * std::exp(-4.051163 * (r + 0.0003 * std::pow(r, 6)))) +
                      (2 * gauss(h, r)) / r + 1e-8 / std::pow(0.75, 12);
    EXPECT_NEAR(compute_pair_core_repulsion_pm7(h, h, r), hh, 1e-12 * hh);
    // C-C at 1.5: pair (2.655746, 0.937818) plus the short-range C-C term.
    const double cc = 16 * blended_gamma(c, c, r) *
                          (1 + 2 * 0.937818 * std::exp(-2.655746 * (r + 0.0003 * std::pow(r, 6))) +
                           8.947612 * std::exp(-6.024265 * r)) +
                      16 / r * 2 * gauss(c, r) + 1e-8 / std::pow(1.5 / (2 * std::cbrt(6.0)), 12);
    EXPECT_NEAR(compute_pair_core_repulsion_pm7(c, c, r), cc, 1e-12 * cc);

    // At and beyond 7 angstrom the core integral is the bare e2 / R; the blend
    // meets it continuously.
    for (double far : {7.0, 9.0}) {
        const double expected = 4 * e2 / far * (1 + 2 * 0.204582 * std::exp(-1.038716 * far * far)) +
                                4 / far * (gauss(c, far) + gauss(h, far));
        EXPECT_NEAR(compute_pair_core_repulsion_pm7(c, h, far), expected, 1e-12 * expected);
    }
    EXPECT_NEAR(compute_pair_core_repulsion_pm7(c, h, 7.0 - 1e-9), compute_pair_core_repulsion_pm7(c, h, 7.0),
                5e-9);  // slope about -1.2 eV/angstrom times the 1e-9 step

    // The wall is capped at 1e5 eV and vanishes at reduced distance 3 (R = 6 for H-H).
    const double tiny = 1e-6;
    const double capped = compute_pair_core_repulsion_pm7(h, h, tiny);
    EXPECT_GT(capped, 1e5);
    EXPECT_LT(capped, 1e5 + 2 * e2 / tiny);
    const double just_below = compute_pair_core_repulsion_pm7(h, h, 6.0 - 1e-12);
    EXPECT_NEAR(just_below - compute_pair_core_repulsion_pm7(h, h, 6.0), 1e-8 / std::pow(3.0, 12), 1e-12);

    // Th, 98 and 102 have no pair parameters: 1 + 10 exp(-2.18 R) with the blended gamma.
    const ElementParams th = rec(kPm7, 90), x98 = rec(kPm7, 98);
    const double rt = 3.0;
    const double thx = 4 * blended_gamma(th, x98, rt) * (1 + 10 * std::exp(-2.18 * rt)) +
                       1e-8 / std::pow(rt / (std::cbrt(90.0) + std::cbrt(98.0)), 12);
    EXPECT_NEAR(compute_pair_core_repulsion_pm7(th, x98, rt), thx, 1e-12 * thx);
}

// Total energy (eV) of atoms each holding its spherically averaged valence
// occupation (s, p, d populations spread evenly over each shell), with the
// engine's NDDO core Hamiltonian, Fock builder and core-core term.
double spherical_atoms_energy(const ParameterModel& model, const std::vector<std::uint8_t>& z,
                              const std::vector<std::array<double, 3>>& xyz,
                              const std::vector<std::array<double, 3>>& shells) {
    const MolecularBatch mol = MolecularBatch::new_for_model(z, xyz, model);
    Matrix p = Matrix::zeros(mol.n_basis, mol.n_basis), h = p, f = p;
    for (std::size_t a = 0; a < z.size(); ++a) {
        const std::size_t first = mol.first_orbital[a];
        for (std::size_t k = 0; k < mol.orbitals_per_atom[a]; ++k)
            p(first + k, first + k) = k == 0 ? shells[a][0] : (k < 4 ? shells[a][1] / 3 : shells[a][2] / 5);
    }
    const auto pairs = precompute_diatomic_pairs(mol, model);
    build_hcore_nddo(mol, model, pairs, h);
    build_fock_nddo(mol, model, pairs, h, p, f);
    double electronic = 0.0;
    for (std::size_t i = 0; i < mol.n_basis; ++i)
        for (std::size_t j = 0; j < mol.n_basis; ++j) electronic += 0.5 * p(i, j) * (h(i, j) + f(i, j));
    return electronic + compute_total_core_repulsion(mol, model);
}

// Two neutral spherical atoms 5 to 6.5 angstrom apart interact only through
// the softening of their charge distributions, which decays as R^-3 and
// cancels at that order when one atom's core and electrons share one radius
// (H, C). A core radius in the core-core term other than the one in the
// electron-core attractions (Fe, whose d-element row gives its own core
// additive term) left 2-4 kcal/mol of attraction here.
TEST(CoreRepulsion, DistantNeutralAtomsDoNotAttract) {
    const std::array<double, 3> fe{2, 0, 6}, c{2, 2, 0}, h{1, 0, 0};
    struct Case {
        std::uint8_t za, zb;
        std::array<double, 3> a, b;
    };
    for (const Case& k : {Case{26, 6, fe, c}, Case{26, 1, fe, h}, Case{6, 1, c, h}}) {
        const double atoms = spherical_atoms_energy(kPm7, {k.za}, {{0, 0, 0}}, {k.a}) +
                             spherical_atoms_energy(kPm7, {k.zb}, {{0, 0, 0}}, {k.b});
        for (double r : {5.0, 6.5}) {
            const double e = spherical_atoms_energy(kPm7, {k.za, k.zb}, {{0, 0, 0}, {0.6 * r, 0, 0.8 * r}}, {k.a, k.b});
            EXPECT_NEAR((e - atoms) * kEvToKcalMol, 0.0, 0.05) << int(k.za) << "-" << int(k.zb) << " at " << r;
        }
    }
}

TEST(CoreRepulsion, TotalIsThePairSumOverAtomsWithRecords) {
    // CH3-NH-H with a lithium atom that MNDO has no record for.
    const std::vector<std::array<double, 3>> xyz = {{0, 0, 0},       {1.09, 0, 0},    {-0.36, 1.03, 0},
                                                    {-0.36, -0.5, 0.9}, {-0.7, -0.6, -1.2}, {-1.7, -0.4, -1.3},
                                                    {3.0, 3.0, 3.0}};
    const std::vector<std::uint8_t> z = {6, 1, 1, 1, 7, 1, 3};
    for (const ParameterModel* model : std::initializer_list<const ParameterModel*>{&kMndo, &kAm1, &kPm6, &kPm7}) {
        const auto mol = MolecularBatch::new_for_model(z, xyz, *model);
        double expected = 0.0;
        for (std::size_t i = 0; i < z.size(); ++i) {
            for (std::size_t j = i + 1; j < z.size(); ++j) {
                const auto a = model->get_element(z[i]), b = model->get_element(z[j]);
                if (!a || !b) continue;
                const double r = std::hypot(xyz[i][0] - xyz[j][0], xyz[i][1] - xyz[j][1], xyz[i][2] - xyz[j][2]);
                expected += model->pair_core_repulsion(*a, *b, r);
            }
        }
        EXPECT_NEAR(compute_total_core_repulsion(mol, *model), expected, 1e-10 * expected) << model->name();

        // Rigid rotation about z by 0.7 rad plus a translation, and reversed atom order.
        std::vector<std::array<double, 3>> moved(xyz.rbegin(), xyz.rend());
        for (auto& p : moved) {
            const double cs = std::cos(0.7), sn = std::sin(0.7);
            p = {cs * p[0] - sn * p[1] + 1.5, sn * p[0] + cs * p[1] - 2.0, p[2] + 0.25};
        }
        const auto mol2 = MolecularBatch::new_for_model({z.rbegin(), z.rend()}, moved, *model);
        EXPECT_NEAR(compute_total_core_repulsion(mol2, *model), expected, 1e-10 * expected) << model->name();
    }
    // Model dispatch: each model's pair function is its form.
    const ElementParams c = rec(kAm1, 6), h = rec(kAm1, 1);
    EXPECT_EQ(kAm1.pair_core_repulsion(c, h, 1.1), compute_pair_core_repulsion(c, h, 1.1));
    EXPECT_EQ(kPm6.pair_core_repulsion(rec(kPm6, 6), rec(kPm6, 1), 1.1),
              compute_pair_core_repulsion_pm6(rec(kPm6, 6), rec(kPm6, 1), 1.1));
    EXPECT_EQ(kPm7.pair_core_repulsion(rec(kPm7, 6), rec(kPm7, 1), 1.1),
              compute_pair_core_repulsion_pm7(rec(kPm7, 6), rec(kPm7, 1), 1.1));

    const std::vector<std::array<double, 3>> one = {{0, 0, 0}};
    EXPECT_EQ(compute_total_core_repulsion(MolecularBatch::new_for_model({6}, one, kMndo), kMndo), 0.0);
    EXPECT_EQ(compute_total_core_repulsion(MolecularBatch::new_for_model({}, {}, kMndo), kMndo), 0.0);
}

}  // namespace
}  // namespace quorin
