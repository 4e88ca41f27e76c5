#include "core/pbc/bloch_stability.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "common/geometry.h"
#include "common/molecules.h"
#include "core/parameters/parameter_model.h"
#include "core/scf/scf_loop.h"

namespace quorin {
namespace {

// The orbital Hessian of the Bloch SCF is the second derivative of the
// energy per cell along rotations of the occupied bands: 4 z.H z against a
// central second difference of the energy along z (step 1e-3, whose error
// is of order 1e-6 relative), for random directions over every k-point and a
// single rotation at the zone centre. Graphene's grid has complex k-points
// only; the crystal's has the zone centre, where the rotations are real.
TEST(BlochStability, HessianIsTheSecondDerivativeOfTheEnergyAlongRotations) {
    const Pm6Model pm6;
    const double a = 2.46, r3 = std::sqrt(3.0), c = 4.36;
    struct Case {
        fixtures::Geometry g;
        std::vector<Vec3> vectors;
        Counts mers, k_grid;
    };
    const Case cases[] = {
        {{{6, 6}, {{{0, 0, 0}}, {{a / 2, a / (2 * r3), 0}}}},
         {{a, 0, 0}, {a / 2, a * r3 / 2, 0}},
         {5, 5, 1},
         {6, 6, 1}},
        {{{14, 6}, {{{0, 0, 0}}, {{c / 4, c / 4, c / 4}}}},
         {{0, c / 2, c / 2}, {c / 2, 0, c / 2}, {c / 2, c / 2, 0}},
         {5, 5, 5},
         {5, 5, 5}},
    };
    for (const Case& test : cases) {
        PbcConfig config;
        config.cell = std::get<UnitCell>(UnitCell::from_translation_vectors(test.vectors, test.vectors.size()));
        config.mers = test.mers;
        config.k_grid = test.k_grid;
        MolecularBatch cell = fixtures::make_molecule(test.g, pm6);
        PbcWorkspace ws;
        const PbcResult scf = std::get<PbcResult>(run_pbc_scf(cell, pm6, config, ws));
        ASSERT_TRUE(scf.converged);

        // The run's own operators and the aufbau state of its final Fock blocks.
        const PbcSampling sampling = pbc_sampling(cell, config);
        set_coordinates(cell, sampling.positions);
        const std::size_t n = cell.n_basis, n_k = sampling.kpoints.size();
        const std::size_t n_occ = count_valence_electrons(cell, pm6) / 2;
        Matrix h_stack;
        PeriodicOperators operators =
            build_periodic_operators(cell, pm6, sampling.reduced, sampling.translations, true, h_stack);
        const BlochTransform transform = BlochTransform::build(sampling.kpoints, sampling.translations, n);
        Matrix fock_k = Matrix::zeros(2 * n_k, n * n), state = Matrix::zeros(2 * n_k, n * n);
        transform.to_kpoints(ws.fock_r, fock_k);
        for (std::size_t k = 0; k < n_k; ++k) {
            diagonalize_bloch_parts(fock_k.row(k), fock_k.row(n_k + k), 0.0, nullptr, nullptr, ws);
            bloch_density_from_embedding(ws.eigenvectors, ws.eigenvalues, n, n_occ, ws.occupied_products,
                                         state.row(k), state.row(n_k + k));
        }
        BlochStabilityWorkspace stability =
            BlochStabilityWorkspace::allocate(n, n_occ, sampling.translations.size(), n_k);
        EXPECT_LT(prepare_bloch_orbitals(fock_k, state, sampling.kpoints, stability), 1e-10);
        const BlochRun run{cell, pm6, operators, h_stack, transform, sampling.kpoints};

        std::mt19937 random(7);
        std::normal_distribution<double> normal;
        std::vector<double> z(stability.len), hz(stability.len);
        Matrix rotated = Matrix::zeros(2 * n_k, n * n);
        const double e0 = bloch_electronic_energy(run, state, stability);
        for (int direction = 0; direction < 3; ++direction) {
            double norm = 0.0;
            for (double& e : z) {
                e = direction < 2 ? normal(random) : 0.0;
                norm += e * e;
            }
            if (direction == 2) z[0] = norm = 1.0;  // zone centre or first k-point, lowest pair
            for (double& e : z) e /= std::sqrt(norm);
            apply_bloch_hessian(run, z.data(), hz.data(), stability);
            double curvature = 0.0;
            for (std::size_t e = 0; e < z.size(); ++e) curvature += z[e] * hz[e];
            const double h = 1e-3;
            rotate_bloch_state(run, z.data(), h, state, stability, rotated);
            const double up = bloch_electronic_energy(run, rotated, stability);
            rotate_bloch_state(run, z.data(), -h, state, stability, rotated);
            const double down = bloch_electronic_energy(run, rotated, stability);
            EXPECT_NEAR((up + down - 2.0 * e0) / (h * h), 4.0 * curvature, 1e-3 * std::fabs(curvature))
                << test.vectors.size() << "D, direction " << direction;
        }
    }
}

}  // namespace
}  // namespace quorin
