// Reaction field of the screening charges on the cavity.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <span>
#include <vector>

#include "core/integrals/multipole_params.h"
#include "core/ri/cholesky.h"
#include "core/solvation/cosmo.h"
#include "core/solvation/cosmo_gradient.h"
#include "core/types/constants.h"
#include "core/types/errors.h"

namespace quorin {
namespace {

constexpr double kSolventRadius = 1.30005;

MolecularBatch molecule(const ParameterModel& model, std::vector<std::uint8_t> z,
                        std::vector<std::array<double, 3>> xyz) {
    return MolecularBatch::new_for_model(std::move(z), xyz, model);
}

MolecularBatch water(const ParameterModel& model) {
    return molecule(model, {8, 1, 1}, {{0.006844, 0.397756, 0.0}, {-0.766778, -0.185743, 0.0}, {0.759933, -0.212013, 0.0}});
}

// Symmetric test density with every element non-zero (cross-atom blocks too),
// except one pair below the 1e-12 cut.
Matrix test_density(std::size_t n) {
    Matrix p = Matrix::zeros(n, n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) p(i, j) = 0.2 * std::cos(0.7 * (i + j) + 0.1 * i * j) + (i == j ? 0.9 : 0.0);
    if (n > 2) p(1, 2) = p(2, 1) = 5e-13;
    return p;
}

Matrix test_matrix(std::size_t n) {
    Matrix m = Matrix::zeros(n, n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) m(i, j) = std::sin(1.0 + i + j);
    return m;
}

template <typename F>
void expect_stop(F&& f, const std::string& message) {
    try {
        f();
        ADD_FAILURE() << "no stop, expected: " << message;
    } catch (const EngineStop& e) {
        EXPECT_EQ(std::string(e.what()).substr(0, message.size()), message);
    }
}

TEST(CosmoReactionField, DielectricFactor) {
    struct Case { double eps, f; };
    // -(eps - 1)/(eps + 1/2) above 1, no screening at or below 1.
    for (const Case& c : {Case{78.4, -77.4 / 78.9}, Case{2.0, -1.0 / 2.5}, Case{1.0, 0.0}, Case{0.5, 0.0},
                          Case{-3.0, 0.0}}) {
        EXPECT_DOUBLE_EQ(cosmo_dielectric_factor(c.eps), c.f) << c.eps;
    }
    EXPECT_NEAR(cosmo_dielectric_factor(1e12), -1.0, 1e-11);
}

// A point charge Q at the centre of a sphere of radius R: Gauss's law makes the
// conductor's surface charge -Q, and the Born energy of the ion is
// f(eps) e^2 Q^2 / (2R). The discrete surface reproduces both within a few per cent.
TEST(CosmoReactionField, LoneCoreScreeningFollowsGaussAndBorn) {
    Pm6Model model;
    for (std::uint8_t z : {1, 6, 8}) {
        SCOPED_TRACE(static_cast<int>(z));
        const MolecularBatch mol = molecule(model, {z}, {{0.4, -0.3, 0.2}});
        const CosmoState st = CosmoState::initialize(mol, model, 78.4, kSolventRadius);
        const double q_core = model.get_element(z)->core_charge;
        const double r = cosmo_atomic_radius_angstrom(z);
        const double f = cosmo_dielectric_factor(78.4);
        double q_sum = 0.0;
        for (double q : st.q_nuclear) q_sum += q;
        EXPECT_NEAR(q_sum, f * q_core, 0.03 * q_core);
        const double born = 0.5 * kCoulombEvAngstrom * f * q_core * q_core / r;
        EXPECT_NEAR(st.nuclear_energy, born, 0.03 * std::abs(born));
        // Monopole potential of the core on every segment of its own sphere.
        for (std::size_t s = 0; s < st.cavity.segments.size(); ++s) {
            EXPECT_NEAR(st.phi_nuclear[s], q_core / r, 1e-12);
            EXPECT_NEAR(st.b_element(0, 0, s), 1.0 / r, 1e-14);
        }
    }
}

// A neutral atom with a spherical valence shell (s^2 p^2 spread evenly over
// x, y, z) has no potential outside: the p quadrupole terms cancel in the sum
// over x, y, z, so the dielectric energy vanishes and the electronic field
// cancels the nuclear one.
TEST(CosmoReactionField, SphericalNeutralAtomFeelsNoField) {
    Pm6Model model;
    const MolecularBatch mol = molecule(model, {6}, {{0.0, 0.0, 0.0}});
    CosmoState st = CosmoState::initialize(mol, model, 78.4, kSolventRadius);
    Matrix p = Matrix::zeros(4, 4);
    p(0, 0) = 2.0;
    for (int k = 1; k < 4; ++k) p(k, k) = 2.0 / 3.0;
    Matrix h = Matrix::zeros(4, 4), fock = Matrix::zeros(4, 4);
    st.apply_nuclear_reaction_field_to_hcore(h);
    const double e = st.apply_electronic_reaction_field_to_fock(p, fock);
    EXPECT_NEAR(e, 0.0, 1e-12 * std::abs(st.nuclear_energy));
    for (std::size_t i = 0; i < 4; ++i)
        for (std::size_t j = 0; j < 4; ++j) EXPECT_NEAR(h(i, j) + fock(i, j), 0.0, 1e-11) << i << "," << j;
}

// The one-centre storage of B must reproduce, bit for bit, the reaction field
// of a dense B over all n^2 orbital pairs, built here from the multipole model.
TEST(CosmoReactionField, OneCentreStorageMatchesDenseForm) {
    Pm6Model model;
    const std::vector<MolecularBatch> mols{
        water(model),
        // H2S: sulfur carries d functions (monopole-only diagonal).
        molecule(model, {16, 1, 1}, {{0.0, 0.0, 0.1}, {0.96, 0.0, -0.83}, {-0.96, 0.0, -0.83}})};
    for (const MolecularBatch& mol : mols) {
        CosmoState st = CosmoState::initialize(mol, model, 78.4, kSolventRadius);
        const std::size_t n = mol.n_basis;
        const std::size_t m = st.cavity.segments.size();

        Matrix dense = Matrix::zeros(n * n, m);
        for (std::size_t s = 0; s < m; ++s) {
            const auto& pos = st.cavity.segments[s].position;
            for (std::size_t a = 0; a < mol.n_atoms; ++a) {
                const ElementParams el = *model.get_element(mol.atomic_numbers[a]);
                const std::size_t f0 = mol.first_orbital[a], k = mol.orbitals_per_atom[a];
                const double d[3] = {pos[0] - mol.x[a], pos[1] - mol.y[a], pos[2] - mol.z[a]};
                const double r = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
                auto at = [&](std::size_t i, std::size_t j) -> double& { return dense((f0 + i) * n + f0 + j, s); };
                for (std::size_t i = 0; i < k; ++i) at(i, i) = 1.0 / r;
                if (k < 4) continue;
                const DerivedMultipoleParams mp = DerivedMultipoleParams::from_element(el);
                const double dip = mp.d1 * kBohrToAngstrom, quad = mp.d2 * kBohrToAngstrom;
                for (int x = 0; x < 3; ++x) {
                    at(0, x + 1) = at(x + 1, 0) = dip * d[x] / std::pow(r, 3);
                    for (int y = 0; y < 3; ++y) {
                        at(x + 1, y + 1) = 3.0 * quad * quad * d[x] * d[y] / std::pow(r, 5) +
                                           (x == y ? 1.0 / r - quad * quad / std::pow(r, 3) : 0.0);
                    }
                }
            }
        }
        // Same values; afterwards the dense matrix takes the stored ones exactly.
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j)
                for (std::size_t s = 0; s < m; ++s) {
                    const double stored = st.b_element(i, j, s);
                    ASSERT_NEAR(stored, dense(i * n + j, s), 1e-13 * (1.0 + std::abs(stored)));
                    dense(i * n + j, s) = stored;
                }

        const double k_e = kCoulombEvAngstrom;
        const double f = cosmo_dielectric_factor(st.epsilon);
        Matrix h = test_matrix(n), h_ref = test_matrix(n);
        st.apply_nuclear_reaction_field_to_hcore(h);
        for (std::size_t i = 0; i < n * n; ++i) {
            double sum = 0.0;
            for (std::size_t s = 0; s < m; ++s) sum += dense(i, s) * st.q_nuclear[s];
            h_ref(i / n, i % n) += -k_e * sum;
        }

        const Matrix p = test_density(n);
        Matrix fock = test_matrix(n), fock_ref = test_matrix(n);
        const double e = st.apply_electronic_reaction_field_to_fock(p, fock);
        std::vector<double> phi(m), x(m), work(m), q(m);
        for (std::size_t s = 0; s < m; ++s) {
            double sum = 0.0;
            for (std::size_t i = 0; i < n * n; ++i)
                if (std::abs(p(i / n, i % n)) > 1e-12) sum += p(i / n, i % n) * dense(i, s);
            phi[s] = -sum;
        }
        solve_cholesky_system(st.cholesky_factor, phi, x, work);
        double e_ref = 0.0;
        for (std::size_t s = 0; s < m; ++s) {
            q[s] = f * x[s];
            e_ref += (st.q_nuclear[s] + q[s]) * (st.phi_nuclear[s] + phi[s]);
        }
        e_ref *= 0.5 * k_e;
        for (std::size_t i = 0; i < n * n; ++i) {
            double sum = 0.0;
            for (std::size_t s = 0; s < m; ++s) sum += dense(i, s) * q[s];
            fock_ref(i / n, i % n) += -k_e * sum;
        }

        EXPECT_EQ(e, e_ref);
        for (std::size_t s = 0; s < m; ++s) {
            EXPECT_EQ(st.phi_electronic[s], phi[s]);
            EXPECT_EQ(st.q_electronic[s], q[s]);
        }
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j) {
                EXPECT_EQ(h(i, j), h_ref(i, j));
                EXPECT_EQ(fock(i, j), fock_ref(i, j));
            }
    }
}

// The dielectric energy is quadratic in the density; its derivative with
// respect to each element P(mu nu) is the sum of the nuclear and electronic
// reaction fields added to H and F (zero for pairs on different atoms).
TEST(CosmoReactionField, FieldsAreTheDerivativeOfTheDielectricEnergy) {
    Pm6Model model;
    const MolecularBatch mol = water(model);
    const std::size_t n = mol.n_basis;
    CosmoState st = CosmoState::initialize(mol, model, 78.4, kSolventRadius);
    Matrix p = test_density(n);
    p(1, 2) = p(2, 1) = 0.05;
    Matrix field = Matrix::zeros(n, n), scratch = Matrix::zeros(n, n);
    st.apply_nuclear_reaction_field_to_hcore(field);
    st.apply_electronic_reaction_field_to_fock(p, field);
    const double h = 1e-3;
    for (auto [i, j] : std::vector<std::pair<std::size_t, std::size_t>>{{0, 0}, {0, 2}, {3, 1}, {2, 2}, {4, 4}, {0, 4}, {5, 1}}) {
        const double p0 = p(i, j);
        p(i, j) = p0 + h;
        const double e_plus = st.apply_electronic_reaction_field_to_fock(p, scratch);
        p(i, j) = p0 - h;
        const double e_minus = st.apply_electronic_reaction_field_to_fock(p, scratch);
        p(i, j) = p0;
        EXPECT_NEAR((e_plus - e_minus) / (2.0 * h), field(i, j), 1e-7 * (1.0 + std::abs(field(i, j))))
            << i << "," << j;
    }
}

// Segment areas of a cavity: equal lists mean the same segments, carried
// rigidly by their atoms.
std::vector<double> segment_areas(const CosmoState& st) {
    std::vector<double> areas;
    for (const CavitySegment& seg : st.cavity.segments) areas.push_back(seg.area);
    return areas;
}

// At a fixed density the dielectric energy is a function of the geometry
// alone; its gradient must equal central differences of the energy of a
// state built anew at each displaced geometry. A displacement that changes
// the cavity (a fine point crossing another sphere) makes the energy step and
// is left out; the molecules are chosen so that few or none do.
TEST(CosmoGradient, EqualsCentralDifferenceOfDielectricEnergyAtFixedDensity) {
    Pm6Model pm6;
    Am1Model am1;
    struct Case {
        const char* name;
        const ParameterModel& model;
        MolecularBatch mol;
        double eps;
    };
    const std::vector<Case> cases = {
        {"water PM6", pm6, water(pm6), 78.4},
        {"formaldehyde AM1", am1,
         molecule(am1, {6, 8, 1, 1}, {{0, 0, 0}, {0.02, 0.03, 1.22}, {0.94, 0.03, -0.56}, {-0.93, -0.02, -0.55}}), 4.8},
        // Sulfur carries d orbitals under PM6.
        {"hydrogen sulfide PM6", pm6, molecule(pm6, {16, 1, 1}, {{0, 0, 0.02}, {1.33, 0.05, 0}, {-0.1, 1.32, -0.03}}),
         78.4},
        // A hydrogen 0.725 angstrom from the carbon: one pair of their segments
        // interacts through the ball form.
        {"nested carbon and hydrogen PM6", pm6,
         molecule(pm6, {6, 1, 1}, {{0.0, 0.0, 0.0}, {0.725, 0.05, 0.02}, {-0.3, 1.0, 0.1}}), 78.4},
    };
    const double h = 1e-4;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MolecularBatch mol = c.mol;
        const Matrix p = test_density(mol.n_basis);
        CosmoState st = CosmoState::initialize(mol, c.model, c.eps, kSolventRadius);
        const std::vector<double> areas = segment_areas(st);
        std::vector<std::array<double, 3>> analytic(mol.n_atoms, {0.0, 0.0, 0.0});
        add_cosmo_gradient(mol, p, st, analytic);
        std::size_t compared = 0;
        for (std::size_t atom = 0; atom < mol.n_atoms; ++atom) {
            for (std::size_t axis = 0; axis < 3; ++axis) {
                double e[2];
                bool same_cavity = true;
                for (int side = 0; side < 2; ++side) {
                    MolecularBatch moved = mol;
                    moved.axis(axis)[atom] += side == 0 ? h : -h;
                    CosmoState displaced = CosmoState::initialize(moved, c.model, c.eps, kSolventRadius);
                    same_cavity = same_cavity && segment_areas(displaced) == areas;
                    e[side] = displaced.update_electronic_charges(p);
                }
                if (!same_cavity) continue;
                ++compared;
                const double numeric = (e[0] - e[1]) / (2.0 * h);
                EXPECT_NEAR(analytic[atom][axis], numeric, 1e-6 * (1.0 + std::abs(numeric)))
                    << "atom " << atom << " axis " << axis;
            }
        }
        EXPECT_GE(compared, 3 * mol.n_atoms - 6);
    }
    // Without screening there is no dielectric energy and nothing to add.
    MolecularBatch mol = water(pm6);
    CosmoState unit = CosmoState::initialize(mol, pm6, 1.0, kSolventRadius);
    std::vector<std::array<double, 3>> g(mol.n_atoms, {0.5, 0.5, 0.5});
    add_cosmo_gradient(mol, test_density(mol.n_basis), unit, g);
    for (const auto& row : g) EXPECT_EQ(row, (std::array<double, 3>{0.5, 0.5, 0.5}));
}

TEST(CosmoReactionField, NoScreeningAtOrBelowUnitPermittivity) {
    Pm6Model model;
    const MolecularBatch mol = water(model);
    const std::size_t n = mol.n_basis;
    for (double eps : {1.0, 0.5}) {
        CosmoState st = CosmoState::initialize(mol, model, eps, kSolventRadius);
        EXPECT_EQ(st.nuclear_energy, 0.0);
        Matrix h = test_matrix(n), fock = test_matrix(n);
        const Matrix before = test_matrix(n);
        st.apply_nuclear_reaction_field_to_hcore(h);
        EXPECT_EQ(st.apply_electronic_reaction_field_to_fock(test_density(n), fock), 0.0);
        for (std::size_t s = 0; s < st.q_electronic.size(); ++s) {
            EXPECT_EQ(st.q_nuclear[s], 0.0);
            EXPECT_EQ(st.q_electronic[s], 0.0);
        }
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j) {
                EXPECT_EQ(h(i, j), before(i, j));
                EXPECT_EQ(fock(i, j), before(i, j));
            }
    }
}

// Segments that nearly meet: two of one carbon of aniline 0.012 angstrom
// apart (a force-field geometry), and segments of different atoms: two
// hydrogens whose spheres interpenetrate while a negative solvent radius
// buries nothing, and a hydrogen 0.725 angstrom from a carbon, its sphere
// nearly touching the carbon's from inside. As point charges the first two
// made A indefinite. References: the same molecules turned by 0.01 rad
// screen the cores alike to the grid's resolution (0.4% for the hydrogens;
// turned, aniline has no nearly coincident segments); the coupling's closed
// forms, Coulomb and a point in a uniformly charged ball of radius r0, which
// at r = 0 is the self term of one segment holding both areas.
TEST(CosmoReactionField, SegmentsThatNearlyMeetKeepTheMatrixPositiveDefinite) {
    Pm6Model model;
    struct Case {
        const char* name;
        MolecularBatch mol;
        double solvent_radius;
    };
    const std::vector<Case> cases = {
        {"aniline",
         molecule(model, {7, 6, 6, 6, 6, 6, 6, 1, 1, 1, 1, 1, 1, 1},
                  {{2.27203, -0.35686, 0.31715}, {0.91402, -0.11855, 0.07268}, {0.30704, 1.04748, 0.54645},
                   {-1.07016, 1.24147, 0.41049}, {-1.8601, 0.24873, -0.16432}, {-1.27436, -0.94299, -0.58461},
                   {0.10335, -1.13153, -0.44617}, {2.68483, -1.03937, -0.31045}, {2.82776, 0.48961, 0.38605},
                   {0.90356, 1.81815, 1.02677}, {-1.52555, 2.16133, 0.76703}, {-2.93206, 0.39497, -0.26537},
                   {-1.88957, -1.73282, -1.0069}, {0.5392, -2.07964, -0.74881}}),
         kSolventRadius},
        {"interpenetrating hydrogens", molecule(model, {1, 1}, {{0.0, 0.0, 0.0}, {1.5, 0.0, 0.0}}), -0.9},
        {"nested carbon and hydrogen",
         molecule(model, {6, 1, 1}, {{0.0, 0.0, 0.0}, {0.725, 0.05, 0.02}, {-0.3, 1.0, 0.1}}), kSolventRadius},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CosmoState st = CosmoState::initialize(c.mol, model, 78.4, c.solvent_radius);
        MolecularBatch turned = c.mol;
        for (std::size_t a = 0; a < turned.n_atoms; ++a) {
            const double x = turned.x[a], y = turned.y[a];
            turned.x[a] = std::cos(0.01) * x - std::sin(0.01) * y;
            turned.y[a] = std::sin(0.01) * x + std::cos(0.01) * y;
        }
        const CosmoState reference = CosmoState::initialize(turned, model, 78.4, c.solvent_radius);
        EXPECT_NEAR(st.nuclear_energy, reference.nuclear_energy, 0.01 * std::abs(reference.nuclear_energy));
    }

    CavitySegment s, t;
    s.area = 0.3;
    t.area = 0.1;
    t.atom = 1;
    const double r0 = 1.5 * std::sqrt(0.4) / kSegmentSelfInteraction;
    EXPECT_DOUBLE_EQ(segment_coupling(s, t, 0.0).value, kSegmentSelfInteraction / std::sqrt(0.4));
    for (const double r : {r0 * (1.0 - 1e-9), r0 * (1.0 + 1e-9), 2.0 * r0}) {
        const SegmentCoupling c = segment_coupling(s, t, r);
        EXPECT_NEAR(c.value, 1.0 / r, 1e-8 / r);
        EXPECT_NEAR(c.slope_over_r, 1.0 / (r * r * r), 1e-8 / (r * r * r));
    }
}

TEST(CosmoReactionField, UnusableInputsStop) {
    Pm6Model model;
    const MolecularBatch mol = water(model);
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (double eps : {inf, -inf, nan}) {
        expect_stop([&] { CosmoState::initialize(mol, model, eps, kSolventRadius); },
                    "COSMO dielectric constant must be a finite number");
    }
    expect_stop([&] { CosmoState::initialize(mol, model, 78.4, nan); }, "COSMO solvent radius must be a finite number");
    expect_stop([&] { CosmoState::initialize(molecule(model, {}, {}), model, 78.4, kSolventRadius); },
                "Molecular batch cannot be empty for COSMO");
    // Matrices of the wrong size are refused.
    CosmoState st = CosmoState::initialize(mol, model, 78.4, kSolventRadius);
    Matrix small = Matrix::zeros(2, 2);
    expect_stop([&] { st.apply_nuclear_reaction_field_to_hcore(small); }, "Matrix rows must equal the basis size");
}

}  // namespace
}  // namespace quorin
