#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/parameters/parameter_model.h"
#include "core/types/aligned.h"
#include "core/types/errors.h"
#include "core/types/molecule.h"

namespace quorin {
namespace {

using Coords = std::vector<std::array<double, 3>>;

TEST(AlignedStorage, BuffersAreZeroFilledAlignedAndEmptyOnesAllocateNothing) {
    for (std::size_t len : {0u, 1u, 7u, 8u, 9u, 1000u}) {
        Vec64 v = Vec64::zeros(len);
        EXPECT_EQ(v.size(), len);
        EXPECT_EQ(v.capacity(), len);
        if (len == 0) {
            EXPECT_EQ(v.data(), nullptr);
            continue;
        }
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(v.data()) % 64, 0u) << len;
        for (double x : v) EXPECT_EQ(x, 0.0);
    }
    Matrix empty = Matrix::zeros(0, 0);
    EXPECT_EQ(empty.data().size(), 0u);
    EXPECT_EQ(empty.data().data(), nullptr);
}

TEST(AlignedStorage, CopiesAreIndependentAndRowMajor) {
    Matrix m = Matrix::zeros(2, 3);
    m(1, 2) = 5.0;
    EXPECT_EQ(m.data()[1 * 3 + 2], 5.0);  // row-major position i * cols + j
    Matrix copy = m;
    copy(1, 2) = -1.0;
    EXPECT_EQ(m(1, 2), 5.0);
    EXPECT_NE(copy.data().data(), m.data().data());
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(copy.data().data()) % 64, 0u);
}

TEST(AlignedStorage, OversizedMatrixStopsWithLayoutMessage) {
    try {
        Matrix::zeros(std::size_t{1} << 32, std::size_t{1} << 32);
        FAIL() << "expected a stop";
    } catch (const EngineStop& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Invalid layout for AlignedVec64", 0), 0u) << e.what();
    }
}

TEST(MolecularBatch, OrbitalBookkeepingFollowsTheBasisCounts) {
    struct Case {
        std::vector<std::uint8_t> z;
        std::vector<std::uint8_t> basis;
        std::vector<std::size_t> first;
        std::size_t n_basis;
    };
    // Hand-derived running sums of the orbital counts.
    const std::vector<Case> cases = {
        {{}, {}, {}, 0},
        {{1}, {1}, {0}, 1},
        {{8, 1, 1}, {4, 1, 1}, {0, 4, 5}, 6},
        {{26, 6, 1, 16}, {9, 4, 1, 9}, {0, 9, 13, 14}, 23},
    };
    for (const Case& c : cases) {
        Coords xyz(c.z.size());
        for (std::size_t i = 0; i < xyz.size(); ++i) xyz[i] = {double(i), 2.0 * i, -1.0 * i};
        MolecularBatch mol = MolecularBatch::new_with_basis(c.z, xyz, c.basis);
        EXPECT_EQ(mol.n_atoms, c.z.size());
        EXPECT_EQ(mol.first_orbital, c.first);
        EXPECT_EQ(mol.n_basis, c.n_basis);
        EXPECT_EQ(mol.orbitals_per_atom, c.basis);
        EXPECT_EQ(mol.x.size(), c.z.size());
        for (std::size_t i = 0; i < xyz.size(); ++i) {
            EXPECT_EQ(mol.x[i], xyz[i][0]);
            EXPECT_EQ(mol.y[i], xyz[i][1]);
            EXPECT_EQ(mol.z[i], xyz[i][2]);
        }
    }
    MolecularBatch empty = MolecularBatch::new_with_basis({}, Coords{}, {});
    EXPECT_EQ(empty.x.data(), nullptr);
}

TEST(MolecularBatch, LengthMismatchesStopWithTheirMessages) {
    auto message_of = [](auto&& build) -> std::string {
        try {
            build();
        } catch (const EngineStop& e) {
            return e.what();
        }
        return "";
    };
    const std::string coords_msg = message_of([] {
        MolecularBatch::new_with_basis({1, 1, 8}, Coords{{0, 0, 0}, {1, 0, 0}}, {1, 1, 4});
    });
    EXPECT_EQ(coords_msg.rfind("Atomic numbers and coordinates length mismatch", 0), 0u) << coords_msg;
    const std::string basis_msg = message_of([] {
        MolecularBatch::new_with_basis({1, 1}, Coords{{0, 0, 0}, {1, 0, 0}}, {1});
    });
    EXPECT_EQ(basis_msg.rfind("Atomic numbers and basis types length mismatch", 0), 0u) << basis_msg;
}

TEST(MolecularBatch, FixedOrbitalRuleByAtomicNumber) {
    // Boundaries of the Z-only rule: s for H, sp for main-group blocks, spd otherwise.
    const std::vector<std::pair<int, int>> cases = {
        {0, 9},  {1, 1},  {2, 4},  {20, 4}, {21, 9},  {29, 9},  {30, 4},  {38, 4},  {39, 9},
        {47, 9}, {48, 4}, {56, 4}, {57, 9}, {79, 9},  {80, 4},  {86, 4},  {87, 9},  {255, 9},
    };
    for (auto [z, n] : cases) {
        MolecularBatch mol =
            MolecularBatch::new_by_atomic_number({std::uint8_t(z)}, Coords{{0.0, 0.0, 0.0}});
        EXPECT_EQ(mol.orbitals_per_atom[0], n) << "Z=" << z;
        EXPECT_EQ(mol.n_basis, std::size_t(n));
    }
}

TEST(MolecularBatch, ModelConstructorTakesCountsFromTheModel) {
    // PM6 gives sulfur its d shell; the Z-only rule gives it 4 orbitals.
    const Coords xyz{{0, 0, 0}, {1.3, 0, 0}, {-0.4, 1.2, 0}};
    MolecularBatch pm6 = MolecularBatch::new_for_model({16, 1, 1}, xyz, Pm6Model{});
    EXPECT_EQ(pm6.orbitals_per_atom, (std::vector<std::uint8_t>{9, 1, 1}));
    EXPECT_EQ(pm6.n_basis, 11u);
    MolecularBatch by_z = MolecularBatch::new_by_atomic_number({16, 1, 1}, xyz);
    EXPECT_EQ(by_z.n_basis, 6u);
}

TEST(MolecularBatch, CloneIsIndependentOfItsSource) {
    MolecularBatch src = MolecularBatch::new_with_basis({8, 1}, Coords{{0, 0, 0}, {0.96, 0, 0}}, {4, 1});
    MolecularBatch copy = src;
    copy.x[1] = 5.0;
    copy.first_orbital[1] = 99;
    EXPECT_EQ(src.x[1], 0.96);
    EXPECT_EQ(src.first_orbital[1], 4u);
    EXPECT_EQ(copy.n_basis, src.n_basis);
}

}  // namespace
}  // namespace quorin
