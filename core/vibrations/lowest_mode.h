#pragma once
// The lowest vibration at a geometry from products of the Hessian with
// vectors alone, for molecules whose central-difference Hessian (6N
// gradients) costs too much: Davidson iterations (core/scf/davidson.h) on
// the mass-weighted Hessian of the internal motions (translations and
// rotations left out), each product a central difference of two gradients
// along the vector. The iterations work in the normal modes of the model
// Hessian (model_hessian.h), whose frequencies precondition them: some
// tens of gradients where the exact Hessian takes hundreds.
#include <cstddef>
#include <span>
#include <vector>

#include "core/gradients/nuclear_gradients.h"
#include "core/parameters/parameter_model.h"
#include "core/scf/davidson.h"
#include "core/scf/scf_loop.h"
#include "core/scf/workspace.h"
#include "core/types/molecule.h"

namespace quorin {

struct LowestModeOptions {
    // Displacement (angstrom) of the atom that moves most in each product,
    // to either side. Small, so that the quartic terms of flat ends do not
    // show as curvature (an H2 tumbling by an ethylene reads -30 cm^-1 on the
    // 0.005 angstrom central-difference Hessian, +15 at 0.0005), and large
    // enough that the gradients' noise does not (the residual of a 78-atom
    // search stays below 0.5 of its units).
    double step_angstrom = 0.0005;
    // Products before the search gives up undecided; two SCF and gradient
    // evaluations each.
    std::size_t max_products = 30;
    bool use_nddo = true;
};

struct LowestMode {
    // below: a vibration lies below kImaginaryFrequencyCm1 (the lowest Ritz
    // value does, and it bounds the lowest eigenvalue from above); above:
    // the lowest eigenvalue is converged above it (davidson.h says what that
    // proves); undecided: the products ran out first.
    EigenvalueVerdict verdict = EigenvalueVerdict::undecided;
    double frequency_cm1 = 0.0;  // the lowest Ritz value as a signed wavenumber
    std::vector<double> mode;    // 3N, its unit vector in mass-weighted coordinates
    std::size_t gradients = 0;   // SCF and gradient evaluations spent
};

// The lowest internal vibration at the molecule's geometry with one mass
// (amu) per atom. The workspace must hold the converged solution there;
// every displaced SCF runs with `scf_options` from that density (the step
// back from 2 P(0) - P(+)), and the geometry and density are restored on
// return. Stops ("SCF did not converge at a displaced geometry of the
// lowest-mode search") when a displaced SCF does not converge, restoring
// them as well.
LowestMode find_lowest_vibration(MolecularBatch& molecule, const ParameterModel& model, ScfWorkspace& scf,
                                 GradientWorkspace& gradient_workspace, const ScfOptions& scf_options,
                                 std::span<const double> masses_amu, const LowestModeOptions& options);

}  // namespace quorin
