#include "core/pbc/unit_cell.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <numbers>

namespace quorin {
namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

UnitCell cell_of(std::vector<Vec3> vectors) {
    auto made = UnitCell::from_translation_vectors(vectors, vectors.size());
    return std::get<UnitCell>(made);
}

std::string refusal_of(std::vector<Vec3> vectors, std::size_t count) {
    auto made = UnitCell::from_translation_vectors(vectors, count);
    return std::holds_alternative<std::string>(made) ? std::get<std::string>(made) : "";
}

// Definition of the reciprocal basis: a_i . b_j = 2 pi delta_ij.
TEST(UnitCell, ReciprocalVectorsAreDualToTheLatticeInEveryDimension) {
    const std::vector<std::vector<Vec3>> lattices = {
        {{1.3, -0.4, 2.0}},
        {{2.5, 0.1, 0.3}, {0.7, 2.2, -0.5}},
        {{3.0, 0.2, 0.1}, {0.5, 2.8, 0.3}, {0.4, -0.6, 4.1}},
        {{3.0, 0.2, 0.1}, {0.4, -0.6, 4.1}, {0.5, 2.8, 0.3}},  // left-handed
    };
    for (const auto& vectors : lattices) {
        const UnitCell cell = cell_of(vectors);
        const Vec3 a[] = {cell.a1, cell.a2, cell.a3};
        const Vec3 b[] = {cell.b1, cell.b2, cell.b3};
        EXPECT_GT(cell.measure, 0.0);
        for (std::size_t i = 0; i < 3; ++i) {
            for (std::size_t j = 0; j < 3; ++j) {
                const double expected = (i == j && i < vectors.size()) ? kTwoPi : 0.0;
                EXPECT_NEAR(dot(a[i], b[j]), expected, 1e-12) << vectors.size() << "D " << i << j;
            }
        }
    }
    // 2D: the reciprocal vectors lie in the plane of the cell.
    const UnitCell sheet = cell_of(lattices[1]);
    const Vec3 normal = {sheet.a1[1] * sheet.a2[2] - sheet.a1[2] * sheet.a2[1],
                         sheet.a1[2] * sheet.a2[0] - sheet.a1[0] * sheet.a2[2],
                         sheet.a1[0] * sheet.a2[1] - sheet.a1[1] * sheet.a2[0]};
    EXPECT_NEAR(dot(sheet.b1, normal), 0.0, 1e-12);
    EXPECT_NEAR(dot(sheet.b2, normal), 0.0, 1e-12);
}

TEST(UnitCell, DegenerateCellsAreRefusedWithTheirMessages) {
    const std::vector<Vec3> four = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 1}};
    EXPECT_EQ(refusal_of(four, 4), "Unit cell requires 1, 2, or 3 translation vectors, got 4");
    EXPECT_EQ(refusal_of({}, 0), "Unit cell requires 1, 2, or 3 translation vectors, got 0");
    EXPECT_EQ(refusal_of({{5e-7, 0, 0}}, 1), "1D translation vector length is virtually zero");
    EXPECT_EQ(refusal_of({{1, 2, 3}, {-2, -4, -6}}, 2), "2D translation vectors are collinear (area = 0)");
    EXPECT_EQ(refusal_of({{1, 0, 0}, {0, 1, 0}, {1, 1, 0}}, 3), "3D translation vectors are coplanar (volume = 0)");
}

TEST(UnitCell, TranslationListsHoldTheirCountsSortedByLength) {
    const UnitCell chain = cell_of({{2.0, 0, 0}});
    const auto five = UnitCell::generate_translation_indices(chain, {5, 1, 1});
    const std::vector<int> order = {0, -1, 1, -2, 2};
    ASSERT_EQ(five.size(), order.size());
    for (std::size_t t = 0; t < order.size(); ++t) {
        EXPECT_EQ(five[t].n1, order[t]);
        EXPECT_DOUBLE_EQ(five[t].cartesian[0], 2.0 * order[t]);
        EXPECT_DOUBLE_EQ(five[t].length, 2.0 * std::abs(order[t]));
    }
    // An even count N keeps N - 1 copies; counts beyond the dimension are ignored.
    EXPECT_EQ(UnitCell::generate_translation_indices(chain, {4, 1, 1}).size(), 3u);
    EXPECT_EQ(UnitCell::generate_translation_indices(chain, {0, 0, 0}).size(), 1u);
    EXPECT_EQ(UnitCell::generate_translation_indices(chain, {5, 5, 5}).size(), 5u);
    const UnitCell sheet = cell_of({{2.0, 0, 0}, {0.3, 2.5, 0}});
    const auto sheet_list = UnitCell::generate_translation_indices(sheet, {5, 5, 5});
    EXPECT_EQ(sheet_list.size(), 25u);
    EXPECT_EQ(sheet_list.front().length, 0.0);
    EXPECT_TRUE(std::is_sorted(sheet_list.begin(), sheet_list.end(),
                               [](const auto& a, const auto& b) { return a.length < b.length; }));
}

// Monkhorst-Pack offsets (2i - n + 1) / (2n): weights sum to one and the set
// is closed under k -> -k.
TEST(UnitCell, MonkhorstPackGridIsNormalisedAndInversionSymmetric) {
    const UnitCell crystal = cell_of({{3.0, 0.2, 0.1}, {0.5, 2.8, 0.3}, {0.4, -0.6, 4.1}});
    for (const std::array<std::uint64_t, 3>& divisions :
         {std::array<std::uint64_t, 3>{16, 1, 1}, {4, 3, 2}, {3, 3, 3}, {0, 0, 0}}) {
        const auto grid = UnitCell::generate_monkhorst_pack_grid(crystal, divisions);
        double weights = 0.0;
        for (const KPoint& k : grid) {
            weights += k.weight;
            const bool has_partner = std::any_of(grid.begin(), grid.end(), [&](const KPoint& q) {
                return std::fabs(q.fractional[0] + k.fractional[0]) < 1e-12 &&
                       std::fabs(q.fractional[1] + k.fractional[1]) < 1e-12 &&
                       std::fabs(q.fractional[2] + k.fractional[2]) < 1e-12;
            });
            EXPECT_TRUE(has_partner);
            EXPECT_EQ(k.label.has_value(), dot(k.fractional, k.fractional) == 0.0);
        }
        EXPECT_NEAR(weights, 1.0, 1e-12);
    }
    const UnitCell chain = cell_of({{2.0, 0, 0}});
    const auto line = UnitCell::generate_monkhorst_pack_grid(chain, {16, 7, 7});
    ASSERT_EQ(line.size(), 16u);
    for (std::size_t i = 0; i < 16; ++i) EXPECT_DOUBLE_EQ(line[i].fractional[0], (2.0 * i - 15.0) / 32.0);
    const UnitCell sheet = cell_of({{2.0, 0, 0}, {0.3, 2.5, 0}});
    const auto nine = UnitCell::generate_monkhorst_pack_grid(sheet, {3, 3, 3});
    ASSERT_EQ(nine.size(), 9u);
    EXPECT_EQ(nine[4].label, "Gamma");
}

TEST(UnitCell, BandPathVisitsLabelledVertices) {
    struct Case {
        std::vector<Vec3> vectors;
        std::uint64_t requested;
        std::size_t points;
        std::vector<std::string> labels;
    };
    const std::vector<Case> cases = {
        {{{2.0, 0, 0}}, 40, 41, {"Gamma", "X"}},
        {{{2.0, 0, 0}}, 5, 11, {"Gamma", "X"}},
        {{{2.0, 0, 0}, {0, 2.5, 0}}, 40, 121, {"Gamma", "X", "M", "Gamma"}},
        {{{2.0, 0, 0}, {0, 2.5, 0}, {0, 0, 3}}, 40, 161, {"Gamma", "X", "M", "Gamma", "Z"}},
        // Hexagonal lattices: two equal vectors at 120 or 60 degrees (in 3D
        // perpendicular to the third); a cubic-close-packed primitive cell
        // (three at 60 degrees) is not hexagonal.
        {{{2.46, 0, 0}, {-1.23, 2.130422, 0}}, 10, 31, {"Gamma", "M", "K", "Gamma"}},
        {{{2.46, 0, 0}, {1.23, 2.130422, 0}}, 10, 31, {"Gamma", "M", "K", "Gamma"}},
        {{{2.5, 0, 0}, {-1.25, 2.165064, 0}, {0, 0, 6.7}}, 10, 71, {"Gamma", "M", "K", "Gamma", "A", "L", "H", "A"}},
        {{{0, 0, 6.7}, {2.5, 0, 0}, {1.25, 2.165064, 0}}, 10, 71, {"Gamma", "M", "K", "Gamma", "A", "L", "H", "A"}},
        {{{0, 1.78, 1.78}, {1.78, 0, 1.78}, {1.78, 1.78, 0}}, 10, 41, {"Gamma", "X", "M", "Gamma", "Z"}},
    };
    for (const Case& c : cases) {
        const auto path = UnitCell::generate_band_path(cell_of(c.vectors), c.requested);
        ASSERT_EQ(path.size(), c.points);
        std::vector<std::string> labels;
        for (const KPoint& k : path) {
            if (k.label) labels.push_back(*k.label);
            EXPECT_EQ(k.weight, 0.0);
        }
        EXPECT_EQ(labels, c.labels);
    }
}

// The hexagonal vertices are where the zone's geometry puts them: a point of
// the zone boundary is as far from Gamma as from the nearest other
// reciprocal lattice points, M from one of them (edge middle), K from two
// (corner), and in 3D A, L, H from one, three and five (the faces half a b3
// up).
TEST(UnitCell, HexagonalPathVerticesLieOnTheZoneBoundary) {
    const std::map<std::string, int> nearest_lattice_points = {{"Gamma", 1}, {"M", 2}, {"K", 3},
                                                                {"A", 2},     {"L", 4}, {"H", 6}};
    const std::vector<std::vector<Vec3>> lattices = {
        {{2.46, 0, 0}, {-1.23, 2.130422, 0}},
        {{2.46, 0, 0}, {1.23, 2.130422, 0}},
        {{2.5, 0, 0}, {-1.25, 2.165064, 0}, {0, 0, 6.7}},
        {{0, 0, 6.7}, {2.5, 0, 0}, {1.25, 2.165064, 0}},
    };
    for (const auto& vectors : lattices) {
        const UnitCell cell = cell_of(vectors);
        for (const KPoint& k : UnitCell::generate_band_path(cell, 10)) {
            if (!k.label) continue;
            std::vector<double> distances;
            for (int m1 = -2; m1 <= 2; ++m1) {
                for (int m2 = -2; m2 <= 2; ++m2) {
                    for (int m3 = -2; m3 <= 2; ++m3) {
                        Vec3 d = k.cartesian;
                        for (int c = 0; c < 3; ++c) d[c] -= m1 * cell.b1[c] + m2 * cell.b2[c] + m3 * cell.b3[c];
                        distances.push_back(std::sqrt(dot(d, d)));
                    }
                }
            }
            const double nearest = *std::min_element(distances.begin(), distances.end());
            const double from_gamma = std::sqrt(dot(k.cartesian, k.cartesian));
            EXPECT_NEAR(from_gamma, nearest, 1e-5) << *k.label;
            // Each lattice point in 2D appears five times (m3 free).
            const auto ties = std::count_if(distances.begin(), distances.end(),
                                            [&](double d) { return std::fabs(d - nearest) < 1e-5; });
            EXPECT_EQ(ties / (vectors.size() == 2 ? 5 : 1), nearest_lattice_points.at(*k.label)) << *k.label;
        }
    }
}

// Overlaps through any lattice translation, however the cell is written.
TEST(UnitCell, CloseImagesAreFoundAnywhereInTheLattice) {
    struct Case {
        const char* name;
        std::vector<Vec3> vectors;
        std::vector<Vec3> positions;
        bool close;
        std::size_t atom, image_of;
        std::array<std::int64_t, 3> shift;
        double distance;  // hand-computed
    };
    const std::vector<Case> cases = {
        {"H2 in a cell as long as its bond", {{0.74, 0, 0}}, {{0, 0, 0}, {0.74, 0, 0}}, true, 0, 1, {-1, 0, 0}, 0.0},
        {"second atom eleven cells away", {{0.74, 0, 0}}, {{0, 0, 0}, {8.14, 0.2, 0}}, true, 0, 1, {-11, 0, 0}, 0.2},
        {"two atoms in one cell", {{3.0, 0, 0}}, {{0, 0, 0}, {0.3, 0.399, 0}}, true, 0, 1, {0, 0, 0}, 0.49920},
        // a2 - a1 = (0.3, 0.2): every atom sits 0.3606 angstrom from its own image.
        {"skewed sheet", {{3, 0, 0}, {3.3, 0.2, 0}}, {{0, 0, 0}}, true, 0, 0, {-1, 1, 0}, std::sqrt(0.13)},
        // Three 2-angstrom vectors, pairwise well apart, summing to (0, 0, 0.3).
        {"nearly flat crystal", {{2, 0, 0}, {-1, 1.732, 0}, {-1, -1.732, 0.3}}, {{0, 0, 0}}, true, 0, 0, {1, 1, 1},
         0.3},
        {"graphene", {{2.46, 0, 0}, {1.23, 2.130422, 0}}, {{0, 0, 0}, {1.23, 0.710141, 0}}, false, 0, 0, {}, 0},
        {"just far enough", {{0.51, 0, 0}}, {{0, 0, 0}}, false, 0, 0, {}, 0},
    };
    for (const Case& c : cases) {
        const auto found = find_close_image(cell_of(c.vectors), c.positions, 0.5);
        ASSERT_EQ(found.has_value(), c.close) << c.name;
        if (!found) continue;
        EXPECT_EQ(found->atom, c.atom) << c.name;
        EXPECT_EQ(found->image_of, c.image_of) << c.name;
        // The same translation up to sign when an atom meets its own image.
        const bool same = found->shift == c.shift;
        const bool opposite = found->shift == std::array<std::int64_t, 3>{-c.shift[0], -c.shift[1], -c.shift[2]};
        EXPECT_TRUE(same || (c.atom == c.image_of && opposite)) << c.name;
        EXPECT_NEAR(found->distance, c.distance, 2e-3) << c.name;
    }
}

// The shortest basis of a lattice and the cells within a distance of a cell's
// atoms belong to the lattice: every basis of it gives the same ones.
TEST(UnitCell, ReducedBasisAndNearbyCellsDependOnTheLatticeAlone) {
    const double d = 3.567 / 2, a = 2.46, r3 = std::sqrt(3.0);
    struct Lattice {
        std::vector<Vec3> vectors;
        std::vector<std::vector<int>> change;  // rows: another basis in terms of the first
        std::vector<Vec3> positions;
        double shortest;  // length of the shortest lattice vector, by hand
    };
    const Lattice lattices[] = {
        {{{2.455, 0, 0}}, {{-1}}, {{0, 0, 0}, {1.19, 0.7, 0}}, 2.455},
        {{{a, 0, 0}, {a / 2, a * r3 / 2, 0}}, {{1, 0}, {1, 1}}, {{0, 0, 0}, {a / 2, a / (2 * r3), 0}}, a},
        {{{0, d, d}, {d, 0, d}, {d, d, 0}},
         {{1, 0, 0}, {-2, 1, 0}, {1, 0, 1}},
         {{0, 0, 0}, {d / 2, d / 2, d / 2}},
         d * std::sqrt(2.0)},
    };
    for (const Lattice& l : lattices) {
        std::vector<Vec3> other(l.vectors.size(), Vec3{});
        for (std::size_t k = 0; k < other.size(); ++k) {
            for (std::size_t j = 0; j < other.size(); ++j) {
                for (int c = 0; c < 3; ++c) other[k][c] += l.change[k][j] * l.vectors[j][c];
            }
        }
        const UnitCell first = reduced_cell(cell_of(l.vectors));
        const UnitCell second = reduced_cell(cell_of(other));
        const Vec3 e1[] = {first.a1, first.a2, first.a3}, e2[] = {second.a1, second.a2, second.a3};
        for (std::size_t k = 0; k < l.vectors.size(); ++k) {
            EXPECT_NEAR(std::sqrt(dot(e1[k], e1[k])), l.shortest, 1e-12) << l.vectors.size() << "D";
            for (int c = 0; c < 3; ++c) EXPECT_NEAR(e1[k][c], e2[k][c], 1e-12) << l.vectors.size() << "D";
            // Equally long vectors at 60 degrees, so that grids along them
            // keep the lattice's symmetry.
            for (std::size_t j = 0; j < k; ++j) {
                EXPECT_NEAR(std::fabs(dot(e1[k], e1[j])), 0.5 * l.shortest * l.shortest, 1e-9);
            }
        }

        // The cells within 7 angstrom of an atom of the cell, against a
        // search over every multiple of the given vectors up to 12.
        const double radius = 7.0;
        const auto listed = UnitCell::translations_within(first, l.positions, radius);
        const auto listed_other = UnitCell::translations_within(second, l.positions, radius);
        ASSERT_EQ(listed.size(), listed_other.size());
        EXPECT_DOUBLE_EQ(listed[0].length, 0.0);
        const auto holds = [](const std::vector<TranslationIndex>& list, const Vec3& r) {
            return std::any_of(list.begin(), list.end(), [&](const TranslationIndex& t) {
                return std::fabs(t.cartesian[0] - r[0]) + std::fabs(t.cartesian[1] - r[1]) +
                           std::fabs(t.cartesian[2] - r[2]) < 1e-9;
            });
        };
        const int reach[3] = {12, l.vectors.size() > 1 ? 12 : 0, l.vectors.size() > 2 ? 12 : 0};
        std::size_t expected = 0;
        for (int n1 = -reach[0]; n1 <= reach[0]; ++n1) {
            for (int n2 = -reach[1]; n2 <= reach[1]; ++n2) {
                for (int n3 = -reach[2]; n3 <= reach[2]; ++n3) {
                    Vec3 r{};
                    const int n[3] = {n1, n2, n3};
                    for (std::size_t k = 0; k < l.vectors.size(); ++k) {
                        for (int c = 0; c < 3; ++c) r[c] += n[k] * l.vectors[k][c];
                    }
                    double nearest = 1e300;
                    for (const Vec3& p : l.positions) {
                        for (const Vec3& q : l.positions) {
                            const Vec3 gap = {p[0] - q[0] - r[0], p[1] - q[1] - r[1], p[2] - q[2] - r[2]};
                            nearest = std::min(nearest, std::sqrt(dot(gap, gap)));
                        }
                    }
                    if (nearest > radius) continue;
                    ++expected;
                    EXPECT_TRUE(holds(listed, r) && holds(listed_other, r)) << n1 << " " << n2 << " " << n3;
                }
            }
        }
        EXPECT_EQ(listed.size(), expected);
        // Sorted by length: the order of a basis shows only among equal lengths.
        for (std::size_t t = 1; t < listed.size(); ++t) EXPECT_LE(listed[t - 1].length, listed[t].length);
    }
}

}  // namespace
}  // namespace quorin
