#include "core/pbc/bloch_scf.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <tuple>

#include "common/geometry.h"
#include "core/gradients/heat_of_formation.h"
#include "core/scf/blas.h"
#include "core/scf/scf_loop.h"
#include "core/types/errors.h"
#include "common/molecules.h"
#include "common/scf.h"

namespace quorin {
namespace {

using fixtures::Geometry;

struct PeriodicRun {
    PbcResult result;
    PbcWorkspace workspace;
};

PbcConfig config_for(std::vector<Vec3> vectors, std::array<std::uint64_t, 3> mers, std::array<std::uint64_t, 3> k) {
    PbcConfig config;
    config.cell = std::get<UnitCell>(UnitCell::from_translation_vectors(vectors, vectors.size()));
    config.mers = mers;
    config.k_grid = k;
    return config;
}

PeriodicRun run(const Geometry& g, const ParameterModel& model, const PbcConfig& config) {
    PeriodicRun r;
    const MolecularBatch cell = fixtures::make_molecule(g, model);
    auto outcome = run_pbc_scf(cell, model, config, r.workspace);
    if (const auto* refusal = std::get_if<std::string>(&outcome)) ADD_FAILURE() << *refusal;
    else r.result = std::get<PbcResult>(outcome);
    return r;
}

// Trans-polyacetylene, one C2H2 unit per 2.455 angstrom along x, bonds 1.38 and 1.45.
Geometry polyacetylene() {
    return {{6, 6, 1, 1}, {{{0, 0, 0}}, {{1.19, 0.70, 0}}, {{0, -1.09, 0}}, {{1.19, 1.79, 0}}}};
}
constexpr double kPolyacetyleneRepeat = 2.455;

// Hydrogen chain of H2 units: bonds 0.8 and 1.2 angstrom.
Geometry dimerised_hydrogen_chain() { return {{1, 1}, {{{0, 0, 0}}, {{0.8, 0, 0}}}}; }

double band_width(const PbcResult& r, std::size_t band) {
    double lo = r.band_energies[0][band], hi = lo;
    for (const auto& bands : r.band_energies) {
        lo = std::min(lo, bands[band]);
        hi = std::max(hi, bands[band]);
    }
    return hi - lo;
}

ScfResult molecular_scf(const Geometry& g, const ParameterModel& model) {
    return fixtures::run_scf(fixtures::make_molecule(g, model), model, 200, 1e-9, 1e-8).result;
}

// With one translation and one k-point the Bloch SCF is the molecular SCF of
// the cell: same energy, flat bands, band edges at the HOMO and LUMO.
TEST(BlochScf, SingleCellReproducesTheMolecularScfForEveryMethod) {
    const std::unique_ptr<ParameterModel> models[] = {
        std::make_unique<MndoModel>(), std::make_unique<Am1Model>(), std::make_unique<Pm3Model>(),
        std::make_unique<Rm1Model>(),  std::make_unique<Pm6Model>(), std::make_unique<Pm7Model>()};
    for (const auto& model : models) {
        const Geometry g = model->name() == "PM7" ? fixtures::methane() : fixtures::water();
        const ScfResult reference = molecular_scf(g, *model);
        ASSERT_TRUE(reference.converged);
        PbcConfig config = config_for({{60, 0, 0}}, {1, 1, 1}, {1, 1, 1});
        config.max_iter = 400;
        config.energy_tol = 1e-9;
        config.density_tol = 1e-7;  // orbital energies carry the density error to first order
        const PeriodicRun r = run(g, *model, config);
        EXPECT_TRUE(r.result.converged) << model->name();
        EXPECT_NEAR(r.result.total_energy, reference.total_energy, 1e-4) << model->name();
        EXPECT_NEAR(r.result.vbm, reference.homo, 1e-4) << model->name();
        EXPECT_NEAR(r.result.cbm, reference.lumo, 1e-4) << model->name();
        EXPECT_NEAR(band_width(r.result, 0), 0.0, 1e-9);
    }
}

// 40 angstrom apart, neutral copies barely interact: the energy per cell is
// the molecule's and the bands are flat.
TEST(BlochScf, MoleculeInALargeCellMatchesTheIsolatedMolecule) {
    const MndoModel mndo;
    const Am1Model am1;
    const std::pair<Geometry, const ParameterModel*> cases[] = {
        {fixtures::water(), &mndo}, {fixtures::ladder_molecule("benzene"), &am1}};
    for (const auto& [g, model] : cases) {
        const ScfResult reference = molecular_scf(g, *model);
        const PeriodicRun r = run(g, *model, config_for({{40, 0, 0}}, {3, 1, 1}, {4, 1, 1}));
        ASSERT_TRUE(r.result.converged);
        const MolecularBatch molecule = fixtures::make_molecule(g, *model);
        EXPECT_NEAR(r.result.total_energy, reference.total_energy, 1e-3);
        EXPECT_NEAR(r.result.heat_of_formation,
                    compute_heat_of_formation_kcal_mol(molecule, *model, reference.total_energy), 0.05);
        for (std::size_t b = 0; b < molecule.n_basis; ++b) EXPECT_LT(band_width(r.result, b), 1e-3) << b;
    }
}

// The cluster of copies is a finite approximation: the energy per cell must
// settle as more copies are kept.
TEST(BlochScf, PolyacetyleneEnergyConvergesWithTheNumberOfCopies) {
    const Am1Model am1;
    double energies[2] = {};
    const std::uint64_t copies[2] = {9, 11};
    for (int i = 0; i < 2; ++i) {
        const PbcConfig config = config_for({{kPolyacetyleneRepeat, 0, 0}}, {copies[i], 1, 1}, {16, 1, 1});
        const PeriodicRun r = run(polyacetylene(), am1, config);
        ASSERT_TRUE(r.result.converged);
        energies[i] = r.result.total_energy;
    }
    EXPECT_LT(std::fabs(energies[1] - energies[0]), 1e-3);
}

// Gaps converge with k sampling, are ordered direct >= indirect >= 0, and do
// not depend on where the cell sits or on the sign of the lattice vector.
TEST(BlochScf, BandGapsConvergeAndAreInvariantUnderRelabellingTheLattice) {
    const Pm3Model pm3;
    struct Chain {
        Geometry g;
        double repeat;
    };
    const Chain chains[] = {{dimerised_hydrogen_chain(), 2.0}, {polyacetylene(), kPolyacetyleneRepeat}};
    for (const Chain& chain : chains) {
        const PeriodicRun coarse = run(chain.g, pm3, config_for({{chain.repeat, 0, 0}}, {5, 1, 1}, {32, 1, 1}));
        const PeriodicRun fine = run(chain.g, pm3, config_for({{chain.repeat, 0, 0}}, {5, 1, 1}, {64, 1, 1}));
        EXPECT_LT(std::fabs(fine.result.band_gap - coarse.result.band_gap), 1e-3);
        EXPECT_LT(std::fabs(fine.result.direct_gap - coarse.result.direct_gap), 1e-3);
        EXPECT_GE(fine.result.direct_gap, fine.result.band_gap);
        EXPECT_GT(fine.result.band_gap, 0.0);

        const Geometry shifted = fixtures::moved(chain.g, fixtures::rotation_matrix({0, 0, 1}, 0.0), {0.37, -1.1, 2.3});
        const PeriodicRun moved = run(shifted, pm3, config_for({{chain.repeat, 0, 0}}, {5, 1, 1}, {32, 1, 1}));
        const PeriodicRun flipped = run(chain.g, pm3, config_for({{-chain.repeat, 0, 0}}, {5, 1, 1}, {32, 1, 1}));
        for (const PeriodicRun* other : {&moved, &flipped}) {
            EXPECT_NEAR(other->result.total_energy, coarse.result.total_energy, 1e-6);
            EXPECT_NEAR(other->result.band_gap, coarse.result.band_gap, 1e-6);
            EXPECT_NEAR(other->result.direct_gap, coarse.result.direct_gap, 1e-6);
        }
    }
}

// The gap is a property of the sheet, not of the cell chosen to describe it.
// Graphene's touching bands (at the zone corner K) are a saddle point of the
// closed-shell SCF: the stability check leads both cells to the solution
// below, whose two sublattices hold different charges and which has a gap.
// Hexagonal BN is a wide-gap insulator (about 6 eV measured; above 4 eV is
// the bar here). Default cells and grids, which hold every pair within the
// point-charge radius, so both graphene cells treat the same pairs alike;
// graphene's AM1 gap (about 1.2 eV) sends both cells on to the finer grid.
TEST(BlochScf, BandGapsOfHexagonalSheetsDoNotDependOnTheCell) {
    const Pm6Model pm6;
    const Am1Model am1;
    const double a = 2.46, bn = 2.504, r3 = std::sqrt(3.0);
    const Geometry graphene_hexagonal = {{6, 6}, {{{0, 0, 0}}, {{a / 2, a / (2 * r3), 0}}}};
    const Geometry graphene_rectangular = {
        {6, 6, 6, 6}, {{{0, 0, 0}}, {{a / 2, a / (2 * r3), 0}}, {{a / 2, a * r3 / 2, 0}}, {{0, 2 * a / r3, 0}}}};
    const Geometry boron_nitride = {{5, 7}, {{{0, 0, 0}}, {{bn / 2, bn / (2 * r3), 0}}}};
    const auto defaults = [](std::vector<Vec3> vectors) {
        PbcConfig config;
        config.cell = std::get<UnitCell>(UnitCell::from_translation_vectors(vectors, vectors.size()));
        return config;
    };
    const ParameterModel* models[] = {&pm6, &am1};
    for (const ParameterModel* model : models) {
        const PeriodicRun hexagonal =
            run(graphene_hexagonal, *model, defaults({{a, 0, 0}, {a / 2, a * r3 / 2, 0}}));
        const PeriodicRun rectangular = run(graphene_rectangular, *model, defaults({{a, 0, 0}, {0, a * r3, 0}}));
        for (const PeriodicRun* r : {&hexagonal, &rectangular}) ASSERT_TRUE(r->result.converged) << model->name();
        EXPECT_NEAR(hexagonal.result.total_energy / 2, rectangular.result.total_energy / 4, 1e-3) << model->name();
        EXPECT_NEAR(hexagonal.result.band_gap, rectangular.result.band_gap, 0.05) << model->name();
        EXPECT_GT(hexagonal.result.band_gap, 1.0) << model->name();
    }
    const PeriodicRun insulator =
        run(boron_nitride, pm6, config_for({{bn, 0, 0}, {bn / 2, bn * r3 / 2, 0}}, {5, 5, 1}, {9, 9, 1}));
    ASSERT_TRUE(insulator.result.converged);
    EXPECT_GT(insulator.result.band_gap, 4.0);
}

// A lattice gives one answer whichever basis describes it: cells and
// k-points are taken along its own shortest basis (a3 -> a3 + a1 for
// diamond, a2 -> a2 + a1 for the sheets here), whether counted or kept by
// distance.
TEST(BlochScf, OneLatticeGivesOneAnswerWhateverItsBasis) {
    const Pm6Model pm6;
    const double d = 3.567 / 2, a = 2.46, bn = 2.504, r3 = std::sqrt(3.0);
    struct Crystal {
        Geometry g;
        std::vector<Vec3> vectors;
        std::array<std::uint64_t, 3> mers, k_grid;
    };
    const Crystal crystals[] = {
        {{{6, 6}, {{{0, 0, 0}}, {{d / 2, d / 2, d / 2}}}}, {{0, d, d}, {d, 0, d}, {d, d, 0}}, {5, 5, 5}, {5, 5, 5}},
        {{{6, 6}, {{{0, 0, 0}}, {{a / 2, a / (2 * r3), 0}}}}, {{a, 0, 0}, {a / 2, a * r3 / 2, 0}}, {5, 5, 1},
         {9, 9, 1}},
        {{{5, 7}, {{{0, 0, 0}}, {{bn / 2, bn / (2 * r3), 0}}}}, {{bn, 0, 0}, {bn / 2, bn * r3 / 2, 0}}, {5, 5, 1},
         {9, 9, 1}},
    };
    for (const Crystal& c : crystals) {
        std::vector<Vec3> sheared = c.vectors;
        for (int k = 0; k < 3; ++k) sheared.back()[k] += c.vectors[0][k];
        for (const bool counted : {true, false}) {
            PeriodicRun runs[2];
            for (int b = 0; b < 2; ++b) {
                PbcConfig config = config_for(b == 0 ? c.vectors : sheared, c.mers, c.k_grid);
                if (!counted) {
                    config.mers.reset();
                    config.image_radius = 4.0;
                }
                runs[b] = run(c.g, pm6, config);
                ASSERT_TRUE(runs[b].result.converged);
            }
            EXPECT_NEAR(runs[1].result.total_energy, runs[0].result.total_energy, 1e-3) << c.vectors.size() << "D";
            EXPECT_NEAR(runs[1].result.band_gap, runs[0].result.band_gap, 0.01) << c.vectors.size() << "D";
        }
    }
}

// Polar crystals keep one answer whatever the cells around the home cell:
// their Coulomb terms hand over to point charges over a fixed window. A hard
// switch at the kept cells' radius moved SiC under PM6 by up to 13 eV per
// atom between 10 and 20 angstrom. References: mers (9, 9, 9) and k_grid
// (13, 13, 13), energy per atom and gap (eV), computed with this code at
// commit 98af211 (tests/python/test_pbc.py).
TEST(BlochScf, PolarCrystalsDoNotDependOnTheRadiusOfTheKeptCells) {
    const MndoModel mndo;
    const Pm6Model pm6;
    struct Case {
        const ParameterModel* model;
        std::uint8_t z1, z2;
        double a, energy, gap;
    };
    const Case cases[] = {{&mndo, 14, 6, 4.36, -108.343621, 9.163}, {&pm6, 14, 6, 4.36, -98.459693, 10.206},
                          {&mndo, 5, 7, 3.615, -139.516905, 9.069}, {&pm6, 5, 7, 3.615, -119.300316, 8.518}};
    for (const Case& c : cases) {
        const double h = c.a / 2;
        const Geometry g = {{c.z1, c.z2}, {{{0, 0, 0}}, {{h / 2, h / 2, h / 2}}}};
        for (const double radius : {10.0, 15.0, 30.0}) {
            PbcConfig config = config_for({{0, h, h}, {h, 0, h}, {h, h, 0}}, {1, 1, 1}, {7, 7, 7});
            config.mers.reset();
            config.image_radius = radius;
            const PeriodicRun r = run(g, *c.model, config);
            ASSERT_TRUE(r.result.converged) << c.model->name() << " " << radius;
            EXPECT_NEAR(r.result.total_energy / 2, c.energy, 0.01) << c.model->name() << " " << radius;
            EXPECT_NEAR(r.result.band_gap, c.gap, 0.2) << c.model->name() << " " << radius;
        }
    }
}

// Each band contributes one state per cell; below mid-gap lie the occupied
// bands, half the valence electrons.
TEST(BlochScf, DensityOfStatesCountsTheBands) {
    const MndoModel mndo;
    const PeriodicRun r = run(polyacetylene(), mndo, config_for({{kPolyacetyleneRepeat, 0, 0}}, {5, 1, 1}, {16, 1, 1}));
    const double step = r.result.dos_energies[1] - r.result.dos_energies[0];
    const double mid_gap = 0.5 * (r.result.vbm + r.result.cbm);
    double total = 0.0, below_gap = 0.0;
    for (std::size_t g = 0; g < r.result.dos_values.size(); ++g) {
        total += r.result.dos_values[g] * step;
        if (r.result.dos_energies[g] < mid_gap) below_gap += r.result.dos_values[g] * step;
    }
    EXPECT_NEAR(total, 10.0, 0.05);      // 2 C (4 orbitals) + 2 H (1 orbital)
    EXPECT_NEAR(below_gap, 5.0, 0.025);  // 10 valence electrons
}

// The occupied projector does not depend on which basis of a fully occupied
// degenerate level the eigensolver returns; a level degenerate across the
// occupied-empty border shares the border's electrons.
TEST(BlochScf, BlochDensityIsTheProjectorOnTheOccupiedLevels) {
    // Real F = U diag(-2, -2, 1) U^T: its embedding has a 4-fold lowest level.
    const std::size_t n = 3;
    const fixtures::Rotation u = fixtures::rotation_matrix({1, 2, 3}, 0.9);
    const double level[3] = {-2.0, -2.0, 1.0};
    Matrix block = Matrix::zeros(1, n * n);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            for (std::size_t k = 0; k < n; ++k) block(0, i * n + j) += u[i][k] * level[k] * u[j][k];
        }
    }
    PbcWorkspace ws = PbcWorkspace::allocate(n, 1, 1);
    const std::vector<double> no_imaginary_part(n * n, 0.0);
    diagonalize_bloch_parts(block.row(0), no_imaginary_part.data(), 0.0, nullptr, nullptr, ws);
    std::vector<double> d_re(n * n), d_im(n * n), d_re_mixed(n * n), d_im_mixed(n * n);
    bloch_density_from_embedding(ws.eigenvectors, ws.eigenvalues, n, 2, ws.occupied_products, d_re.data(),
                                 d_im.data());

    // Mix the four occupied embedding columns.
    Matrix mixed = ws.eigenvectors;
    for (const auto& [p, q, angle] : {std::tuple{0, 1, 0.7}, {2, 3, -1.1}, {1, 2, 0.4}}) {
        for (std::size_t row = 0; row < 2 * n; ++row) {
            const double x = mixed(row, p), y = mixed(row, q);
            mixed(row, p) = std::cos(angle) * x - std::sin(angle) * y;
            mixed(row, q) = std::sin(angle) * x + std::cos(angle) * y;
        }
    }
    bloch_density_from_embedding(mixed, ws.eigenvalues, n, 2, ws.occupied_products, d_re_mixed.data(),
                                 d_im_mixed.data());
    // One electron pair in the doubly degenerate lowest level: half of it in each.
    std::vector<double> d_shared(n * n), d_im_shared(n * n);
    bloch_density_from_embedding(ws.eigenvectors, ws.eigenvalues, n, 1, ws.occupied_products, d_shared.data(),
                                 d_im_shared.data());
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            // Closed-shell projector on the level: 2 (delta_ij - u_i2 u_j2).
            const double expected = 2.0 * ((i == j ? 1.0 : 0.0) - u[i][2] * u[j][2]);
            EXPECT_NEAR(d_re[i * n + j], expected, 1e-10);
            EXPECT_NEAR(d_re_mixed[i * n + j], expected, 1e-10);
            EXPECT_NEAR(d_shared[i * n + j], 0.5 * expected, 1e-10);
            for (const double im : {d_im[i * n + j], d_im_mixed[i * n + j], d_im_shared[i * n + j]}) {
                EXPECT_NEAR(im, 0.0, 1e-12);
            }
        }
    }
}

// Folding the grid's pairs k, -k into one point of twice the weight leaves
// the density of a real lattice operator as the whole grid makes it, on a
// grid with the zone centre and on one without.
TEST(BlochScf, KPointPairsFoldWithoutChangingTheDensity) {
    const std::size_t n = 3, n_occ = 1;
    const std::vector<Vec3> vectors = {{2.1, 0, 0}, {0.4, 1.9, 0}};
    const UnitCell cell = std::get<UnitCell>(UnitCell::from_translation_vectors(vectors, 2));
    const auto translations = UnitCell::generate_translation_indices(cell, {3, 3, 1});
    // F(R) arbitrary for R > 0, F(-R) = F(R)^T, F(0) symmetric.
    Matrix stack = Matrix::zeros(translations.size(), n * n);
    const auto index_of = [&](int n1, int n2) {
        for (std::size_t t = 0; t < translations.size(); ++t) {
            if (translations[t].n1 == n1 && translations[t].n2 == n2) return t;
        }
        return translations.size();
    };
    for (std::size_t t = 0; t < translations.size(); ++t) {
        const std::size_t mirror = index_of(-translations[t].n1, -translations[t].n2);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j) {
                const double value = std::sin(1.0 + 3.0 * t + 1.7 * i + 0.6 * j * j);
                if (t <= mirror) stack(t, i * n + j) = value;
                if (t <= mirror) stack(mirror, j * n + i) = value;
            }
        }
    }
    PbcWorkspace ws = PbcWorkspace::allocate(n, translations.size(), 1);
    for (const std::array<std::uint64_t, 3> divisions : {std::array<std::uint64_t, 3>{4, 4, 1}, {5, 3, 1}}) {
        const auto grid = UnitCell::generate_monkhorst_pack_grid(cell, divisions);
        Matrix densities[2];
        for (int folded = 0; folded < 2; ++folded) {
            const std::vector<KPoint> kpoints = folded ? fold_inversion_pairs(grid) : grid;
            const std::size_t n_k = kpoints.size();
            const BlochTransform transform = BlochTransform::build(kpoints, translations, n);
            Matrix parts = Matrix::zeros(2 * n_k, n * n);
            transform.to_kpoints(stack, parts);
            Matrix bloch_densities = Matrix::zeros(2 * n_k, n * n);
            for (std::size_t k = 0; k < n_k; ++k) {
                diagonalize_bloch_parts(parts.row(k), parts.row(n_k + k), 0.0, nullptr, nullptr, ws);
                bloch_density_from_embedding(ws.eigenvectors, ws.eigenvalues, n, n_occ, ws.occupied_products,
                                             bloch_densities.row(k), bloch_densities.row(n_k + k));
            }
            densities[folded] = Matrix::zeros(translations.size(), n * n);
            transform.to_cells(bloch_densities, densities[folded]);
        }
        EXPECT_EQ(fold_inversion_pairs(grid).size(), (grid.size() + (divisions[0] % 2)) / 2);
        for (std::size_t e = 0; e < densities[0].data().size(); ++e) {
            EXPECT_NEAR(densities[1].data()[e], densities[0].data()[e], 1e-12);
        }
    }
}

// Polyyne along x: the two pi systems (p_y, p_z) are symmetry-equivalent.
TEST(BlochScf, LinearCarbonChainFillsBothPiOrbitalsEqually) {
    const Pm3Model pm3;
    const Geometry polyyne = {{6, 6}, {{{0, 0, 0}}, {{1.21, 0, 0}}}};
    const PeriodicRun r = run(polyyne, pm3, config_for({{2.59, 0, 0}}, {5, 1, 1}, {5, 1, 1}));
    ASSERT_TRUE(r.result.converged);
    const auto p = [&](std::size_t mu) { return r.workspace.density_r(0, mu * 8 + mu); };
    for (std::size_t atom = 0; atom < 2; ++atom) {
        EXPECT_NEAR(p(4 * atom + 2), p(4 * atom + 3), 1e-6);
        EXPECT_NEAR(p(4 * atom + 2), 1.0, 0.1);
    }
}

// A hydrogen whose core brings two electrons fills its only orbital.
void two_electron_hydrogen(ElementParams& e) {
    if (e.atomic_number == 1) e.core_charge = 2.0;
}
void four_electron_hydrogen(ElementParams& e) {
    if (e.atomic_number == 1) e.core_charge = 4.0;
}

TEST(BlochScf, FilledBandsAndRefusedCellsReportTheirSentinelsAndMessages) {
    const MndoModel mndo;
    const PbcConfig chain = config_for({{2.0, 0, 0}}, {3, 1, 1}, {4, 1, 1});
    // Such a hydrogen has no isolated-atom reference (its s1 configuration
    // holds one electron, not two), so the cell's heat of formation stops it.
    const fixtures::EditedModel filled(mndo, {}, two_electron_hydrogen);
    PbcWorkspace filled_ws;
    const MolecularBatch filled_cell = fixtures::make_molecule(dimerised_hydrogen_chain(), filled);
    EXPECT_THROW((void)run_pbc_scf(filled_cell, filled, chain, filled_ws), EngineStop);

    const fixtures::EditedModel overfilled(mndo, {}, four_electron_hydrogen);
    PbcWorkspace ws;
    const MolecularBatch h2 = fixtures::make_molecule(dimerised_hydrogen_chain(), overfilled);
    try {
        (void)run_pbc_scf(h2, overfilled, chain, ws);
        ADD_FAILURE() << "no stop";
    } catch (const EngineStop& stop) {
        EXPECT_STREQ(stop.what(), "Occupied levels (4) exceed unit cell orbitals (2)");
    }

    const MolecularBatch empty = fixtures::make_molecule({}, mndo);
    EXPECT_EQ(std::get<std::string>(run_pbc_scf(empty, mndo, chain, ws)),
              "Periodic calculation requires at least 1 atom in unit cell");

    const MolecularBatch cell = fixtures::make_molecule(dimerised_hydrogen_chain(), mndo);
    const PbcConfig huge_count = config_for({{2.0, 0, 0}}, {std::uint64_t{1} << 31, 1, 1}, {1, 1, 1});
    const auto too_many = run_pbc_scf(cell, mndo, huge_count, ws);
    EXPECT_EQ(std::get<std::string>(too_many),
              "Translation count 2147483648 along a1 is too large (must be below 2147483648)");
    const auto too_large =
        run_pbc_scf(cell, mndo, config_for({{2.0, 0, 0}, {0, 2.0, 0}}, {999, 999, 1}, {999, 999, 1}), ws);
    EXPECT_EQ(std::get<std::string>(too_large).rfind("Periodic calculation too large: 998001 translations x 2", 0), 0u);

    // Lattice vectors far beyond any crystal: a result or a message, never a
    // read outside the cell code's arrays (these ended in SIGSEGV).
    for (const double length : {1e6, 1e154, 1e300}) {
        for (const std::vector<Vec3>& vectors : std::vector<std::vector<Vec3>>{
                 {{length, 0, 0}}, {{2.0, 0, 0}, {0, length, 0}}, {{length, 0, 0}, {0, length, 0}, {0, 0, length}},
                 {{2.0, 0, 0}, {0, 2.0, 0}, {length, length, length}}}) {
            const auto made = UnitCell::from_translation_vectors(vectors, vectors.size());
            if (!std::holds_alternative<UnitCell>(made)) continue;
            PbcConfig far;
            far.cell = std::get<UnitCell>(made);
            const auto outcome = run_pbc_scf(cell, mndo, far, ws);
            if (const auto* r = std::get_if<PbcResult>(&outcome)) {
                EXPECT_TRUE(std::isfinite(r->total_energy));
            }
        }
    }

    // A mismatched workspace is replaced by one of the run's sizes.
    PbcWorkspace small = PbcWorkspace::allocate(1, 1, 1);
    (void)run_pbc_scf(cell, mndo, chain, small);
    EXPECT_EQ(small.n_orbitals, 2u);
    EXPECT_EQ(small.n_translations, 3u);
    EXPECT_EQ(small.n_kpoints, 2u);  // four k-points, folded in pairs k, -k
    EXPECT_EQ(small.fock_r.rows(), 3u);
}

}  // namespace
}  // namespace quorin
