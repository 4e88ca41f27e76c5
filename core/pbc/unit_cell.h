#pragma once
// Lattice geometry of a periodic system: the unit cell from one to three
// translation vectors with its reciprocal vectors, the lattice translations
// a periodic SCF keeps real-space blocks for, the Monkhorst-Pack sampling of
// the Brillouin zone, the high-symmetry band path, and the search for atoms
// that sit on a periodic image. Pure functions.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace quorin {

using Vec3 = std::array<double, 3>;

// One lattice translation R = n1 a1 + n2 a2 + n3 a3.
struct TranslationIndex {
    Vec3 cartesian{};   // angstrom
    double length = 0;  // |R|, angstrom
    std::int32_t n1 = 0;
    std::int32_t n2 = 0;
    std::int32_t n3 = 0;
};

struct KPoint {
    std::optional<std::string> label;  // "Gamma", "X", "M", "K", "Z", "A", "L", "H" on labelled points
    Vec3 fractional{};                 // coefficients of b1, b2, b3
    Vec3 cartesian{};                  // 1/angstrom, including 2 pi
    double weight = 0;                 // 1/(n1 n2 n3) on a grid, 0 on a band path
};

struct UnitCell {
    Vec3 a1{}, a2{}, a3{};  // angstrom; vectors beyond the dimension are zero
    Vec3 b1{}, b2{}, b3{};  // 1/angstrom, a_i . b_j = 2 pi delta_ij
    double measure = 0;     // length (1D), area (2D) or volume (3D), positive
    std::uint8_t dimension = 1;

    // The cell of `count` vectors (the first `count` entries of `vectors`),
    // or the message refusing them: a count other than 1 to 3, a component
    // that is not a number of at most 1e12 in size, or a length, area or
    // volume below 1e-6.
    static std::variant<UnitCell, std::string> from_translation_vectors(std::span<const Vec3> vectors,
                                                                        std::size_t count);

    // Every translation with |n_i| <= (N_i - 1) / 2 along the cell's
    // directions (N_i = counts[i]; counts beyond the dimension act as 1),
    // sorted stably by length, so the zero translation comes first.
    static std::vector<TranslationIndex> generate_translation_indices(const UnitCell& cell,
                                                                      const std::array<std::uint64_t, 3>& counts);

    // Every translation that brings an atom within `radius` angstrom of an
    // atom of the home cell (the smallest |r_i - r_j - R| over the atoms at
    // `positions`), sorted by length and then by (n1, n2, n3): the zero
    // translation first, and -R whenever R. The list depends on the lattice,
    // not on its basis; its multiples n1, n2, n3 are those of this cell's
    // vectors.
    static std::vector<TranslationIndex> translations_within(const UnitCell& cell, std::span<const Vec3> positions,
                                                             double radius);

    // Monkhorst-Pack grid, i outermost: f = (2i - n + 1) / (2n) per direction,
    // weights 1 / (n1 n2 n3). Divisions of 0 act as 1; those beyond the
    // dimension are ignored.
    static std::vector<KPoint> generate_monkhorst_pack_grid(const UnitCell& cell,
                                                            const std::array<std::uint64_t, 3>& divisions);

    // Gamma-X (1D), Gamma-X-M-Gamma (2D), Gamma-X-M-Gamma-Z (3D), or for a
    // hexagonal cell Gamma-M-K-Gamma (2D) and Gamma-M-K-Gamma-A-L-H-A (3D),
    // with at least 10 points per segment plus the final vertex; weights 0.
    static std::vector<KPoint> generate_band_path(const UnitCell& cell, std::uint64_t points_per_segment);
};

// The lattice of `cell` in a basis fixed by the lattice alone, whatever
// vectors described it: the shortest lattice vector, then the shortest that
// extends it to a basis of the lattice, then the third. Among vectors equally
// long (to 1e-9) the one furthest from perpendicular to those already chosen
// is taken (a face-centred cubic lattice gets three vectors at 60 degrees),
// then the one first in (x, y, z) order; each has its first nonzero component
// positive. Grids and translation counts along these vectors are therefore
// the same for every basis of one lattice.
UnitCell reduced_cell(const UnitCell& cell);

// The grid (symmetric under k -> -k, as every Monkhorst-Pack grid is) with
// each pair k, -k kept once, as the member whose first nonzero fractional
// coordinate is positive, at twice the weight. A Hamiltonian with real
// real-space blocks has the same levels at k and -k and complex-conjugate
// Bloch densities, so every real sum over the grid is unchanged.
std::vector<KPoint> fold_inversion_pairs(std::span<const KPoint> grid);

// Divisions along each of the cell's vectors that keep every translation of
// the list apart in a k-point sum: 2 max |n_i| + 1, odd, so the grid holds
// the zone centre.
std::array<std::uint64_t, 3> resolving_divisions(std::span<const TranslationIndex> translations);

// Atom `atom` lies `distance` angstrom from atom `image_of` shifted by the
// translation shift[0] a1 + shift[1] a2 + shift[2] a3.
struct CloseImage {
    std::size_t atom = 0;
    std::size_t image_of = 0;
    std::array<std::int64_t, 3> shift{};
    double distance = 0;
};

// A pair of atoms (an atom and itself included) closer than `min_distance`
// angstrom through a nonzero lattice translation, or through the zero
// translation for two different atoms; nothing when every atom keeps that
// distance from every periodic image. Searches the whole lattice, not only
// the translations a run keeps.
std::optional<CloseImage> find_close_image(const UnitCell& cell, std::span<const Vec3> positions,
                                           double min_distance);

// Each position moved by a lattice vector of `cell` (a reduced cell, whose
// nearly orthogonal vectors put the nearest image within two steps of the
// rounded coefficients) to its image nearest the first position, of equally
// near ones (to 1e-9 of the cell's size) the first in (x, y, z) order
// relative to it: the same positions whichever image of each atom was given,
// up to one translation of them all when the first atom's image changes.
std::vector<Vec3> images_near_first(const UnitCell& cell, std::span<const Vec3> positions);

inline double dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// k = f1 b1 + f2 b2 + f3 b3, 1/angstrom.
Vec3 reciprocal_point(const UnitCell& cell, const Vec3& fractional);

// Translations kept on each side of the home cell along a direction with
// `count` copies: (count - 1) / 2, 0 for a count of 0 or 1, capped at
// INT32_MAX / 2 so that the index range never overflows.
std::int32_t translation_half_count(std::uint64_t count);

// Counts actually used along a1, a2, a3 by a cell of this dimension: the
// given ones within the dimension, 1 beyond it.
std::array<std::uint64_t, 3> counts_within_dimension(std::uint8_t dimension,
                                                     const std::array<std::uint64_t, 3>& counts);

// Length of the band path of this cell for the requested points per segment
// (at least 10), saturated at the largest std::uint64_t.
std::uint64_t band_path_length(const UnitCell& cell, std::uint64_t points_per_segment);

}  // namespace quorin
