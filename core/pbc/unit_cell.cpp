#include "core/pbc/unit_cell.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <tuple>
#include <utility>

namespace quorin {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr double kDegenerateMeasure = 1e-6;  // angstrom, angstrom^2 or angstrom^3
// Largest accepted vector component, angstrom: squares of sums of a few
// such vectors, areas and volumes stay far from overflow.
constexpr double kLongestComponent = 1e12;

Vec3 cross(const Vec3& a, const Vec3& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

Vec3 scaled(const Vec3& a, double s) { return {a[0] * s, a[1] * s, a[2] * s}; }

// g_k with g_k . e_l = scale delta_kl, in the span of the first `size`
// vectors e (the reciprocal vectors for scale 2 pi); the vectors must be
// independent.
std::array<Vec3, 3> dual_vectors(const std::array<Vec3, 3>& e, int size, double scale) {
    std::array<Vec3, 3> dual{};
    if (size == 1) {
        dual[0] = scaled(e[0], scale / dot(e[0], e[0]));
    } else if (size == 2) {
        const Vec3 normal = cross(e[0], e[1]);
        const double area_sq = dot(normal, normal);
        dual[0] = scaled(cross(e[1], normal), scale / area_sq);
        dual[1] = scaled(cross(normal, e[0]), scale / area_sq);
    } else {
        // The signed volume keeps e_k . g_k = +scale for a left-handed set.
        const double volume = dot(e[0], cross(e[1], e[2]));
        dual[0] = scaled(cross(e[1], e[2]), scale / volume);
        dual[1] = scaled(cross(e[2], e[0]), scale / volume);
        dual[2] = scaled(cross(e[0], e[1]), scale / volume);
    }
    return dual;
}

KPoint path_point(const UnitCell& cell, std::optional<std::string> label, const Vec3& f) {
    return {std::move(label), f, reciprocal_point(cell, f), 0.0};
}

struct Vertex {
    const char* label;
    Vec3 fractional;
};

constexpr Vertex kGamma = {"Gamma", {0.0, 0.0, 0.0}};
constexpr Vertex kX = {"X", {0.5, 0.0, 0.0}};
constexpr Vertex kZ = {"Z", {0.0, 0.0, 0.5}};

// Equal lengths and cos(angle) = +-1/2, relative tolerance: enough for
// vectors typed with four significant digits.
constexpr double kHexagonalTolerance = 1e-3;

bool hexagonal_pair(const Vec3& a, const Vec3& b, bool& obtuse) {
    const double la = std::sqrt(dot(a, a));
    const double lb = std::sqrt(dot(b, b));
    if (!(std::fabs(la - lb) <= kHexagonalTolerance * std::max(la, lb))) return false;
    const double cosine = dot(a, b) / (la * lb);
    if (!(std::fabs(std::fabs(cosine) - 0.5) <= kHexagonalTolerance)) return false;
    obtuse = cosine < 0.0;
    return true;
}

// Two translation vectors of equal length at 60 or 120 degrees (in 3D with
// the third perpendicular to both): the plane of a hexagonal lattice.
struct HexagonalPlane {
    int first = 0;       // index of the first vector of the pair (0 = a1)
    int second = 1;      // index of the second
    int axis = 2;        // index of the third vector (3D only)
    bool obtuse = true;  // 120 degrees between them (false: 60)
};

std::optional<HexagonalPlane> hexagonal_plane(const UnitCell& cell) {
    HexagonalPlane plane;
    if (cell.dimension == 2) {
        if (hexagonal_pair(cell.a1, cell.a2, plane.obtuse)) return plane;
        return std::nullopt;
    }
    if (cell.dimension != 3) return std::nullopt;
    const Vec3 a[] = {cell.a1, cell.a2, cell.a3};
    for (const auto& [first, second, axis] : {std::tuple{0, 1, 2}, {1, 2, 0}, {0, 2, 1}}) {
        if (!hexagonal_pair(a[first], a[second], plane.obtuse)) continue;
        const double axis_length = std::sqrt(dot(a[axis], a[axis]));
        bool perpendicular = true;
        for (const int member : {first, second}) {
            const double cosine = dot(a[axis], a[member]) / (axis_length * std::sqrt(dot(a[member], a[member])));
            perpendicular = perpendicular && std::fabs(cosine) <= kHexagonalTolerance;
        }
        if (!perpendicular) continue;
        plane.first = first;
        plane.second = second;
        plane.axis = axis;
        return plane;
    }
    return std::nullopt;
}

// The path's vertices for this cell, in order.
std::vector<Vertex> path_vertices(const UnitCell& cell) {
    const auto hexagonal = hexagonal_plane(cell);
    if (!hexagonal) {
        if (cell.dimension == 3) return {kGamma, kX, {"M", {0.5, 0.5, 0.0}}, kGamma, kZ};
        if (cell.dimension == 2) return {kGamma, kX, {"M", {0.5, 0.5, 0.0}}, kGamma};
        return {kGamma, kX};
    }
    // M is the middle of a zone edge, K a zone corner: with b1, b2 of the
    // pair at 60 degrees (lattice vectors at 120) K = (b1 + b2) / 3,
    // otherwise (2 b1 + b2) / 3. A, L and H lie half a b3 above Gamma, M, K.
    const auto point = [&](double f_first, double f_second, double f_axis) {
        Vec3 f{};
        f[hexagonal->first] = f_first;
        f[hexagonal->second] = f_second;
        if (cell.dimension == 3) f[hexagonal->axis] = f_axis;
        return f;
    };
    const double k_first = hexagonal->obtuse ? 1.0 / 3.0 : 2.0 / 3.0;
    const Vertex m = {"M", point(0.5, 0.0, 0.0)};
    const Vertex k = {"K", point(k_first, 1.0 / 3.0, 0.0)};
    if (cell.dimension == 2) return {kGamma, m, k, kGamma};
    const Vertex a = {"A", point(0.0, 0.0, 0.5)};
    return {kGamma, m, k, kGamma, a, {"L", point(0.5, 0.0, 0.5)}, {"H", point(k_first, 1.0 / 3.0, 0.5)}, a};
}

// Integer combinations e_k = sum_d u[k][d] a_d of the cell's vectors.
struct LatticeBasis {
    std::array<Vec3, 3> vectors{};
    std::array<std::array<std::int64_t, 3>, 3> combination{};
    int size = 0;
};

void subtract_multiple(LatticeBasis& basis, int target, int source, std::int64_t multiple) {
    for (int c = 0; c < 3; ++c) {
        basis.vectors[target][c] -= static_cast<double>(multiple) * basis.vectors[source][c];
        basis.combination[target][c] -= multiple * basis.combination[source][c];
    }
}

// Shortens the basis until no vector gets shorter by subtracting a multiple
// of another and (in 3D) none is longer than a sum of all three with signs.
// For up to three vectors such a basis is nearly orthogonal, so a ball of
// radius r meets only a few lattice points per direction beyond r / |e|.
LatticeBasis reduced_basis(const UnitCell& cell) {
    LatticeBasis basis;
    basis.size = cell.dimension;
    const Vec3 given[] = {cell.a1, cell.a2, cell.a3};
    for (int k = 0; k < basis.size; ++k) {
        basis.vectors[k] = given[k];
        basis.combination[k][k] = 1;
    }
    for (int sweep = 0; sweep < 1000; ++sweep) {
        bool changed = false;
        for (int k = 0; k < basis.size; ++k) {
            for (int l = 0; l < basis.size; ++l) {
                if (k == l) continue;
                const double ratio = dot(basis.vectors[k], basis.vectors[l]) / dot(basis.vectors[l], basis.vectors[l]);
                // Strictly beyond one half, so every step shortens e_k.
                if (!(std::fabs(ratio) > 0.5 + 1e-12) || !(std::fabs(ratio) < 1e15)) continue;
                subtract_multiple(basis, k, l, std::llround(ratio));
                changed = true;
            }
        }
        if (basis.size == 3) {
            const auto& e = basis.vectors;
            for (const auto& [s1, s2] : {std::pair{1, 1}, {1, -1}, {-1, 1}, {-1, -1}}) {
                Vec3 sum{};
                for (int c = 0; c < 3; ++c) sum[c] = e[0][c] + s1 * e[1][c] + s2 * e[2][c];
                int longest = 0;
                for (int k = 1; k < 3; ++k) {
                    if (dot(e[k], e[k]) > dot(e[longest], e[longest])) longest = k;
                }
                if (!(dot(sum, sum) < (1.0 - 1e-12) * dot(e[longest], e[longest]))) continue;
                // The sum holds the replaced member with coefficient +-1, so
                // the three vectors still span the lattice.
                std::array<std::int64_t, 3> combination{};
                for (int d = 0; d < 3; ++d) {
                    combination[d] = basis.combination[0][d] + s1 * basis.combination[1][d] +
                                     s2 * basis.combination[2][d];
                }
                basis.vectors[longest] = sum;
                basis.combination[longest] = combination;
                changed = true;
            }
        }
        if (!changed) break;
    }
    return basis;
}

// Lengths and coordinates closer than this (relative to the cell's scale)
// count as equal when the reduced basis is chosen.
constexpr double kTieTolerance = 1e-9;

// A lattice vector and its integer coefficients in some basis.
struct LatticeVector {
    Vec3 v{};
    std::array<std::int64_t, 3> m{};
    double length = 0;
};

// Shorter; or as long and further from perpendicular to the vectors chosen
// before (the sum of |e_k . v|, which makes a cubic face-centred lattice's
// basis the rhombohedral one, all three vectors at 60 degrees); or else
// first in (x, y, z) order.
bool precedes(const LatticeVector& a, const LatticeVector& b, const std::vector<LatticeVector>& chosen,
              double scale) {
    const double tolerance = kTieTolerance * scale;
    if (std::fabs(a.length - b.length) > tolerance) return a.length < b.length;
    double lean_a = 0.0, lean_b = 0.0;
    for (const LatticeVector& e : chosen) {
        lean_a += std::fabs(dot(e.v, a.v));
        lean_b += std::fabs(dot(e.v, b.v));
    }
    if (std::fabs(lean_a - lean_b) > tolerance * scale) return lean_a > lean_b;
    for (int c = 0; c < 3; ++c) {
        if (std::fabs(a.v[c] - b.v[c]) > tolerance) return a.v[c] < b.v[c];
    }
    return false;
}

std::int64_t gcd_of(std::int64_t a, std::int64_t b) {
    a = a < 0 ? -a : a;
    b = b < 0 ? -b : b;
    while (b != 0) a = std::exchange(b, a % b);
    return a;
}

// Whether `chosen` with `next` appended (coefficients in a basis of a
// lattice of dimension `size`) can be extended to a basis of the lattice:
// the gcd of the maximal minors of their coefficient matrix is 1.
bool extends_to_basis(const std::vector<LatticeVector>& chosen, const LatticeVector& next, int size) {
    const auto& m = next.m;
    if (chosen.empty()) return gcd_of(gcd_of(m[0], m[1]), m[2]) == 1;
    const auto& a = chosen[0].m;
    const std::int64_t cross[3] = {a[1] * m[2] - a[2] * m[1], a[2] * m[0] - a[0] * m[2], a[0] * m[1] - a[1] * m[0]};
    if (chosen.size() == 1) {
        // In 2D the coefficients have no third component: the minor is cross[2].
        return size == 2 ? (cross[2] == 1 || cross[2] == -1) : gcd_of(gcd_of(cross[0], cross[1]), cross[2]) == 1;
    }
    const auto& b = chosen[1].m;
    const std::int64_t det = b[0] * cross[0] + b[1] * cross[1] + b[2] * cross[2];
    return det == 1 || det == -1;
}

}  // namespace

UnitCell reduced_cell(const UnitCell& cell) {
    const LatticeBasis basis = reduced_basis(cell);
    double scale = 0.0;
    for (int k = 0; k < basis.size; ++k) scale = std::max(scale, std::sqrt(dot(basis.vectors[k], basis.vectors[k])));
    // The nearly orthogonal basis holds the shortest vectors among small
    // combinations of its members; each taken once, its sign fixed.
    std::vector<LatticeVector> candidates;
    const int reach[3] = {2, basis.size >= 2 ? 2 : 0, basis.size == 3 ? 2 : 0};
    for (int i = -reach[0]; i <= reach[0]; ++i) {
        for (int j = -reach[1]; j <= reach[1]; ++j) {
            for (int l = -reach[2]; l <= reach[2]; ++l) {
                LatticeVector c;
                c.m = {i, j, l};
                for (int d = 0; d < 3; ++d) {
                    c.v[d] = i * basis.vectors[0][d] + j * basis.vectors[1][d] + l * basis.vectors[2][d];
                }
                c.length = std::sqrt(dot(c.v, c.v));
                if (!(c.length > kTieTolerance * scale)) continue;
                int leading = 0;
                while (leading < 2 && std::fabs(c.v[leading]) <= kTieTolerance * c.length) ++leading;
                if (c.v[leading] > 0.0) candidates.push_back(c);
            }
        }
    }
    std::vector<LatticeVector> chosen;
    while (static_cast<int>(chosen.size()) < basis.size) {
        const LatticeVector* best = nullptr;
        for (const LatticeVector& c : candidates) {
            if (!extends_to_basis(chosen, c, basis.size)) continue;
            if (best == nullptr || precedes(c, *best, chosen, scale)) best = &c;
        }
        if (best == nullptr) break;
        chosen.push_back(*best);
    }
    std::vector<Vec3> vectors;
    for (const LatticeVector& c : chosen) vectors.push_back(c.v);
    auto made = UnitCell::from_translation_vectors(vectors, vectors.size());
    // Lengths that no comparison can order (beyond the range of squares)
    // leave the cell as it was given.
    if (static_cast<int>(chosen.size()) < basis.size || !std::holds_alternative<UnitCell>(made)) return cell;
    return std::get<UnitCell>(made);
}

std::vector<KPoint> fold_inversion_pairs(std::span<const KPoint> grid) {
    std::vector<KPoint> folded;
    folded.reserve(grid.size() / 2 + 1);
    for (const KPoint& k : grid) {
        int leading = 0;
        while (leading < 3 && k.fractional[leading] == 0.0) ++leading;
        if (leading < 3 && k.fractional[leading] < 0.0) continue;
        folded.push_back(k);
        if (leading < 3) folded.back().weight *= 2.0;
    }
    return folded;
}

std::array<std::uint64_t, 3> resolving_divisions(std::span<const TranslationIndex> translations) {
    std::array<std::uint64_t, 3> divisions{1, 1, 1};
    for (const TranslationIndex& t : translations) {
        const std::int64_t n[3] = {t.n1, t.n2, t.n3};
        for (int d = 0; d < 3; ++d) {
            divisions[d] = std::max(divisions[d], 2 * static_cast<std::uint64_t>(n[d] < 0 ? -n[d] : n[d]) + 1);
        }
    }
    return divisions;
}

std::variant<UnitCell, std::string> UnitCell::from_translation_vectors(std::span<const Vec3> vectors,
                                                                       std::size_t count) {
    if (count < 1 || count > 3 || count > vectors.size()) {
        return "Unit cell requires 1, 2, or 3 translation vectors, got " + std::to_string(count);
    }
    UnitCell cell;
    cell.dimension = static_cast<std::uint8_t>(count);
    cell.a1 = vectors[0];
    if (count >= 2) cell.a2 = vectors[1];
    if (count == 3) cell.a3 = vectors[2];

    for (std::size_t v = 0; v < count; ++v) {
        for (const double component : vectors[v]) {
            if (!(std::fabs(component) <= kLongestComponent)) {
                return "Translation vector " + std::to_string(v) + " is too long: components must lie within " +
                       std::to_string(static_cast<long long>(kLongestComponent)) + " angstrom";
            }
        }
    }
    if (count == 1) {
        const double length = std::sqrt(dot(cell.a1, cell.a1));
        if (!(length >= kDegenerateMeasure)) return std::string("1D translation vector length is virtually zero");
        cell.measure = length;
    } else if (count == 2) {
        const Vec3 normal = cross(cell.a1, cell.a2);
        const double area = std::sqrt(dot(normal, normal));
        if (!(area >= kDegenerateMeasure)) return std::string("2D translation vectors are collinear (area = 0)");
        cell.measure = area;
    } else {
        const double volume = dot(cell.a1, cross(cell.a2, cell.a3));
        if (!(std::fabs(volume) >= kDegenerateMeasure)) {
            return std::string("3D translation vectors are coplanar (volume = 0)");
        }
        cell.measure = std::fabs(volume);
    }
    const std::array<Vec3, 3> b = dual_vectors({cell.a1, cell.a2, cell.a3}, static_cast<int>(count), kTwoPi);
    cell.b1 = b[0];
    cell.b2 = b[1];
    cell.b3 = b[2];
    return cell;
}

std::int32_t translation_half_count(std::uint64_t count) {
    const std::uint64_t half = count == 0 ? 0 : (count - 1) / 2;
    return static_cast<std::int32_t>(std::min<std::uint64_t>(half, std::numeric_limits<std::int32_t>::max() / 2));
}

std::array<std::uint64_t, 3> counts_within_dimension(std::uint8_t dimension,
                                                     const std::array<std::uint64_t, 3>& counts) {
    return {counts[0], dimension >= 2 ? counts[1] : 1, dimension == 3 ? counts[2] : 1};
}

std::vector<TranslationIndex> UnitCell::generate_translation_indices(const UnitCell& cell,
                                                                     const std::array<std::uint64_t, 3>& counts) {
    std::array<std::int32_t, 3> half{};
    const auto used = counts_within_dimension(cell.dimension, counts);
    for (int d = 0; d < 3; ++d) half[d] = translation_half_count(used[d]);
    std::vector<TranslationIndex> list;
    list.reserve(static_cast<std::size_t>(2 * half[0] + 1) * static_cast<std::size_t>(2 * half[1] + 1) *
                 static_cast<std::size_t>(2 * half[2] + 1));
    for (std::int32_t n1 = -half[0]; n1 <= half[0]; ++n1) {
        for (std::int32_t n2 = -half[1]; n2 <= half[1]; ++n2) {
            for (std::int32_t n3 = -half[2]; n3 <= half[2]; ++n3) {
                TranslationIndex t;
                for (int c = 0; c < 3; ++c) t.cartesian[c] = n1 * cell.a1[c] + n2 * cell.a2[c] + n3 * cell.a3[c];
                t.length = std::sqrt(dot(t.cartesian, t.cartesian));
                t.n1 = n1;
                t.n2 = n2;
                t.n3 = n3;
                list.push_back(t);
            }
        }
    }
    std::stable_sort(list.begin(), list.end(),
                     [](const TranslationIndex& a, const TranslationIndex& b) { return a.length < b.length; });
    return list;
}

std::vector<TranslationIndex> UnitCell::translations_within(const UnitCell& cell, std::span<const Vec3> positions,
                                                            double radius) {
    // Rounding never decides whether a shell exactly at the radius is in.
    const double limit = radius + 1e-6;
    const std::array<Vec3, 3> a = {cell.a1, cell.a2, cell.a3};
    const std::array<Vec3, 3> dual = dual_vectors(a, cell.dimension, 1.0);
    std::vector<std::array<std::int32_t, 3>> found;
    for (const Vec3& ri : positions) {
        for (const Vec3& rj : positions) {
            const Vec3 d = {ri[0] - rj[0], ri[1] - rj[1], ri[2] - rj[2]};
            // Translations R = sum n_k a_k with |d - R| <= limit have
            // |n_k - g_k . d| <= limit |g_k|.
            std::array<std::int32_t, 3> lo{}, hi{};
            bool representable = true;
            for (int k = 0; k < cell.dimension; ++k) {
                const double centre = dot(dual[k], d);
                const double reach = limit * std::sqrt(dot(dual[k], dual[k]));
                representable = representable && std::fabs(centre) + reach < 1e9;
                if (!representable) break;
                lo[k] = static_cast<std::int32_t>(std::ceil(centre - reach));
                hi[k] = static_cast<std::int32_t>(std::floor(centre + reach));
            }
            if (!representable) continue;
            std::array<std::int32_t, 3> n{};
            for (n[0] = lo[0]; n[0] <= hi[0]; ++n[0]) {
                for (n[1] = lo[1]; n[1] <= hi[1]; ++n[1]) {
                    for (n[2] = lo[2]; n[2] <= hi[2]; ++n[2]) {
                        Vec3 gap = d;
                        for (int k = 0; k < 3; ++k) {
                            for (int c = 0; c < 3; ++c) gap[c] -= n[k] * a[k][c];
                        }
                        if (dot(gap, gap) <= limit * limit) found.push_back(n);
                    }
                }
            }
        }
    }
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    std::vector<TranslationIndex> list;
    list.reserve(found.size());
    for (const auto& n : found) {
        TranslationIndex t;
        for (int c = 0; c < 3; ++c) t.cartesian[c] = n[0] * a[0][c] + n[1] * a[1][c] + n[2] * a[2][c];
        t.length = std::sqrt(dot(t.cartesian, t.cartesian));
        t.n1 = n[0];
        t.n2 = n[1];
        t.n3 = n[2];
        list.push_back(t);
    }
    std::stable_sort(list.begin(), list.end(),
                     [](const TranslationIndex& x, const TranslationIndex& y) { return x.length < y.length; });
    return list;
}

std::vector<KPoint> UnitCell::generate_monkhorst_pack_grid(const UnitCell& cell,
                                                           const std::array<std::uint64_t, 3>& divisions) {
    auto used = counts_within_dimension(cell.dimension, divisions);
    for (auto& d : used) d = std::max<std::uint64_t>(d, 1);
    const double weight = 1.0 / (static_cast<double>(used[0]) * static_cast<double>(used[1]) *
                                 static_cast<double>(used[2]));
    // Offset (2i - n + 1) / (2n), exactly 0 for a single division.
    auto offset = [](std::uint64_t i, std::uint64_t n) {
        if (n == 1) return 0.0;
        return (2.0 * static_cast<double>(i) - static_cast<double>(n) + 1.0) / (2.0 * static_cast<double>(n));
    };
    std::vector<KPoint> grid;
    grid.reserve(static_cast<std::size_t>(used[0] * used[1] * used[2]));
    for (std::uint64_t i = 0; i < used[0]; ++i) {
        for (std::uint64_t j = 0; j < used[1]; ++j) {
            for (std::uint64_t l = 0; l < used[2]; ++l) {
                KPoint k;
                k.fractional = {offset(i, used[0]), offset(j, used[1]), offset(l, used[2])};
                if (std::fabs(k.fractional[0]) < 1e-6 && std::fabs(k.fractional[1]) < 1e-6 &&
                    std::fabs(k.fractional[2]) < 1e-6) {
                    k.label = "Gamma";
                }
                k.cartesian = reciprocal_point(cell, k.fractional);
                k.weight = weight;
                grid.push_back(std::move(k));
            }
        }
    }
    return grid;
}

std::uint64_t band_path_length(const UnitCell& cell, std::uint64_t points_per_segment) {
    const std::uint64_t per_segment = std::max<std::uint64_t>(points_per_segment, 10);
    const std::uint64_t segments = path_vertices(cell).size() - 1;
    std::uint64_t total = 0;
    if (__builtin_mul_overflow(per_segment, segments, &total) || __builtin_add_overflow(total, 1, &total)) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return total;
}

std::vector<KPoint> UnitCell::generate_band_path(const UnitCell& cell, std::uint64_t points_per_segment) {
    const std::uint64_t per_segment = std::max<std::uint64_t>(points_per_segment, 10);
    const std::vector<Vertex> vertices = path_vertices(cell);
    std::vector<KPoint> path;
    path.reserve(static_cast<std::size_t>(band_path_length(cell, points_per_segment)));
    for (std::size_t s = 0; s + 1 < vertices.size(); ++s) {
        const Vec3& p = vertices[s].fractional;
        const Vec3& q = vertices[s + 1].fractional;
        path.push_back(path_point(cell, vertices[s].label, p));
        for (std::uint64_t i = 1; i < per_segment; ++i) {
            const double t = static_cast<double>(i) / static_cast<double>(per_segment);
            path.push_back(path_point(cell, std::nullopt,
                                      {p[0] + t * (q[0] - p[0]), p[1] + t * (q[1] - p[1]), p[2] + t * (q[2] - p[2])}));
        }
    }
    path.push_back(path_point(cell, vertices.back().label, vertices.back().fractional));
    return path;
}

Vec3 reciprocal_point(const UnitCell& cell, const Vec3& f) {
    Vec3 k{};
    for (int c = 0; c < 3; ++c) k[c] = f[0] * cell.b1[c] + f[1] * cell.b2[c] + f[2] * cell.b3[c];
    return k;
}

std::vector<Vec3> images_near_first(const UnitCell& cell, std::span<const Vec3> positions) {
    std::vector<Vec3> moved(positions.begin(), positions.end());
    if (positions.empty()) return moved;
    const std::array<Vec3, 3> a = {cell.a1, cell.a2, cell.a3};
    const std::array<Vec3, 3> dual = dual_vectors(a, cell.dimension, 1.0);
    double scale = 0.0;
    for (int k = 0; k < cell.dimension; ++k) scale = std::max(scale, std::sqrt(dot(a[k], a[k])));
    const double tie = kTieTolerance * scale;
    // Ties between equally near images (an atom halfway along a vector) go
    // to the image first in (x, y, z) order relative to the first atom:
    // a choice among the images themselves, so the same for any given one.
    const auto nearer = [&](const Vec3& c, double c_length, const Vec3& best, double best_length) {
        if (c_length < best_length - tie) return true;
        if (c_length > best_length + tie) return false;
        for (int k = 0; k < 3; ++k) {
            if (c[k] < best[k] - tie) return true;
            if (c[k] > best[k] + tie) return false;
        }
        return false;
    };
    const int reach[3] = {2, cell.dimension >= 2 ? 2 : 0, cell.dimension == 3 ? 2 : 0};
    for (std::size_t i = 1; i < moved.size(); ++i) {
        const Vec3 d = {positions[i][0] - positions[0][0], positions[i][1] - positions[0][1],
                        positions[i][2] - positions[0][2]};
        std::array<double, 3> centre{};
        bool bounded = true;
        for (int k = 0; k < cell.dimension; ++k) {
            centre[k] = std::round(dot(dual[k], d));
            bounded = bounded && std::fabs(centre[k]) < 1e15;
        }
        if (!bounded) continue;  // no sensible cell: left where it is
        Vec3 best{};
        double best_length = std::numeric_limits<double>::infinity();
        for (int n1 = -reach[0]; n1 <= reach[0]; ++n1) {
            for (int n2 = -reach[1]; n2 <= reach[1]; ++n2) {
                for (int n3 = -reach[2]; n3 <= reach[2]; ++n3) {
                    const double shift[3] = {centre[0] + n1, centre[1] + n2, centre[2] + n3};
                    Vec3 candidate = d;
                    for (int k = 0; k < cell.dimension; ++k) {
                        for (int c = 0; c < 3; ++c) candidate[c] -= shift[k] * a[k][c];
                    }
                    const double length = std::sqrt(dot(candidate, candidate));
                    if (nearer(candidate, length, best, best_length)) {
                        best = candidate;
                        best_length = length;
                    }
                }
            }
        }
        for (int c = 0; c < 3; ++c) moved[i][c] = positions[0][c] + best[c];
    }
    return moved;
}

std::optional<CloseImage> find_close_image(const UnitCell& cell, std::span<const Vec3> positions,
                                           double min_distance) {
    const LatticeBasis basis = reduced_basis(cell);
    const auto shift_of = [&](const std::array<std::int64_t, 3>& m) {
        std::array<std::int64_t, 3> shift{};
        for (int k = 0; k < basis.size; ++k) {
            for (int d = 0; d < 3; ++d) shift[d] += m[k] * basis.combination[k][d];
        }
        return shift;
    };
    // A lattice vector shorter than the limit brings every atom onto its own
    // image; it also bounds the search below.
    for (int k = 0; k < basis.size && !positions.empty(); ++k) {
        const double length = std::sqrt(dot(basis.vectors[k], basis.vectors[k]));
        if (!(length >= min_distance)) return CloseImage{0, 0, basis.combination[k], length};
    }
    const std::array<Vec3, 3> dual = dual_vectors(basis.vectors, basis.size, 1.0);
    for (std::size_t i = 0; i < positions.size(); ++i) {
        for (std::size_t j = i; j < positions.size(); ++j) {
            Vec3 d{};
            for (int c = 0; c < 3; ++c) d[c] = positions[i][c] - positions[j][c];
            // Translations R = sum m_k e_k with |d - R| < min_distance have
            // |m_k - g_k . d| < min_distance |g_k|.
            std::array<std::int64_t, 3> lo{}, hi{};
            bool bounded = true;
            for (int k = 0; k < basis.size; ++k) {
                const double centre = dot(dual[k], d);
                const double reach = min_distance * std::sqrt(dot(dual[k], dual[k]));
                bounded = bounded && std::fabs(centre) + reach < 1e15;
                if (!bounded) break;
                lo[k] = static_cast<std::int64_t>(std::ceil(centre - reach));
                hi[k] = static_cast<std::int64_t>(std::floor(centre + reach));
            }
            if (!bounded) continue;  // atoms beyond any sensible cell: no integer grid to search
            std::array<std::int64_t, 3> m{};
            for (m[0] = lo[0]; m[0] <= hi[0]; ++m[0]) {
                for (m[1] = lo[1]; m[1] <= hi[1]; ++m[1]) {
                    for (m[2] = lo[2]; m[2] <= hi[2]; ++m[2]) {
                        if (i == j && m[0] == 0 && m[1] == 0 && m[2] == 0) continue;
                        Vec3 gap = d;
                        for (int k = 0; k < basis.size; ++k) {
                            for (int c = 0; c < 3; ++c) gap[c] -= static_cast<double>(m[k]) * basis.vectors[k][c];
                        }
                        const double distance = std::sqrt(dot(gap, gap));
                        if (distance < min_distance) return CloseImage{i, j, shift_of(m), distance};
                    }
                }
            }
        }
    }
    return std::nullopt;
}

}  // namespace quorin
