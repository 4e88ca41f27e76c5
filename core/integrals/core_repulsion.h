#pragma once
// Core-core (nuclear) repulsion: the MNDO, PM6 and PM7 pair forms and the
// molecular total.
#include "core/parameters/parameter_model.h"
#include "core/types/molecule.h"

namespace quorin {

// MNDO form with Gaussian terms and the boron rule (MNDO, AM1, PM3, RM1). eV.
double compute_pair_core_repulsion(const ElementParams& a, const ElementParams& b, double r);
// PM6 diatomic form. eV.
double compute_pair_core_repulsion_pm6(const ElementParams& a, const ElementParams& b, double r);
// Sum over atom pairs i < j with records, through model.pair_core_repulsion. eV.
double compute_total_core_repulsion(const MolecularBatch& molecule, const ParameterModel& model);

// Sum of one atom's Gaussian core terms k exp(-l (r - m)^2) at r (angstrom);
// terms with l (r - m)^2 >= 25 are skipped. eV*angstrom.
double gaussian_core_sum(const ElementParams& p, double r);

}  // namespace quorin
