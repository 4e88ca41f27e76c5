#include "core/fock/fock_builder.h"

#include <gtest/gtest.h>

#include <cmath>

#include "core/hamiltonian/hcore.h"
#include "core/types/constants.h"
#include "common/molecules.h"

namespace quorin {
namespace {

TEST(FockBuilder, TwoHydrogensMatchTheHandFormulaInBothForms) {
    // F_11 = H_11 + P_11 gss/2 + P_22 gamma, F_12 = H_12 - P_12 gamma/2, with
    // gamma = e2 / sqrt(R^2 + (2 rho)^2), rho = e2 / (2 gss); the NDDO
    // (ss|ss) integral of s-only atoms is the same gamma.
    const MndoModel mndo;
    const double r = 0.9;
    const MolecularBatch h2 = fixtures::make_molecule(fixtures::hydrogen_molecule(r), mndo);
    const ElementParams e = *mndo.get_element(1);
    const double rho = kCoulombEvAngstrom / (2.0 * e.g_ss);
    const double gamma = kCoulombEvAngstrom / std::sqrt(r * r + 4.0 * rho * rho);
    Matrix h = Matrix::zeros(2, 2), p = Matrix::zeros(2, 2);
    build_hcore(h2, mndo, h);
    p(0, 0) = 0.8;
    p(1, 1) = 1.3;
    p(0, 1) = p(1, 0) = 0.6;
    const std::vector<DiatomicPairIntegrals> pairs = precompute_diatomic_pairs(h2, mndo);
    for (bool nddo : {false, true}) {
        Matrix f = Matrix::zeros(2, 2);
        if (nddo) {
            build_fock_nddo(h2, mndo, pairs, h, p, f);
        } else {
            build_fock(h2, mndo, h, p, f);
        }
        EXPECT_NEAR(f(0, 0), h(0, 0) + 0.5 * 0.8 * e.g_ss + 1.3 * gamma, 1e-10);
        EXPECT_NEAR(f(1, 1), h(1, 1) + 0.5 * 1.3 * e.g_ss + 0.8 * gamma, 1e-10);
        EXPECT_NEAR(f(0, 1), h(0, 1) - 0.5 * 0.6 * gamma, 1e-10);
        EXPECT_EQ(f(0, 1), f(1, 0));
    }
}

TEST(FockBuilder, AtomsWithoutParametersAddNothing) {
    // Water with oxygen unknown: the hydrogens' block equals that of H2 at
    // the same positions and the oxygen rows stay zero.
    const MndoModel mndo;
    const fixtures::EditedModel no_oxygen(mndo, {8});
    const fixtures::Geometry water = fixtures::water();
    const MolecularBatch m = fixtures::make_molecule(water, no_oxygen);
    const MolecularBatch h2 = fixtures::make_molecule({{1, 1}, {water.xyz[1], water.xyz[2]}}, mndo);
    Matrix p = Matrix::zeros(6, 6), p2 = Matrix::zeros(2, 2);
    for (std::size_t i = 0; i < 6; ++i)
        for (std::size_t j = 0; j < 6; ++j) p(i, j) = 0.1 * (1.0 + i + j);
    for (std::size_t i = 0; i < 2; ++i)
        for (std::size_t j = 0; j < 2; ++j) p2(i, j) = p(4 + i, 4 + j);
    for (bool nddo : {false, true}) {
        Matrix h = Matrix::zeros(6, 6), f = Matrix::zeros(6, 6), h_ref = Matrix::zeros(2, 2), f_ref = Matrix::zeros(2, 2);
        if (nddo) {
            const auto pairs = precompute_diatomic_pairs(m, no_oxygen);
            const auto pairs_ref = precompute_diatomic_pairs(h2, mndo);
            build_hcore_nddo(m, no_oxygen, pairs, h);
            build_fock_nddo(m, no_oxygen, pairs, h, p, f);
            build_hcore_nddo(h2, mndo, pairs_ref, h_ref);
            build_fock_nddo(h2, mndo, pairs_ref, h_ref, p2, f_ref);
        } else {
            build_hcore(m, no_oxygen, h);
            build_fock(m, no_oxygen, h, p, f);
            build_hcore(h2, mndo, h_ref);
            build_fock(h2, mndo, h_ref, p2, f_ref);
        }
        for (std::size_t i = 0; i < 2; ++i)
            for (std::size_t j = 0; j < 2; ++j) EXPECT_NEAR(f(4 + i, 4 + j), f_ref(i, j), 1e-12);
        for (std::size_t i = 0; i < 4; ++i)
            for (std::size_t j = 0; j < 6; ++j) EXPECT_EQ(f(i, j), 0.0);
    }
}

}  // namespace
}  // namespace quorin
