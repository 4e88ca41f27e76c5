#pragma once
// Active-space configuration interaction from Python: input checks, one SCF,
// the CI with transition dipoles, target-root gradients, and the classes
// `CiStatePy` and `MeciPyResult`.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/ci/meci.h"
#include "python/py_support.h"

namespace quorin::py {

struct MeciRequest {
    std::vector<std::uint8_t> atomic_numbers;
    std::vector<std::array<double, 3>> coordinates;  // angstrom
    std::string method = "PM6";
    std::uint64_t active_orbitals = 2;  // also the number of active electrons
    std::uint64_t target_root = 1;
    bool use_nddo = true;
};

struct MeciRecord {
    std::vector<CiState> states;  // CI vectors dropped
    std::uint64_t num_microstates = 0;
    std::uint64_t target_root = 1;
    double ci_energy_correction_ev = 0.0;
    double electronic_energy_ev = 0.0;
    double total_energy_ev = 0.0;
    double heat_of_formation_kcal = 0.0;
    std::vector<std::array<double, 3>> gradients_kcal_mol_angstrom;  // target root, one triple per atom (or none)
};

class BoundArguments;

// Converts the four leading arguments that meci and uv_vis_spectrum share
// (atomic_numbers, coordinates, method, active_orbitals) into `request`.
void read_leading_meci_arguments(const BoundArguments& bound, MeciRequest& request);

// The refusals made before any SCF (check_request's, then an odd or
// oversized active space and a target root beyond the CI's roots); each
// throws a RequestError. Returns the model.
std::unique_ptr<ParameterModel> check_meci_request(const MeciRequest& request);

// On a request that check_meci_request passed with `model`: the SCF (60
// iterations, 1e-7 eV, 1e-6, damping 0.5), then the CI and, unless
// `with_gradients` is false, the target root's gradient. Throws InputError
// "SCF did not converge"; an empty active space and windows the molecule
// cannot hold are engine stops.
MeciRecord run_checked_meci(const MeciRequest& request, const ParameterModel& model, bool with_gradients);

// check_meci_request, then run_checked_meci with the gradient.
MeciRecord run_meci_request(const MeciRequest& request);

PyObject* create_ci_state_type();
PyObject* create_meci_result_type();

// A new MeciPyResult owning `record`. Throws PythonErrorSet on failure.
PyObject* new_meci_result(MeciRecord record);

// The meci function of the module.
PyMethodDef* meci_method_def();

}  // namespace quorin::py
