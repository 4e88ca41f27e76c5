#pragma once
// The settings of a frequency run in the tests: NDDO on, the SCF converged
// tighter than a single point (100 iterations, 1e-8 eV, 1e-7).
#include "core/scf/scf_loop.h"
#include "core/vibrations/hessian.h"

namespace quorin::fixtures {

inline ScfOptions frequency_scf_options() {
    ScfOptions o;
    o.max_iterations = 100;
    o.energy_tolerance = 1e-8;
    o.density_tolerance = 1e-7;
    o.use_nddo = true;
    return o;
}

inline HessianOptions frequency_options() {
    HessianOptions o;
    o.use_nddo = true;
    return o;
}

}  // namespace quorin::fixtures
