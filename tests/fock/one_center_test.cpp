#include "core/fock/one_center.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "core/types/errors.h"
#include "common/molecules.h"

namespace quorin {
namespace {

Matrix two_electron_part(const MolecularBatch& atom, const ParameterModel& model, const Matrix& p) {
    Matrix g = Matrix::zeros(atom.n_basis, atom.n_basis);
    add_one_center_fock_terms(atom, model, p, g);
    return g;
}

Matrix transformed(const Matrix& m, const Matrix& t) {  // t^T m t
    const std::size_t n = m.rows();
    Matrix out = Matrix::zeros(n, n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j)
            for (std::size_t k = 0; k < n; ++k)
                for (std::size_t l = 0; l < n; ++l) out(i, j) += t(k, i) * m(k, l) * t(l, j);
    return out;
}

// Orbital rotation of an s, p (and d) shell set for the spatial rotation r:
// p functions rotate as coordinates; the real d functions are the quadratic
// forms x^T M x with M = diag(1,-1,0), {xz}, diag(-1,-1,2)/sqrt3, {yz}, {xy}
// (each of Frobenius norm sqrt 2), which rotate as R M R^T.
Matrix orbital_rotation(const fixtures::Rotation& r, std::size_t norb) {
    Matrix t = Matrix::zeros(norb, norb);
    t(0, 0) = 1.0;
    for (std::size_t j = 0; j < 3; ++j)
        for (std::size_t k = 0; k < 3; ++k) t(1 + j, 1 + k) = r[j][k];
    if (norb < 9) return t;
    const double c = 1.0 / std::sqrt(3.0);
    const fixtures::Rotation d[5] = {{{{1, 0, 0}, {0, -1, 0}, {0, 0, 0}}}, {{{0, 0, 1}, {0, 0, 0}, {1, 0, 0}}},
                                     {{{-c, 0, 0}, {0, -c, 0}, {0, 0, 2 * c}}}, {{{0, 0, 0}, {0, 0, 1}, {0, 1, 0}}},
                                     {{{0, 1, 0}, {1, 0, 0}, {0, 0, 0}}}};
    for (std::size_t k = 0; k < 5; ++k)
        for (std::size_t j = 0; j < 5; ++j)
            for (std::size_t a = 0; a < 3; ++a)
                for (std::size_t b = 0; b < 3; ++b)
                    for (std::size_t x = 0; x < 3; ++x)
                        for (std::size_t y = 0; y < 3; ++y) t(4 + j, 4 + k) += 0.5 * d[j][a][b] * r[a][x] * d[k][x][y] * r[b][y];
    return t;
}

TEST(OneCenterFock, TwoElectronPartRotatesWithTheAtom) {
    // A free atom is spherical: for every orbital rotation T of its shells,
    // G(T^T P T) = T^T G(P) T. This checks the closed sp forms, every cell of
    // the spd table and the sign conventions of the real d functions.
    const MndoModel mndo;
    const Pm7Model pm7;
    struct Case {
        std::uint8_t z;
        const ParameterModel* model;
    };
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(-0.6, 0.6);
    for (const Case c : {Case{8, &mndo}, Case{26, &pm7}}) {
        ASSERT_TRUE(c.z != 26 || pm7.get_d_element_params(26).has_value());
        const std::array<double, 3> origin{0, 0, 0};
        const MolecularBatch atom = MolecularBatch::new_for_model({c.z}, std::span(&origin, 1), *c.model);
        const std::size_t n = atom.n_basis;
        Matrix p = Matrix::zeros(n, n);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j <= i; ++j) p(i, j) = p(j, i) = u(rng) + (i == j ? 1.0 : 0.0);
        const Matrix g = two_electron_part(atom, *c.model, p);
        for (const auto& r : {fixtures::rotation_matrix({0, 0, 1}, M_PI / 2), fixtures::rotation_matrix({0.2, -0.7, 0.4}, 2.3)}) {
            const Matrix t = orbital_rotation(r, n);
            const Matrix lhs = two_electron_part(atom, *c.model, transformed(p, t));
            const Matrix rhs = transformed(g, t);
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t j = 0; j < n; ++j) EXPECT_NEAR(lhs(i, j), rhs(i, j), 1e-10) << int(c.z) << ": " << i << " " << j;
        }
    }
}

TEST(OneCenterFock, DiagonalDensityFollowsTheWrittenOutFormulas) {
    // Hand contraction of the sp integrals for P = diag(ss, px, py, pz):
    // F_ss = P_ss gss/2 + sum_p P_pp (gsp - hsp/2),
    // F_pp = P_ss (gsp - hsp/2) + P_pp gpp/2 + sum_{p' != p} P_p'p' (5 gp2 - gpp)/4,
    // and no off-diagonal term. A 9-orbital atom without d parameters treats
    // its sp block the same way and leaves the d rows alone.
    const MndoModel mndo;
    const ElementParams e = *mndo.get_element(16);
    const double diag[4] = {1.7, 1.1, 0.9, 1.3};
    for (std::uint8_t norb : {std::uint8_t{4}, std::uint8_t{9}}) {
        const std::array<double, 3> origin{0, 0, 0};
        const MolecularBatch atom = MolecularBatch::new_with_basis({16}, std::span(&origin, 1), {norb});
        Matrix p = Matrix::zeros(norb, norb);
        for (std::size_t i = 0; i < 4; ++i) p(i, i) = diag[i];
        const Matrix g = two_electron_part(atom, mndo, p);
        const double p_total = diag[1] + diag[2] + diag[3];
        EXPECT_NEAR(g(0, 0), 0.5 * diag[0] * e.g_ss + p_total * (e.g_sp - 0.5 * e.h_sp), 1e-12);
        for (std::size_t k = 1; k < 4; ++k) {
            EXPECT_NEAR(g(k, k), diag[0] * (e.g_sp - 0.5 * e.h_sp) + 0.5 * diag[k] * e.g_pp +
                                     (p_total - diag[k]) * (1.25 * e.g_p2 - 0.25 * e.g_pp), 1e-12);
        }
        for (std::size_t i = 0; i < norb; ++i) {
            for (std::size_t j = 0; j < norb; ++j) {
                if (i != j || i >= 4) {
                    EXPECT_EQ(g(i, j), 0.0) << i << " " << j;
                }
            }
        }
    }
}

TEST(OneCenterFock, EachAtomUsesTheTableOfItsOwnElement) {
    // Atoms far apart, two sharing an element: every diagonal block of the
    // molecule's one-centre part equals that of the atom alone, and nothing
    // lands between atoms. Tables built for another molecule are refused.
    const Pm6Model pm6;
    const fixtures::Geometry g = {{16, 17, 1, 16, 15}, {{{0, 0, 0}}, {{9, 0, 0}}, {{0, 9, 0}}, {{0, 0, 9}}, {{9, 9, 9}}}};
    const MolecularBatch m = fixtures::make_molecule(g, pm6);
    const std::size_t n = m.n_basis;
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(-0.4, 0.4);
    Matrix p = Matrix::zeros(n, n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j <= i; ++j) p(i, j) = p(j, i) = u(rng);
    const Matrix g_all = two_electron_part(m, pm6, p);
    for (std::size_t a = 0; a < m.n_atoms; ++a) {
        const MolecularBatch atom = fixtures::make_molecule({{g.z[a]}, {g.xyz[a]}}, pm6);
        const std::size_t f = m.first_orbital[a], k = atom.n_basis;
        Matrix p_atom = Matrix::zeros(k, k);
        for (std::size_t i = 0; i < k; ++i)
            for (std::size_t j = 0; j < k; ++j) p_atom(i, j) = p(f + i, f + j);
        const Matrix g_atom = two_electron_part(atom, pm6, p_atom);
        for (std::size_t i = 0; i < k; ++i) {
            for (std::size_t j = 0; j < n; ++j) {
                EXPECT_EQ(g_all(f + i, j), j >= f && j < f + k ? g_atom(i, j - f) : 0.0) << a << ": " << i << " " << j;
            }
        }
    }
    const MolecularBatch sulfur = fixtures::make_molecule({{16}, {g.xyz[0]}}, pm6);
    Matrix fock = Matrix::zeros(n, n);
    EXPECT_THROW(add_one_center_fock_terms(m, pm6, OneCenterTables::build(sulfur, pm6), p, fock), EngineStop);
}

}  // namespace
}  // namespace quorin
