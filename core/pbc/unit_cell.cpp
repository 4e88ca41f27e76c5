#include "core/pbc/unit_cell.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace quorin {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr double kDegenerateMeasure = 1e-6;  // angstrom, angstrom^2 or angstrom^3

Vec3 cross(const Vec3& a, const Vec3& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

Vec3 scaled(const Vec3& a, double s) { return {a[0] * s, a[1] * s, a[2] * s}; }

// f1 b1 + f2 b2 + f3 b3.
Vec3 reciprocal_point(const UnitCell& cell, const Vec3& f) {
    Vec3 k{};
    for (int c = 0; c < 3; ++c) k[c] = f[0] * cell.b1[c] + f[1] * cell.b2[c] + f[2] * cell.b3[c];
    return k;
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
constexpr Vertex kM = {"M", {0.5, 0.5, 0.0}};
constexpr Vertex kZ = {"Z", {0.0, 0.0, 0.5}};
constexpr Vertex kPath3d[] = {kGamma, kX, kM, kGamma, kZ};
constexpr Vertex kPath2d[] = {kGamma, kX, kM, kGamma};
constexpr Vertex kPath1d[] = {kGamma, kX};

std::span<const Vertex> path_vertices(std::uint8_t dimension) {
    if (dimension == 3) return kPath3d;
    if (dimension == 2) return kPath2d;
    return kPath1d;
}

}  // namespace

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

    if (count == 1) {
        const double length = std::sqrt(dot(cell.a1, cell.a1));
        if (!(length >= kDegenerateMeasure)) return std::string("1D translation vector length is virtually zero");
        cell.b1 = scaled(cell.a1, kTwoPi / (length * length));
        cell.measure = length;
    } else if (count == 2) {
        const Vec3 normal = cross(cell.a1, cell.a2);
        const double area_sq = dot(normal, normal);
        const double area = std::sqrt(area_sq);
        if (!(area >= kDegenerateMeasure)) return std::string("2D translation vectors are collinear (area = 0)");
        cell.b1 = scaled(cross(cell.a2, normal), kTwoPi / area_sq);
        cell.b2 = scaled(cross(normal, cell.a1), kTwoPi / area_sq);
        cell.measure = area;
    } else {
        // The signed volume keeps a_i . b_i = +2 pi for a left-handed set.
        const double volume = dot(cell.a1, cross(cell.a2, cell.a3));
        if (!(std::fabs(volume) >= kDegenerateMeasure)) {
            return std::string("3D translation vectors are coplanar (volume = 0)");
        }
        cell.b1 = scaled(cross(cell.a2, cell.a3), kTwoPi / volume);
        cell.b2 = scaled(cross(cell.a3, cell.a1), kTwoPi / volume);
        cell.b3 = scaled(cross(cell.a1, cell.a2), kTwoPi / volume);
        cell.measure = std::fabs(volume);
    }
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

std::uint64_t band_path_length(std::uint8_t dimension, std::uint64_t points_per_segment) {
    const std::uint64_t per_segment = std::max<std::uint64_t>(points_per_segment, 10);
    const std::uint64_t segments = path_vertices(dimension).size() - 1;
    std::uint64_t total = 0;
    if (__builtin_mul_overflow(per_segment, segments, &total) || __builtin_add_overflow(total, 1, &total)) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return total;
}

std::vector<KPoint> UnitCell::generate_band_path(const UnitCell& cell, std::uint64_t points_per_segment) {
    const std::uint64_t per_segment = std::max<std::uint64_t>(points_per_segment, 10);
    const std::span<const Vertex> vertices = path_vertices(cell.dimension);
    std::vector<KPoint> path;
    path.reserve(static_cast<std::size_t>(band_path_length(cell.dimension, points_per_segment)));
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

}  // namespace quorin
