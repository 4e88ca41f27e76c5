#include "python/calculation_result.h"

#include <string>

#include "python/record_object.h"

namespace quorin::py {

namespace {

PyTypeObject* result_type = nullptr;  // created once at import

using R = CalculationRecord;

}  // namespace

PyGetSetDef calculation_result_attributes[] = {
    attribute<&R::total_energy_ev>("total_energy_ev", "Total SCF energy in electron-volts (eV)"),
    attribute<&R::electronic_energy_ev>("electronic_energy_ev", "Electronic energy in electron-volts (eV)"),
    attribute<&R::nuclear_repulsion_ev>("nuclear_repulsion_ev",
        "Core-core nuclear repulsion energy in electron-volts (eV)"),
    attribute<&R::binding_energy_ev>("binding_energy_ev",
        "Molecular binding energy relative to isolated atoms in electron-volts (eV)"),
    attribute<&R::heat_of_formation_kcal>("heat_of_formation_kcal",
        "Standard heat of formation \\Delta H_f^\\circ in kcal/mol"),
    attribute<&R::gradients_ev_angstrom>("gradients_ev_angstrom",
        "Cartesian analytical energy gradients in eV / \\AA (shape: [natoms, 3])"),
    attribute<&R::gradients_kcal_mol_angstrom>("gradients_kcal_mol_angstrom",
        "Cartesian analytical energy gradients in kcal / (mol * \\AA) (shape: [natoms, 3])"),
    attribute<&R::dipole_debye>("dipole_debye",
        "Electric dipole moment components and magnitude [dx, dy, dz, total] in Debye"),
    attribute<&R::atomic_charges>("atomic_charges", "Diagonal density atomic partial charges (shape: [natoms])"),
    attribute<&R::mulliken_charges>("mulliken_charges", "Mulliken net partial atomic charges (shape: [natoms])"),
    attribute<&R::converged>("converged", "Whether SCF converged"),
    attribute<&R::scf_iterations>("scf_iterations", "Number of SCF iterations executed"),
    attribute<&R::homo_energy_ev>("homo_energy_ev", "Highest Occupied Molecular Orbital energy in eV"),
    attribute<&R::lumo_energy_ev>("lumo_energy_ev", "Lowest Unoccupied Molecular Orbital energy in eV"),
    attribute<&R::homo_lumo_gap_ev>("homo_lumo_gap_ev", "Fundamental HOMO-LUMO gap in eV"),
    kEndOfAttributes,
};

namespace {

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
    {"to_dict", to_dict_of_table<calculation_result_attributes>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* create_calculation_result_type() {
    return create_record_type<R>(
        {"quorin_py.CalculationResult",
         "Calculation results containing quantum chemical properties and analytical gradients.", repr, calculation_result_attributes,
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
    return dict_of_record(result_type, record, calculation_result_attributes);
}

}  // namespace quorin::py
