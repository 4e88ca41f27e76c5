#include "core/opt/geometry_evaluation.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "core/types/constants.h"
#include "core/types/errors.h"

namespace quorin {

std::optional<ScfResult> adopt_lower_solution(const MolecularBatch& molecule, const ParameterModel& model,
                                              ScfWorkspace& scf, std::optional<ScfWorkspace>& spare,
                                              const SurfaceScfSettings& settings, double followed_energy_ev) {
    if (!spare) spare = ScfWorkspace::allocate(molecule.n_basis);
    spare->carried_coordinates.clear();  // nothing carried: the ladder starts from the atomic guess
    const ScfResult cold = run_surface_scf(molecule, model, *spare, settings);
    if (!cold.converged || !(cold.total_energy < followed_energy_ev - kLowerSolutionEv)) return std::nullopt;
    std::swap(scf, *spare);
    return cold;
}

void apply_active_mask(std::span<std::array<double, 3>> gradient, ActiveMask mask) {
    if (!mask) return;
    for (std::size_t i = 0; i < 3 * gradient.size(); ++i) {
        if (!(*mask)[i]) gradient[i / 3][i % 3] = 0.0;
    }
}

std::pair<double, double> compute_effective_gradient_norms(std::span<const std::array<double, 3>> gradient,
                                                           ActiveMask mask) {
    double sum2 = 0.0;
    double largest = 0.0;
    if (mask) {
        require_mask_length(*mask, gradient.size());
        std::size_t n_active = 0;
        for (std::size_t i = 0; i < mask->size(); ++i) {
            if (!(*mask)[i]) continue;
            const double c = gradient[i / 3][i % 3] * kEvToKcalMol;
            sum2 += c * c;
            largest = std::max(largest, std::fabs(c));
            ++n_active;
        }
        if (n_active == 0) return {0.0, 0.0};
        return {std::sqrt(sum2 / static_cast<double>(n_active)), largest};
    }
    if (gradient.empty()) return {0.0, 0.0};
    for (const auto& g : gradient) {
        const double gx = g[0] * kEvToKcalMol, gy = g[1] * kEvToKcalMol, gz = g[2] * kEvToKcalMol;
        const double len2 = gx * gx + gy * gy + gz * gz;
        sum2 += len2;
        largest = std::max(largest, std::sqrt(len2));
    }
    return {std::sqrt(sum2 / static_cast<double>(gradient.size())), largest};
}

void require_positive_finite(double value, const char* what) {
    if (!(value > 0.0) || !std::isfinite(value)) {
        throw EngineStop(std::string(what) + " must be a positive finite number");
    }
}

void require_mask_length(std::span<const std::uint8_t> mask, std::size_t n_atoms) {
    if (mask.size() != 3 * n_atoms) {
        throw EngineStop("active_mask must hold one flag per Cartesian coordinate: got " + std::to_string(mask.size()) +
                         " for " + std::to_string(3 * n_atoms) + " coordinates");
    }
}

void read_flat_coordinates(const MolecularBatch& molecule, std::span<double> x) {
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        x[3 * a] = molecule.x[a];
        x[3 * a + 1] = molecule.y[a];
        x[3 * a + 2] = molecule.z[a];
    }
}

void write_flat_coordinates(std::span<const double> x, MolecularBatch& molecule) {
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        molecule.x[a] = x[3 * a];
        molecule.y[a] = x[3 * a + 1];
        molecule.z[a] = x[3 * a + 2];
    }
}

}  // namespace quorin
