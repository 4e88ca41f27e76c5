#pragma once
// Harmonic vibrational analysis at a given geometry: Cartesian Hessian by
// central differences of nuclear gradients, normal modes, zero-point energy
// and ideal-gas thermochemistry in one call.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "core/parameters/parameter_model.h"
#include "core/scf/scf_loop.h"
#include "core/scf/workspace.h"
#include "core/types/aligned.h"
#include "core/types/molecule.h"
#include "core/vibrations/normal_modes.h"
#include "core/vibrations/thermochemistry.h"

namespace quorin {

struct HessianOptions {
    std::optional<std::vector<double>> custom_masses;  // amu, one per atom; else the mass table
    double step_size_angstrom = 0.005;
    double temperature_k = 298.15;
    double pressure_atm = 1.0;
    double rotational_symmetry_number = 1.0;
    bool reconverge_scf = true;     // fresh SCF at every displaced geometry
    bool use_nddo = false;          // passed to every gradient evaluation
    bool project_external = true;   // remove translations and rotations before diagonalising
};

struct HessianResult {
    Matrix cartesian_hessian;      // 3N x 3N, kcal/(mol angstrom^2), symmetrised
    Matrix mass_weighted_hessian;  // 3N x 3N, kcal/(mol angstrom^2 amu), never projected
    std::vector<double> all_frequencies_cm1;          // 3N, ascending, negative = imaginary
    std::vector<double> vibrational_frequencies_cm1;  // 3N-6 (3N-5 linear, none for one atom)
    std::vector<NormalMode> normal_modes;             // 3N, in the order of all_frequencies_cm1
    double zpve_kcal_mol = 0.0;
    Thermodynamics thermo;
};

// Writes the gradient (eV/angstrom, one row per atom) at the molecule's
// current geometry, in which coordinate `axis` of `atom` is displaced.
using DisplacedGradient =
    std::function<void(std::size_t atom, std::size_t axis, std::span<std::array<double, 3>> gradient)>;

// 3N x 3N Cartesian Hessian, kcal/(mol angstrom^2), by central differences of
// the gradients at +-h along each coordinate (atom-major), symmetrised. A
// coordinate with a zero flag in `frozen_mask` is not displaced; its column
// holds only `frozen_curvature` on the diagonal. `plus` and `minus` are
// scratch of one row per atom. Every coordinate gets its saved value back and
// the workspace density `base_density`, also when `gradient_at` stops.
Matrix central_difference_hessian(MolecularBatch& molecule, double h,
                                  std::optional<std::span<const std::uint8_t>> frozen_mask, double frozen_curvature,
                                  const DisplacedGradient& gradient_at, ScfWorkspace& scf, const Matrix& base_density,
                                  std::span<std::array<double, 3>> plus, std::span<std::array<double, 3>> minus);

// The masses (amu) the analysis uses: the custom masses, else the mass
// table. Stops for custom masses of the wrong length or not positive and
// finite, and for an atom without a tabulated mass when none are given.
std::vector<double> hessian_masses(const MolecularBatch& molecule, const HessianOptions& options);

// Runs the base SCF with `scf_options`, then 6N gradient evaluations at
// +-step displacements (each after its own SCF with `reconverge_scf`, whose
// stability check starts from the base solution's lowest rotation). A
// displaced geometry moves one atom: the NDDO pair records, resonance blocks
// and gradient pair terms of the other atoms are those of the base geometry,
// kept rather than rebuilt, with the same numbers. The SCF at +step starts
// from the base density changed to first order (a linear-response solve in
// the gas phase), else from the base density; the one at -step from
// 2 P(0) - P(+step). The coordinates are restored and the workspace density
// is the base density on return.
//
// Stops, before any SCF: "MolecularBatch must contain at least 1 atom"; a
// step that is not a positive finite number; the temperature ("Temperature
// must be strictly positive"), pressure and symmetry-number checks of the
// thermochemistry; custom masses of the wrong length or not positive and
// finite; an atom without a tabulated mass when no custom masses are given.
// Afterwards: "Base SCF must converge before computing Hessian", and, with
// `reconverge_scf`, a displaced SCF that does not converge.
HessianResult compute_hessian_and_frequencies(MolecularBatch& molecule, const ParameterModel& model,
                                              ScfWorkspace& scf, const ScfOptions& scf_options,
                                              const HessianOptions& options);

}  // namespace quorin
