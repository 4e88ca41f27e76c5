#include "python/method_lookup.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "python/py_support.h"

namespace quorin::py {

std::unique_ptr<ParameterModel> get_model(const std::string& method) {
    const std::string name = to_upper(method);
    if (name == "MNDO") return std::make_unique<MndoModel>();
    if (name == "PM7") return std::make_unique<Pm7Model>();
    if (name == "PM6") return std::make_unique<Pm6Model>();
    if (name == "AM1") return std::make_unique<Am1Model>();
    if (name == "RM1") return std::make_unique<Rm1Model>();
    if (name == "PM3") return std::make_unique<Pm3Model>();
    throw InputError("Unsupported semi-empirical method: '" + name +
                     "'. Supported methods: PM7, PM6, AM1, RM1, PM3, MNDO");
}

DispersionModel dispersion_argument(const std::string& name) {
    try {
        return dispersion_model_named(to_upper(name));
    } catch (const RequestError& refused) {
        refuse_argument("dispersion", refused.what());
    }
}

namespace {

std::string atom_label(std::span<const std::uint8_t> atomic_numbers, std::size_t i) {
    std::string label = std::to_string(i);
    if (i < atomic_numbers.size()) label += " (Z=" + std::to_string(atomic_numbers[i]) + ")";
    return label;
}

struct ClosePair {
    std::size_t i, j;
    double distance;
};

// The first pair (i, j), i < j, in atom order, of atoms closer than
// kMinAtomDistanceAngstrom, found through a grid of cells that size: only
// atoms in neighbouring cells can be that close. Atoms without a close
// neighbour lie at most 8 to a cell, so each cell is scanned from a bounded
// number of atoms and the search takes O(n log n) for any input.
// Coordinates must already be bounded.
std::optional<ClosePair> first_close_pair(
    std::span<const std::array<double, 3>> coordinates) {
    constexpr double kCell = kMinAtomDistanceAngstrom;
    constexpr double kLimit2 = kMinAtomDistanceAngstrom * kMinAtomDistanceAngstrom;
    // 21 bits per axis hold the cell indices of +-kMaxCoordinateAngstrom.
    constexpr std::int64_t kOffset = std::int64_t{1} << 20;
    static_assert(kMaxCoordinateAngstrom / kCell + 2 < double(kOffset));
    const auto cell_of = [&](double x) { return static_cast<std::int64_t>(std::floor(x / kCell)) + kOffset; };
    const auto key_of = [](std::int64_t cx, std::int64_t cy, std::int64_t cz) {
        return static_cast<std::uint64_t>((cx << 42) | (cy << 21) | cz);
    };
    const std::size_t n = coordinates.size();
    std::vector<std::array<std::int64_t, 3>> cells(n);
    std::vector<std::pair<std::uint64_t, std::size_t>> sorted(n);
    for (std::size_t i = 0; i < n; ++i) {
        cells[i] = {cell_of(coordinates[i][0]), cell_of(coordinates[i][1]), cell_of(coordinates[i][2])};
        sorted[i] = {key_of(cells[i][0], cells[i][1], cells[i][2]), i};
    }
    std::sort(sorted.begin(), sorted.end());
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t partner = n;
        double partner_r2 = 0.0;
        const auto& [cx, cy, cz] = cells[i];
        // Cells (x, y, z-1..z+1) are adjacent in key order: one range per (x, y).
        for (std::int64_t dx = -1; dx <= 1; ++dx) {
            for (std::int64_t dy = -1; dy <= 1; ++dy) {
                const std::uint64_t first = key_of(cx + dx, cy + dy, cz - 1);
                const std::uint64_t last = key_of(cx + dx, cy + dy, cz + 1);
                auto it = std::lower_bound(sorted.begin(), sorted.end(), std::pair{first, std::size_t{0}});
                for (; it != sorted.end() && it->first <= last; ++it) {
                    const std::size_t j = it->second;
                    if (j <= i || j >= partner) continue;
                    double r2 = 0.0;
                    for (int k = 0; k < 3; ++k) {
                        const double d = coordinates[i][k] - coordinates[j][k];
                        r2 += d * d;
                    }
                    if (r2 < kLimit2) {
                        partner = j;
                        partner_r2 = r2;
                    }
                }
            }
        }
        if (partner < n) return ClosePair{i, partner, std::sqrt(partner_r2)};
    }
    return std::nullopt;
}

}  // namespace

void check_geometry(std::span<const std::uint8_t> atomic_numbers,
                    std::span<const std::array<double, 3>> coordinates) {
    for (std::size_t i = 0; i < coordinates.size(); ++i) {
        const auto& r = coordinates[i];
        if (!std::isfinite(r[0]) || !std::isfinite(r[1]) || !std::isfinite(r[2])) {
            throw InputError("Non-finite coordinate for atom " + atom_label(atomic_numbers, i) +
                             ": coordinates must be finite numbers");
        }
        for (const double x : r) {
            if (std::fabs(x) > kMaxCoordinateAngstrom) {
                throw InputError("Coordinate " + format_shortest(x) + " of atom " + atom_label(atomic_numbers, i) +
                                 " is out of range: coordinates must lie between -" + format_shortest(kMaxCoordinateAngstrom) +
                                 " and " + format_shortest(kMaxCoordinateAngstrom) + " angstrom");
            }
        }
    }
    if (const auto pair = first_close_pair(coordinates)) {
        throw InputError("Atoms " + atom_label(atomic_numbers, pair->i) + " and " +
                         atom_label(atomic_numbers, pair->j) + " are " + format_fixed(pair->distance, 4) +
                         " angstrom apart: atoms closer than " + format_shortest(kMinAtomDistanceAngstrom) +
                         " angstrom overlap and cannot be computed");
    }
}

std::uint64_t check_closed_shell_supported(std::span<const std::uint8_t> atomic_numbers,
                                           const ParameterModel& model, const std::string& method_as_given) {
    double valence_electrons = 0.0;
    for (const std::uint8_t z : atomic_numbers) {
        const auto element = model.get_element(z);
        if (!element) {
            throw InputError("Unsupported element Z=" + std::to_string(z) + " for semi-empirical method '" +
                             method_as_given + "'");
        }
        valence_electrons += element->core_charge;
    }
    // Halves round away from zero; a negative sum counts as no electrons.
    const double rounded = std::round(valence_electrons);
    std::uint64_t count = 0;
    if (rounded >= 18446744073709551615.0) {
        count = std::numeric_limits<std::uint64_t>::max();
    } else if (rounded > 0.0) {
        count = static_cast<std::uint64_t>(rounded);
    }
    if (count % 2 == 1) {
        throw InputError("Odd number of valence electrons (" + std::to_string(count) +
                         "): every molecule is computed neutral and closed-shell (restricted Hartree-Fock), so "
                         "radicals and ions are both refused; give the atoms of a neutral closed-shell molecule");
    }
    return count;
}

CheckedMolecule check_request(std::span<const std::uint8_t> atomic_numbers,
                              std::initializer_list<GeometryArgument> geometries, const std::string& method,
                              std::initializer_list<RangedSetting> settings,
                              std::initializer_list<CountedSetting> counts) {
    if (atomic_numbers.empty()) throw InputError("atomic_numbers cannot be empty");
    for (const GeometryArgument& geometry : geometries) {
        if (geometry.coordinates.size() != atomic_numbers.size()) {
            throw InputError("Mismatch between atomic_numbers (" + std::to_string(atomic_numbers.size()) + ") and " +
                             geometry.name + " (" + std::to_string(geometry.coordinates.size()) + ")");
        }
    }
    for (const GeometryArgument& geometry : geometries) check_geometry(atomic_numbers, geometry.coordinates);
    CheckedMolecule checked;
    checked.model = get_model(method);
    checked.valence_electrons = check_closed_shell_supported(atomic_numbers, *checked.model, method);
    for (const RangedSetting& setting : settings) check_in_range(setting.name, setting.value, setting.range);
    for (const CountedSetting& count : counts) check_count_in_range(count.name, count.value, count.range);
    return checked;
}

}  // namespace quorin::py
