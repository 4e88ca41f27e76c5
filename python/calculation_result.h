#pragma once
// The single-point result record and its Python class `CalculationResult`:
// read-only attributes that return fresh values on every read, to_dict and
// __repr__.
#include <array>
#include <cstdint>
#include <vector>

#include "python/py_support.h"

namespace quorin::py {

struct CalculationRecord {
    double total_energy_ev = 0.0;
    double electronic_energy_ev = 0.0;
    double nuclear_repulsion_ev = 0.0;
    double binding_energy_ev = 0.0;
    double heat_of_formation_kcal = 0.0;
    std::vector<std::array<double, 3>> gradients_ev_angstrom;
    std::vector<std::array<double, 3>> gradients_kcal_mol_angstrom;
    std::array<double, 4> dipole_debye{};  // x, y, z, magnitude
    std::vector<double> atomic_charges;
    std::vector<double> mulliken_charges;
    bool converged = false;
    std::uint64_t scf_iterations = 0;
    double homo_energy_ev = 0.0;
    double lumo_energy_ev = 0.0;
    double homo_lumo_gap_ev = 0.0;
};

// Creates the class at import; returns a new reference to the type object.
PyObject* create_calculation_result_type();

// A new CalculationResult owning `record`. Throws PythonErrorSet on failure.
PyObject* new_calculation_result(CalculationRecord record);

// What CalculationResult.to_dict returns for `record`. Throws PythonErrorSet.
PyObject* calculation_result_dict(const CalculationRecord& record);

}  // namespace quorin::py
