#pragma once
// Home-cell rows of the core Hamiltonian and Fock matrix of a periodic
// system. A block stack holds one n x n block per lattice translation R_t:
// row t is the block between the orbitals of the home cell (rows) and those
// of the cell at R_t (columns), flattened row-major, with t = 0 the home cell
// itself. Only pairs with an atom of the home cell are formed, so the cost
// grows with the number of translations, not with its square.
#include <cstddef>
#include <span>
#include <vector>

#include "core/fock/one_center.h"
#include "core/integrals/pair_integrals.h"
#include "core/parameters/parameter_model.h"
#include "core/pbc/unit_cell.h"
#include "core/types/aligned.h"
#include "core/types/molecule.h"

namespace quorin {

// An atom of the home cell and an atom of the cell at R_t (t >= 1).
struct ImagePair {
    std::size_t home_atom = 0;
    std::size_t image_atom = 0;  // its index within the cell
    std::size_t translation = 0;
    // Closer than the operators' point_charge_radius: the pair's charge
    // distributions interact through its integrals; beyond it only through
    // exchange, their charges through coulomb_tail.
    bool near = true;
    double gamma = 0;                 // eV, point-charge interaction (gamma-only form)
    DiatomicPairIntegrals integrals;  // NDDO form: the image atom as A, the home atom as B
};

struct PeriodicOperators {
    bool use_nddo = true;
    // e^2 / |r_i - r_j - R| summed over the cells beyond those kept and
    // over the far pairs of the kept ones (ImagePair::near), eV per unit
    // charge squared (coulomb_beyond), between atoms of the cell.
    Matrix coulomb_tail;
    double point_charge_radius = 0;  // angstrom
    std::vector<double> core_charges;  // per atom; 0 for atoms the model lacks
    OneCenterTables one_center;
    std::vector<DiatomicPairIntegrals> cell_pairs;  // atoms of the home cell among themselves
    std::vector<ImagePair> image_pairs;
    Matrix home_hcore;    // H(R_0), n x n
    Matrix home_density;  // n x n scratch of the Fock build
    Matrix home_fock;     // n x n scratch of the Fock build
};

// The pair integrals of the home cell with itself and with every other cell
// of `translations` (R_0 = 0 first) of the lattice `lattice`, and the
// core-Hamiltonian stack h_stack (N_T x n^2): one-centre energies, the
// attraction of the home atoms' electrons by every other core (as point
// charges beyond the kept cells and for atoms of other cells at least
// `point_charge_radius` angstrom away), resonance blocks. The energy is then
// that of one convention whatever the cell, its images and the cells kept:
// the atoms' charge distributions interact through their integrals within
// point_charge_radius, as point charges beyond, summed by Ewald's method.
PeriodicOperators build_periodic_operators(const MolecularBatch& cell, const ParameterModel& model,
                                           const UnitCell& lattice, std::span<const TranslationIndex> translations,
                                           bool use_nddo, double point_charge_radius, Matrix& h_stack);

// Core-core repulsion per cell: half the pair repulsion of every home atom
// with every near atom of every kept cell, through the model's own pair
// form, and the cores' point-charge interaction beyond.
double periodic_core_repulsion(const MolecularBatch& cell, const ParameterModel& model,
                               std::span<const TranslationIndex> translations, const PeriodicOperators& operators);

// f_stack := F(R_t) = H(R_t) + G(P)(R_t) from the density stack: the
// one-centre and home-cell terms of the molecular Fock builder in block 0,
// the Coulomb field of every other cell's electrons in block 0 (as point
// charges beyond the kept cells) and the exchange with each cell in its own
// block.
void build_periodic_fock(const MolecularBatch& cell, const ParameterModel& model, PeriodicOperators& operators,
                         const Matrix& h_stack, const Matrix& p_stack, Matrix& f_stack);

// Doubles held by the pair records of one image pair of the cell's largest
// atoms (the memory plan's unit).
std::size_t image_pair_doubles(const MolecularBatch& cell);

}  // namespace quorin
