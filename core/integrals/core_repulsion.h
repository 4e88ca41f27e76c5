#pragma once
// Core-core (nuclear) repulsion: the MNDO, PM6 and PM7 pair forms and the
// molecular total, and the Klopman-Ohno point-charge interaction they share
// with the point-charge Hamiltonian.
#include <cstddef>

#include "core/parameters/parameter_model.h"
#include "core/types/molecule.h"

namespace quorin {

// Point-charge attraction length of an atom, e2 / (2 g_ss), angstrom.
double klopman_ohno_radius(const ElementParams& element);

// Klopman-Ohno interaction e2 / sqrt(R^2 + rho_sum^2) (eV) of two charges with
// squared distance R^2 (angstrom^2) and summed attraction lengths rho_sum
// (angstrom).
double klopman_ohno_gamma(double r_squared, double rho_sum);
// The same for atoms a and b of the molecule.
double klopman_ohno_gamma(const MolecularBatch& molecule, std::size_t a, std::size_t b, double rho_sum);

// MNDO form with the Gaussian terms of both atoms (MNDO, PM3, RM1). eV.
double compute_pair_core_repulsion(const ElementParams& a, const ElementParams& b, double r);
// AM1: the MNDO form, except that boron bonded to H, C, F, Cl, Br or I takes
// fixed partner Gaussians in place of its own. eV.
double compute_pair_core_repulsion_am1(const ElementParams& a, const ElementParams& b, double r);
// PM6 diatomic form with the extra C-C and Si-O terms and the short-range wall. eV.
double compute_pair_core_repulsion_pm6(const ElementParams& a, const ElementParams& b, double r);
// PM7 diatomic form, its Klopman-Ohno part (core radii of
// pm7_core_radius_angstrom) switched to bare Coulomb at 7 angstrom, with the
// same short-range wall as PM6. eV.
double compute_pair_core_repulsion_pm7(const ElementParams& a, const ElementParams& b, double r);
// Sum over atom pairs i < j with records, through model.pair_core_repulsion. eV.
double compute_total_core_repulsion(const MolecularBatch& molecule, const ParameterModel& model);

// Sum of one atom's Gaussian core terms k exp(-l (r - m)^2) at r (angstrom);
// terms with l (r - m)^2 >= 25 are skipped. eV*angstrom.
double gaussian_core_sum(const ElementParams& p, double r);

}  // namespace quorin
