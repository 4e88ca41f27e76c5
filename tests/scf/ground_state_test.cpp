#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "core/fock/fock_builder.h"
#include "core/scf/density.h"
#include "core/scf/eigensolver.h"
#include "core/scf/scf_loop.h"
#include "common/molecules.h"
#include "scf/roothaan.h"

namespace quorin {
namespace {

// The SCF must find the ground state of small molecules that have low-lying
// excited closed-shell solutions: no start tried here (core-Hamiltonian guess,
// randomly rotated densities) converges lower, and the converged orbitals obey
// aufbau (no occupied level above a virtual one of the final Fock matrix).
TEST(RhfScf, SmallMoleculesReachTheGroundState) {
    const std::vector<std::pair<std::string, fixtures::Geometry>> molecules = {
        // Trans hydrazine (inversion centre): the core-Hamiltonian guess leads to
        // a closed-shell state about 240 kcal/mol up (MNDO HOMO -4.4 eV).
        {"hydrazine", {{7, 7, 1, 1, 1, 1}, {{{0, 0, 0.7235}}, {{0, 0, -0.7235}}, {{0.9464, 0, 1.0919}}, {{-0.3176, 0.8915, 1.0919}},
                                            {{-0.9464, 0, -1.0919}}, {{0.3176, -0.8915, -1.0919}}}}},
        {"hydrogen peroxide", {{8, 8, 1, 1}, {{{0, 0, 0}}, {{1.475, 0, 0}}, {{-0.0795, 0.9467, 0}}, {{1.5545, -0.347, 0.8808}}}}},
        {"hydroxylamine", {{7, 8, 1, 1, 1}, {{{0, 0, 0}}, {{1.453, 0, 0}}, {{1.6431, 0.943, 0}}, {{-0.232, -0.5814, -0.8002}},
                                              {{-0.232, -0.5814, 0.8002}}}}},
        {"formamide", {{6, 8, 7, 1, 1, 1}, {{{0, 0, 0}}, {{1.212, 0, 0}}, {{-0.7697, 1.1115, 0}}, {{-0.591, -0.9277, 0}},
                                             {{-0.3423, 2.0156, 0}}, {{-1.7663, 1.0296, 0}}}}},
        {"nitromethane", {{6, 7, 8, 8, 1, 1, 1}, {{{0, 0, 0}}, {{1.49, 0, 0}}, {{2.0533, -1.0822, 0}}, {{2.0533, 1.0822, 0}},
                                                 {{-0.3278, 0, -1.0396}}, {{-0.3278, -0.9003, 0.5198}}, {{-0.3278, 0.9003, 0.5198}}}}},
        {"C2 at 1.25 A", {{6, 6}, {{{0, 0, 0}}, {{1.25, 0, 0}}}}},
        {"ozone", {{8, 8, 8}, {{{0, 0, 0}}, {{1.0885, 0.6697, 0}}, {{-1.0885, 0.6697, 0}}}}},
    };
    const MndoModel mndo;
    const Am1Model am1;
    const Pm3Model pm3;
    const Rm1Model rm1;
    const Pm6Model pm6;
    std::mt19937 rng(2024);
    for (const ParameterModel* model : std::initializer_list<const ParameterModel*>{&mndo, &am1, &pm3, &rm1, &pm6}) {
        for (const auto& [name, geometry] : molecules) {
            SCOPED_TRACE(std::string(model->name()) + " " + name);
            const MolecularBatch m = fixtures::make_molecule(geometry, *model);
            const std::size_t n = m.n_basis;
            ScfWorkspace ws = ScfWorkspace::allocate(n);
            const ScfResult result = run_rhf_scf_with_options(m, *model, ws, {});
            ASSERT_TRUE(result.converged);
            std::size_t electrons = 0;
            for (std::uint8_t z : m.atomic_numbers) electrons += std::size_t(model->get_element(z)->core_charge);
            const std::size_t n_occ = electrons / 2;

            // Aufbau: the final density is that of the lowest orbitals of its own Fock matrix.
            Matrix f = Matrix::zeros(n, n), c = Matrix::zeros(n, n), p = Matrix::zeros(n, n);
            Vec64 eps = Vec64::zeros(n);
            build_fock_nddo(m, *model, ws.pairs, ws.hcore, ws.density, f);
            const double energy = compute_electronic_energy(ws.density, ws.hcore, f);
            EXPECT_NEAR(energy, result.electronic_energy, 1e-4);
            diagonalize_symmetric(f, eps, c);
            EXPECT_LT(eps[n_occ - 1], eps[n_occ]);
            compute_density_matrix(c, n_occ, p);
            for (std::size_t i = 0; i < n * n; ++i) EXPECT_NEAR(p.data()[i], ws.density.data()[i], 1e-4);

            // Other starts: the core-Hamiltonian guess and rotated densities.
            std::vector<Matrix> starts;
            diagonalize_symmetric(ws.hcore, eps, c);
            starts.push_back(Matrix::zeros(n, n));
            compute_density_matrix(c, n_occ, starts.back());
            for (int k = 0; k < 3; ++k) starts.push_back(fixtures::rotated_density(c, n_occ, rng));
            for (int k = 0; k < 3; ++k) starts.push_back(fixtures::rotated_density(ws.coefficients, n_occ, rng));
            for (const Matrix& start : starts) {
                const double e = fixtures::electronic_energy_from(m, *model, ws, n_occ, start);
                if (std::isnan(e)) continue;
                EXPECT_LE(energy, e + 1e-6);
            }
        }
    }
}

}  // namespace
}  // namespace quorin
