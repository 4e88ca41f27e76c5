#include "python/method_lookup.h"

#include <cmath>
#include <limits>

#include "python/arguments.h"

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

std::vector<std::array<double, 3>> coordinate_triples(std::size_t atom_count,
                                                      const std::vector<std::vector<double>>& rows) {
    if (atom_count != rows.size()) {
        throw InputError("Mismatch: " + std::to_string(atom_count) + " atomic numbers but " +
                         std::to_string(rows.size()) + " coordinates");
    }
    return rows_to_triples(rows, [](std::size_t row, std::size_t length) {
        return "Atom " + std::to_string(row) + " coordinate must be [x, y, z], got " + std::to_string(length) +
               " elements";
    });
}

void check_matching_lengths(std::size_t atom_count, std::size_t coordinate_count, const char* coordinates_name) {
    if (atom_count != coordinate_count) {
        throw InputError("Mismatch between atomic_numbers (" + std::to_string(atom_count) + ") and " +
                         coordinates_name + " (" + std::to_string(coordinate_count) + ")");
    }
}

void check_finite_coordinates(std::span<const std::uint8_t> atomic_numbers,
                              std::span<const std::array<double, 3>> coordinates) {
    for (std::size_t i = 0; i < coordinates.size(); ++i) {
        const auto& r = coordinates[i];
        if (std::isfinite(r[0]) && std::isfinite(r[1]) && std::isfinite(r[2])) continue;
        std::string atom = "atom " + std::to_string(i);
        if (i < atomic_numbers.size()) atom += " (Z=" + std::to_string(atomic_numbers[i]) + ")";
        throw InputError("Non-finite coordinate for " + atom + ": coordinates must be finite numbers");
    }
}

void check_finite_setting(const char* name, double value) {
    if (!std::isfinite(value)) throw InputError(std::string(name) + " must be a finite number");
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
        throw InputError("Open-shell radical detected (" + std::to_string(count) +
                         " valence electrons). Closed-shell RHF requires an even number of valence electrons "
                         "(requires UHF/ROHF).");
    }
    return count;
}

}  // namespace quorin::py
