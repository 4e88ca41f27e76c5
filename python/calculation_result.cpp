#include "python/calculation_result.h"

#include <string>

#include "python/record_object.h"

namespace quorin::py {

namespace {

PyTypeObject* result_type = nullptr;  // created once at import

using R = CalculationRecord;

PyGetSetDef getset_table[] = {
    {"total_energy_ev", get_field<&R::total_energy_ev>, nullptr, "Total SCF energy in electron-volts (eV)",
     nullptr},
    {"electronic_energy_ev", get_field<&R::electronic_energy_ev>, nullptr,
     "Electronic energy in electron-volts (eV)", nullptr},
    {"nuclear_repulsion_ev", get_field<&R::nuclear_repulsion_ev>, nullptr,
     "Core-core nuclear repulsion energy in electron-volts (eV)", nullptr},
    {"binding_energy_ev", get_field<&R::binding_energy_ev>, nullptr,
     "Molecular binding energy relative to isolated atoms in electron-volts (eV)", nullptr},
    {"heat_of_formation_kcal", get_field<&R::heat_of_formation_kcal>, nullptr,
     "Standard heat of formation \\Delta H_f^\\circ in kcal/mol", nullptr},
    {"gradients_ev_angstrom", get_field<&R::gradients_ev_angstrom>, nullptr,
     "Cartesian analytical energy gradients in eV / \\AA (shape: [natoms, 3])", nullptr},
    {"gradients_kcal_mol_angstrom", get_field<&R::gradients_kcal_mol_angstrom>, nullptr,
     "Cartesian analytical energy gradients in kcal / (mol * \\AA) (shape: [natoms, 3])", nullptr},
    {"dipole_debye", get_field<&R::dipole_debye>, nullptr,
     "Electric dipole moment components and magnitude [dx, dy, dz, total] in Debye", nullptr},
    {"atomic_charges", get_field<&R::atomic_charges>, nullptr,
     "Diagonal density atomic partial charges (shape: [natoms])", nullptr},
    {"mulliken_charges", get_field<&R::mulliken_charges>, nullptr,
     "Mulliken net partial atomic charges (shape: [natoms])", nullptr},
    {"converged", get_field<&R::converged>, nullptr, "Whether SCF converged", nullptr},
    {"scf_iterations", get_field<&R::scf_iterations>, nullptr, "Number of SCF iterations executed", nullptr},
    {"homo_energy_ev", get_field<&R::homo_energy_ev>, nullptr, "Highest Occupied Molecular Orbital energy in eV",
     nullptr},
    {"lumo_energy_ev", get_field<&R::lumo_energy_ev>, nullptr, "Lowest Unoccupied Molecular Orbital energy in eV",
     nullptr},
    {"homo_lumo_gap_ev", get_field<&R::homo_lumo_gap_ev>, nullptr, "Fundamental HOMO-LUMO gap in eV", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* repr(PyObject* self) {
    return guard([&] {
        const R& r = record_of<R>(self);
        return new_text("<CalculationResult E=" + format_fixed(r.total_energy_ev, 6) +
                        " eV, dHf=" + format_fixed(r.heat_of_formation_kcal, 3) +
                        " kcal/mol, dipole=" + format_fixed(r.dipole_debye[3], 3) +
                        " D, converged=" + (r.converged ? "true" : "false") + ">");
    });
}

PyMethodDef method_table[] = {
    {"to_dict", to_dict_of_table<getset_table>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* create_calculation_result_type() {
    return create_record_type<R>(
        {"quorin_py.CalculationResult",
         "Calculation results containing quantum chemical properties and analytical gradients.", repr, getset_table,
         method_table},
        result_type);
}

PyObject* new_calculation_result(CalculationRecord record) {
    return new_record_object(result_type, std::move(record));
}

PyObject* new_unchecked_calculation_result(CalculationRecord record) {
    return new_unchecked_record_object(result_type, std::move(record));
}

PyObject* calculation_result_dict(const CalculationRecord& record) {
    return dict_of_record(result_type, record, getset_table);
}

}  // namespace quorin::py
