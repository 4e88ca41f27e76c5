#include "core/scf/initial_guess.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/molecules.h"

namespace quorin {
namespace {

// Diagonal of the neutral-atom density, by hand from the core charges:
// O 6 electrons over s, p (1.5 each); H 1; PM6 S keeps its d shell empty
// (6 / 4 = 1.5 on s, p); PM7 Fe (core charge 8) puts 2 in s and 6 / 5 = 1.2
// in each d orbital, none in p.
TEST(AtomicGuess, NeutralAtomsSpreadTheirCoreChargeOverTheValenceShell) {
    struct Case {
        std::string name;
        fixtures::Geometry geometry;
        const ParameterModel* model;
        std::vector<double> diagonal;
    };
    const MndoModel mndo;
    const Pm6Model pm6;
    const Pm7Model pm7;
    const std::vector<Case> cases = {
        {"MNDO H2O", fixtures::water(), &mndo, {1.5, 1.5, 1.5, 1.5, 1, 1}},
        {"PM6 H2S", {{16, 1, 1}, {{{0, 0, 0}}, {{0.96, 0.93, 0}}, {{-0.96, 0.93, 0}}}}, &pm6,
         {1.5, 1.5, 1.5, 1.5, 0, 0, 0, 0, 0, 1, 1}},
        {"PM7 FeH", {{26, 1}, {{{0, 0, 0}}, {{1.55, 0, 0}}}}, &pm7, {2, 0, 0, 0, 1.2, 1.2, 1.2, 1.2, 1.2, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const MolecularBatch m = fixtures::make_molecule(c.geometry, *c.model);
        ASSERT_EQ(m.n_basis, c.diagonal.size());
        Matrix p = Matrix::zeros(m.n_basis, m.n_basis);
        p.fill(7.0);  // overwritten entirely
        build_atomic_guess_density(m, *c.model, p);
        for (std::size_t i = 0; i < m.n_basis; ++i)
            for (std::size_t j = 0; j < m.n_basis; ++j) EXPECT_EQ(p(i, j), i == j ? c.diagonal[i] : 0.0);
    }
}

// Three degenerate orbitals holding the 3rd and 4th electron pairs of four
// (two of three places): each gets 4/3 electrons, so the density does not
// depend on which basis the eigensolver picked in that eigenspace.
TEST(AtomicGuess, DegenerateFrontierOrbitalsShareTheirElectrons) {
    const std::size_t n = 6;
    Vec64 energies = Vec64::zeros(n);
    const double levels[] = {-3, -2, -1, -1, -1, 4};
    for (std::size_t k = 0; k < n; ++k) energies[k] = levels[k];
    Matrix identity = Matrix::zeros(n, n);
    for (std::size_t k = 0; k < n; ++k) identity(k, k) = 1.0;
    Matrix p = Matrix::zeros(n, n);
    build_guess_orbital_density(identity, energies, 4, p);
    const double expected[] = {2, 2, 4.0 / 3, 4.0 / 3, 4.0 / 3, 0};
    for (std::size_t k = 0; k < n; ++k) EXPECT_NEAR(p(k, k), expected[k], 1e-15);
    // Lifted degeneracy: plain aufbau.
    energies[4] = -0.5;
    build_guess_orbital_density(identity, energies, 4, p);
    const double aufbau[] = {2, 2, 2, 2, 0, 0};
    for (std::size_t k = 0; k < n; ++k) EXPECT_EQ(p(k, k), aufbau[k]);
}

}  // namespace
}  // namespace quorin
