#include "core/integrals/pair_integrals.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <memory>
#include <vector>

#include "core/integrals/multipoles.h"
#include "tests/integrals/element_records.h"

namespace quorin {
namespace {

constexpr double kE2 = 14.399645478456;
constexpr double kEv = 27.211386245988;
constexpr double kBohr = 0.529177210903;

// MNDO H, C, N, O and PM6 S, Cl, Br, without d-element records; feathering
// switchable.
class TestModel final : public ParameterModel {
public:
    explicit TestModel(bool feathering) : feathering_(feathering) {}
    std::optional<ElementParams> get_element(std::uint8_t z) const override {
        switch (z) {
            case 1:
            case 6:
            case 7:
            case 8: return test::mndo(z);
            case 16:
            case 17:
            case 35: return test::pm6(z);
            default: return std::nullopt;
        }
    }
    std::string_view name() const override { return "test"; }
    bool use_feathering() const override { return feathering_; }

private:
    bool feathering_;
};

MolecularBatch molecule(std::vector<std::uint8_t> z, const std::vector<std::array<double, 3>>& xyz,
                        std::vector<std::uint8_t> basis) {
    return MolecularBatch::new_with_basis(std::move(z), xyz, std::move(basis));
}

TEST(PairIntegrals, HydrogenMoleculeByHand) {
    const auto mol = molecule({1, 1}, {{0.0, 0.0, 0.0}, {0.0, 0.0, 0.74}}, {1, 1});
    const auto table = precompute_diatomic_pairs(mol, TestModel(false));
    ASSERT_EQ(table.size(), 1u);
    const DiatomicPairIntegrals& rec = table[0];
    EXPECT_EQ(rec.atom_a, 1u);
    EXPECT_EQ(rec.atom_b, 0u);
    EXPECT_EQ(rec.first_orbital_a, 1u);
    EXPECT_EQ(rec.first_orbital_b, 0u);
    ASSERT_EQ(rec.w.size(), 100u);
    ASSERT_EQ(rec.e1b.size(), 10u);
    ASSERT_EQ(rec.e2a.size(), 10u);
    // Klopman-Ohno (ss|ss) with rho0 = 1/(2 g_ss) in atomic units on both atoms.
    const double rho0 = 0.5 * kEv / 12.848;
    const double gamma = kEv / std::sqrt(std::pow(0.74 / kBohr, 2) + 4.0 * rho0 * rho0);
    EXPECT_NEAR(rec.w[0], gamma, 1e-12);
    for (std::size_t k = 1; k < 100; ++k) EXPECT_EQ(rec.w[k], 0.0);
    EXPECT_NEAR(rec.e1b[0], -gamma, 1e-12);
    EXPECT_NEAR(rec.e2a[0], -gamma, 1e-12);
    for (std::size_t k = 1; k < 10; ++k) EXPECT_EQ(rec.e1b[k] + rec.e2a[k], 0.0);
}

// Records exist for i > j in order, skipping atoms without parameters and
// coincident atoms; a single atom gives none.
TEST(PairIntegrals, RecordOrderAndSkippedAtoms) {
    const auto mol = molecule({6, 1, 2, 8, 1}, {{0, 0, 0}, {1.1, 0, 0}, {0, 2, 0}, {0, 0, 1.2}, {0, 0, 1.2}},
                              {4, 1, 4, 4, 1});
    const auto table = precompute_diatomic_pairs(mol, TestModel(false));
    const std::vector<std::pair<std::size_t, std::size_t>> expected = {{1, 0}, {3, 0}, {3, 1}, {4, 0}, {4, 1}};
    ASSERT_EQ(table.size(), expected.size());
    for (std::size_t k = 0; k < table.size(); ++k) {
        EXPECT_EQ(table[k].atom_a, expected[k].first);
        EXPECT_EQ(table[k].atom_b, expected[k].second);
        EXPECT_EQ(table[k].norb_a, mol.orbitals_per_atom[expected[k].first]);
        EXPECT_EQ(table[k].first_orbital_a, mol.first_orbital[expected[k].first]);
        EXPECT_EQ(table[k].first_orbital_b, mol.first_orbital[expected[k].second]);
    }
    const auto single = molecule({6}, {{0, 0, 0}}, {4});
    EXPECT_TRUE(precompute_diatomic_pairs(single, TestModel(true)).empty());
}

// Feathering blends every integral linearly towards the point-charge limit:
// W_f = w W + (1 - w) (e^2/R) [mu = nu][lambda = sigma] in any orientation,
// and from 7 angstrom on only the point-charge part is left.
TEST(PairIntegrals, FeatheringBlendsTowardsPointCharges) {
    for (double r : {1.4, 3.0, 6.9, 7.0, 8.0}) {
        const std::array<double, 3> dir = {0.48, -0.6, 0.64};
        const auto mol = molecule({6, 7}, {{0, 0, 0}, {r * dir[0], r * dir[1], r * dir[2]}}, {4, 4});
        const auto plain = precompute_diatomic_pairs(mol, TestModel(false));
        const auto feathered = precompute_diatomic_pairs(mol, TestModel(true));
        ASSERT_EQ(feathered.size(), 1u);
        const double w = r < 7.0 ? 1.0 - std::exp(-0.22 * (r - 7.0) * (r - 7.0)) : 0.0;
        const double g = kE2 / r;
        const auto diag = [](std::size_t p) { return p == 0 || p == 2 || p == 5 || p == 9; };
        for (std::size_t p = 0; p < 10; ++p) {
            for (std::size_t q = 0; q < 10; ++q) {
                const double expect = w * plain[0].w[p * 10 + q] + (diag(p) && diag(q) ? (1.0 - w) * g : 0.0);
                EXPECT_NEAR(feathered[0].w[p * 10 + q], expect, 1e-12) << r << " " << p << " " << q;
            }
            // A (nitrogen, index 1) attracted by carbon's core and vice versa.
            EXPECT_NEAR(feathered[0].e1b[p], w * plain[0].e1b[p] - (diag(p) ? (1.0 - w) * 4.0 * g : 0.0), 1e-12);
            EXPECT_NEAR(feathered[0].e2a[p], w * plain[0].e2a[p] - (diag(p) ? (1.0 - w) * 5.0 * g : 0.0), 1e-12);
        }
    }
}

using Vec3 = std::array<double, 3>;
using Mat3 = std::array<Vec3, 3>;
using Form = Mat3;

Mat3 rotation_matrix(Vec3 axis, double angle) {
    const double n = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
    for (double& c : axis) c /= n;
    const double c = std::cos(angle), s = std::sin(angle), t = 1.0 - c;
    const double x = axis[0], y = axis[1], z = axis[2];
    return {{{t * x * x + c, t * x * y - s * z, t * x * z + s * y},
             {t * x * y + s * z, t * y * y + c, t * y * z - s * x},
             {t * x * z - s * y, t * y * z + s * x, t * z * z + c}}};
}

// Orbital transformation of a rigid rotation Q for s, p, d: the rotated
// orbital nu is sum over mu of U[mu][nu] times orbital mu. d functions are
// represented by their normalised symmetric traceless forms.
std::array<std::array<double, 9>, 9> orbital_rotation(const Mat3& q) {
    const auto outer = [](int i, int j, int k, int l, double f) {
        Form m{};
        m[i][j] += f, m[j][i] += f;
        if (k >= 0) m[k][l] -= f, m[l][k] -= f;
        return m;
    };
    const double h = 0.5 / std::sqrt(2.0);
    std::array<Form, 5> forms = {outer(0, 0, 1, 1, h), outer(0, 2, -1, -1, 1.0 / std::sqrt(2.0)), Form{},
                                 outer(1, 2, -1, -1, 1.0 / std::sqrt(2.0)), outer(0, 1, -1, -1, 1.0 / std::sqrt(2.0))};
    forms[2] = {{{-1.0 / std::sqrt(6.0), 0, 0}, {0, -1.0 / std::sqrt(6.0), 0}, {0, 0, 2.0 / std::sqrt(6.0)}}};
    std::array<std::array<double, 9>, 9> u{};
    u[0][0] = 1.0;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) u[i + 1][j + 1] = q[i][j];
    for (int mu = 0; mu < 5; ++mu)
        for (int nu = 0; nu < 5; ++nu) {
            double dot = 0.0;  // <F_mu, Q F_nu Q^T>
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j) {
                    double rotated = 0.0;
                    for (int k = 0; k < 3; ++k)
                        for (int l = 0; l < 3; ++l) rotated += q[i][k] * forms[nu][k][l] * q[j][l];
                    dot += forms[mu][i][j] * rotated;
                }
            u[mu + 4][nu + 4] = dot;
        }
    return u;
}

using Density9 = std::array<std::array<double, 9>, 9>;

Density9 sample_density(double seed) {
    Density9 p{};
    for (int i = 0; i < 9; ++i)
        for (int j = 0; j <= i; ++j) p[i][j] = p[j][i] = std::sin(seed * (1 + 3 * i + 7 * j)) + (i == j ? 1.0 : 0.0);
    return p;
}

Density9 rotate_density(const std::array<std::array<double, 9>, 9>& u, const Density9& p, std::size_t n) {
    Density9 out{};
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j)
            for (std::size_t k = 0; k < n; ++k)
                for (std::size_t l = 0; l < n; ++l) out[i][j] += u[i][k] * p[k][l] * u[j][l];
    return out;
}

// Two-centre energy of the record: Coulomb of the two densities plus each
// density in the other core's field.
double pair_energy(const DiatomicPairIntegrals& rec, const Density9& pa, const Density9& pb) {
    const std::size_t nb_pairs = n_pairs(rec.norb_b);
    double e = 0.0;
    for (std::size_t mu = 0; mu < rec.norb_a; ++mu)
        for (std::size_t nu = 0; nu < rec.norb_a; ++nu) {
            e += pa[mu][nu] * rec.e1b[packed_pair_index(mu, nu)];
            for (std::size_t la = 0; la < rec.norb_b; ++la)
                for (std::size_t si = 0; si < rec.norb_b; ++si)
                    e += pa[mu][nu] * pb[la][si] * rec.w[packed_pair_index(mu, nu) * nb_pairs + packed_pair_index(la, si)];
        }
    for (std::size_t la = 0; la < rec.norb_b; ++la)
        for (std::size_t si = 0; si < rec.norb_b; ++si) e += pb[la][si] * rec.e2a[packed_pair_index(la, si)];
    return e;
}

struct DCase {
    const char* name;
    std::uint8_t za, zb;  // za is the second atom (index 1), the record's atom A
    std::uint8_t na, nb;
    Vec3 v;               // from A to B
    bool pm7;
};

const DCase kDCases[] = {
    {"C-O", 6, 8, 4, 4, {0.7, -0.4, 1.0}, false},
    {"H-Cl(sp)", 1, 17, 1, 4, {1.1, 0.2, -0.6}, false},
    {"N-H feathered", 7, 1, 4, 1, {-0.5, 0.3, 0.6}, true},
    {"Cl(9)-C", 17, 6, 9, 4, {0.9, -1.1, 0.8}, false},
    {"C-Br(9)", 6, 35, 4, 9, {-1.0, 0.7, 1.2}, false},
    {"S(9)-Cl(9)", 16, 17, 9, 9, {1.2, 0.9, -0.9}, false},
    {"H-S(9)", 1, 16, 1, 9, {0.5, 0.9, -0.7}, false},
    {"Cl(9)-C feathered", 17, 6, 9, 4, {0.9, -1.1, 0.8}, true},
    {"S(9)-Br(9) feathered", 16, 35, 9, 9, {-1.5, 0.6, 1.1}, true},
    {"Fe-C PM7", 26, 6, 9, 4, {1.1, 0.8, -1.0}, true},
    {"H-Fe PM7", 1, 26, 1, 9, {-0.6, 0.9, 1.0}, true},
};

std::vector<DiatomicPairIntegrals> d_pair(const DCase& c, const Vec3& v, bool swap = false) {
    const TestModel test_model(c.pm7);
    const Pm7Model pm7;
    const ParameterModel& model = (c.za == 26 || c.zb == 26) ? static_cast<const ParameterModel&>(pm7) : test_model;
    // A is the atom with the larger index.
    if (!swap) return precompute_diatomic_pairs(molecule({c.zb, c.za}, {{0, 0, 0}, {-v[0], -v[1], -v[2]}}, {c.nb, c.na}), model);
    return precompute_diatomic_pairs(molecule({c.za, c.zb}, {{0, 0, 0}, {v[0], v[1], v[2]}}, {c.na, c.nb}), model);
}

// The electrostatic energy of two atoms' densities and cores is the same in
// every orientation: rotating the pair and the s, p and d densities together
// leaves it unchanged (also onto the +z and -z axes), with and without the
// PM7 treatment.
TEST(PairIntegrals, EnergyIsInvariantUnderRigidRotation) {
    const Density9 pa = sample_density(0.61), pb = sample_density(1.37);
    for (const DCase& c : kDCases) {
        const auto ref = d_pair(c, c.v);
        ASSERT_EQ(ref.size(), 1u) << c.name;
        ASSERT_GE(ref[0].w.size(), n_pairs(c.na) * n_pairs(c.nb)) << c.name;
        const double e_ref = pair_energy(ref[0], pa, pb);
        const double len = std::sqrt(c.v[0] * c.v[0] + c.v[1] * c.v[1] + c.v[2] * c.v[2]);
        const Vec3 u = {c.v[0] / len, c.v[1] / len, c.v[2] / len};
        const Mat3 rotations[] = {rotation_matrix({1.0, -2.0, 0.4}, 1.1), rotation_matrix({u[1], -u[0], 0.0}, std::acos(u[2])),
                                  rotation_matrix({u[1], -u[0], 0.0}, std::acos(u[2]) - M_PI)};
        for (const Mat3& q : rotations) {
            Vec3 v2{};
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j) v2[i] += q[i][j] * c.v[j];
            const auto rot = d_pair(c, v2);
            const auto uq = orbital_rotation(q);
            const double e = pair_energy(rot[0], rotate_density(uq, pa, c.na), rotate_density(uq, pb, c.nb));
            EXPECT_NEAR(e, e_ref, 1e-9 * std::abs(e_ref)) << c.name;
        }
    }
}

// Exchanging which atom is A transposes W and swaps e1b and e2a.
TEST(PairIntegrals, SwappingAtomsTransposesW) {
    for (const DCase& c : kDCases) {
        const auto ab = d_pair(c, c.v);
        const auto ba = d_pair(c, c.v, true);
        const std::size_t pa = n_pairs(c.na), pb = n_pairs(c.nb);
        ASSERT_EQ(ba[0].norb_a, c.nb);
        for (std::size_t p = 0; p < pa; ++p) {
            for (std::size_t q = 0; q < pb; ++q) EXPECT_NEAR(ab[0].w[p * pb + q], ba[0].w[q * pa + p], 1e-10) << c.name;
            EXPECT_NEAR(ab[0].e1b[p], ba[0].e2a[p], 1e-10) << c.name;
        }
        for (std::size_t q = 0; q < pb; ++q) EXPECT_NEAR(ab[0].e2a[q], ba[0].e1b[q], 1e-10) << c.name;
    }
}

// Without d-element records the d path describes the s and p charge
// distributions exactly as the sp path does: the sp part of W and the
// electron-core vectors agree with the same pair built with four orbitals.
TEST(PairIntegralsDOrbitals, SpPartAgreesWithSpPath) {
    for (const DCase& c : kDCases) {
        if (c.za == 26 || c.zb == 26 || (c.na < 9 && c.nb < 9)) continue;
        const auto d = d_pair(c, c.v);
        DCase sp = c;
        sp.na = std::min<std::uint8_t>(c.na, 4);
        sp.nb = std::min<std::uint8_t>(c.nb, 4);
        const auto ref = d_pair(sp, c.v);
        const std::size_t pa = n_pairs(sp.na), pb = n_pairs(sp.nb), pb_d = n_pairs(c.nb);
        for (std::size_t p = 0; p < pa; ++p)
            for (std::size_t q = 0; q < pb; ++q)
                EXPECT_NEAR(d[0].w[p * pb_d + q], ref[0].w[p * pb + q], 1e-10) << c.name << " " << p << "," << q;
        // Under feathering the PM7 shell averaging also moves the p-shell core
        // attraction of a d atom; the other atom's vector is untouched.
        for (std::size_t p = 0; p < pa; ++p)
            if (!c.pm7 || c.na < 9) {
                EXPECT_NEAR(d[0].e1b[p], ref[0].e1b[p], 1e-10) << c.name;
            }
        for (std::size_t q = 0; q < pb; ++q)
            if (!c.pm7 || c.nb < 9) {
                EXPECT_NEAR(d[0].e2a[q], ref[0].e2a[q], 1e-10) << c.name;
            }
    }
}

// A hydrogen core is the same point charge as hydrogen's s distribution, so
// the attraction of the partner's orbital pairs by it is minus the
// repulsion with hydrogen's (ss): e1b = -Z_H W[:, ss] when B is hydrogen and
// e2a = -Z_H W[ss, :] when A is; for d atoms with and without d-element
// records and the PM7 shell averaging. (With a d-element record the sp core
// terms use that record's fitted lengths while W's sp cells use the element
// fit; the two fits agree to about 1e-10 eV.)
TEST(PairIntegralsDOrbitals, HydrogenCoreAttractionEqualsRepulsionWithItsCharge) {
    struct Case {
        std::uint8_t z;
        std::uint8_t norb;
        bool pm7;
    };
    const Case cases[] = {{16, 9, false}, {35, 9, true}, {26, 9, true}, {8, 4, false}, {6, 4, true}};
    for (const Case& c : cases) {
        const TestModel test_model(c.pm7);
        const Pm7Model pm7;
        const ParameterModel& model = c.z == 26 ? static_cast<const ParameterModel&>(pm7) : test_model;
        const std::vector<std::array<double, 3>> xyz = {{0.0, 0.0, 0.0}, {0.8, -0.9, 1.1}};
        const auto h_is_a = precompute_diatomic_pairs(molecule({c.z, 1}, xyz, {c.norb, 1}), model);
        const auto h_is_b = precompute_diatomic_pairs(molecule({1, c.z}, xyz, {1, c.norb}), model);
        ASSERT_EQ(h_is_a.size(), 1u);
        ASSERT_EQ(h_is_b.size(), 1u);
        const std::size_t np = n_pairs(c.norb);
        for (std::size_t p = 0; p < np; ++p) {
            EXPECT_NEAR(h_is_a[0].e2a[p], -h_is_a[0].w[p], 1e-8) << int(c.z) << " " << p;
            EXPECT_NEAR(h_is_b[0].e1b[p], -h_is_b[0].w[p], 1e-8) << int(c.z) << " " << p;
        }
    }
}

// Under feathering beyond 7 angstrom only point charges remain, for d pairs too.
TEST(PairIntegralsDOrbitals, FeatheredLongRangeIsPointCharges) {
    const double r = 7.5;
    const auto table = precompute_diatomic_pairs(molecule({17, 16}, {{0, 0, 0}, {r * 0.6, 0.0, r * 0.8}}, {9, 9}),
                                                 TestModel(true));
    ASSERT_EQ(table.size(), 1u);
    const auto diagonal = [](std::size_t p) {
        for (std::size_t mu = 0; mu < 9; ++mu)
            if (packed_pair_index(mu, mu) == p) return true;
        return false;
    };
    for (std::size_t p = 0; p < 45; ++p) {
        for (std::size_t q = 0; q < 45; ++q)
            EXPECT_NEAR(table[0].w[p * 45 + q], diagonal(p) && diagonal(q) ? kE2 / r : 0.0, 1e-12) << p << "," << q;
        EXPECT_NEAR(table[0].e1b[p], diagonal(p) ? -7.0 * kE2 / r : 0.0, 1e-12);
        EXPECT_NEAR(table[0].e2a[p], diagonal(p) ? -6.0 * kE2 / r : 0.0, 1e-12);
    }
}

// One record and one scratch refilled for every pair reproduce the table bit
// for bit. Pairs are visited from the last to the first, so the record moves
// between 45 x 45 d blocks and 10 x 10 sp blocks, and the scratch starts as
// NaN, so a block read before it is written would show. Pairs the table
// leaves out (no parameters, coincident atoms) return false and leave the
// record as it was; once reserved for the largest pair the record never
// reallocates.
TEST(PairIntegrals, SinglePairEntryReproducesTable) {
    const Pm6Model pm6;
    const Pm7Model pm7;
    const TestModel feathered(true);
    struct Case {
        const ParameterModel* model;
        std::vector<std::uint8_t> z;
        std::vector<std::array<double, 3>> xyz;
        std::vector<std::uint8_t> basis;  // empty: the model's orbital counts
    };
    const std::vector<Case> cases = {
        // ClCH2-SH next to a water molecule; S and Cl carry d orbitals under PM6.
        {&pm6,
         {17, 6, 1, 1, 16, 1, 8, 1, 1},
         {{0, 0, 0}, {1.78, 0.05, 0.02}, {2.12, 1.08, 0.05}, {2.10, -0.48, 0.91}, {2.40, -0.85, -1.45},
          {3.72, -0.70, -1.35}, {-1.2, 2.6, 1.1}, {-0.4, 2.9, 1.5}, {-1.9, 3.1, 1.5}},
         {}},
        // Fe(CH3)2 under PM7: d integrals with feathering.
        {&pm7,
         {26, 6, 6, 1, 1, 1, 1, 1, 1},
         {{0, 0, 0}, {1.98, 0.05, 0}, {-1.97, 0.02, 0.06}, {2.35, 1.07, 0.02}, {2.37, -0.48, 0.88},
          {2.36, -0.47, -0.89}, {-2.36, 1.03, 0.10}, {-2.33, -0.52, 0.93}, {-2.38, -0.47, -0.84}},
         {}},
        // Helium has no record here; the last oxygen sits on the first one.
        {&feathered,
         {8, 2, 17, 1, 8},
         {{0, 0, 0}, {0, 1.5, 0}, {1.7, 0.3, -0.2}, {-0.6, -0.7, 0.1}, {0, 0, 0}},
         {4, 4, 9, 1, 4}},
    };
    for (std::size_t c = 0; c < cases.size(); ++c) {
        const Case& cs = cases[c];
        const MolecularBatch mol = cs.basis.empty() ? MolecularBatch::new_for_model(cs.z, cs.xyz, *cs.model)
                                                    : molecule(cs.z, cs.xyz, cs.basis);
        const std::vector<DiatomicPairIntegrals> table = precompute_diatomic_pairs(mol, *cs.model);
        const std::vector<PairAtomData> atoms = prepare_pair_atoms(mol, *cs.model);
        auto scratch = std::make_unique<PairIntegralScratch>();
        scratch->local.fill(std::nan(""));
        scratch->half.fill(std::nan(""));
        scratch->w.fill(std::nan(""));
        DiatomicPairIntegrals rec;
        rec.w.reserve(45 * 45);
        rec.e1b.reserve(45);
        rec.e2a.reserve(45);
        const double* const w_data = rec.w.data();
        const double* const e1b_data = rec.e1b.data();
        const double* const e2a_data = rec.e2a.data();

        std::size_t k = table.size();
        for (std::size_t i = mol.n_atoms; i-- > 0;) {
            for (std::size_t j = i; j-- > 0;) {
                const bool listed = k > 0 && table[k - 1].atom_a == i && table[k - 1].atom_b == j;
                const std::vector<double> w_before = rec.w;
                ASSERT_EQ(compute_diatomic_pair(mol, *cs.model, i, j, atoms[i], atoms[j], rec, *scratch), listed)
                    << c << ": " << i << "," << j;
                if (!listed) {
                    EXPECT_EQ(rec.w, w_before);
                    continue;
                }
                const DiatomicPairIntegrals& ref = table[--k];
                EXPECT_EQ(rec.w, ref.w) << c << ": " << i << "," << j;
                EXPECT_EQ(rec.e1b, ref.e1b) << c << ": " << i << "," << j;
                EXPECT_EQ(rec.e2a, ref.e2a) << c << ": " << i << "," << j;
                EXPECT_EQ(rec.norb_a, ref.norb_a);
                EXPECT_EQ(rec.norb_b, ref.norb_b);
                EXPECT_EQ(rec.first_orbital_a, ref.first_orbital_a);
                EXPECT_EQ(rec.first_orbital_b, ref.first_orbital_b);
                EXPECT_EQ(rec.w.data(), w_data);
                EXPECT_EQ(rec.e1b.data(), e1b_data);
                EXPECT_EQ(rec.e2a.data(), e2a_data);
            }
        }
        EXPECT_EQ(k, 0u) << c;
    }
}

}  // namespace
}  // namespace quorin
