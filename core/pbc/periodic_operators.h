#pragma once
// Home-cell rows of the core Hamiltonian and Fock matrix of a periodic
// system. A block stack holds one n x n block per lattice translation R_t:
// row t is the block between the orbitals of the home cell (rows) and those
// of the cell at R_t (columns), flattened row-major, with t = 0 the home cell
// itself. Only pairs with an atom of the home cell are formed, so the cost
// grows with the number of translations, not with its square.
//
// Two ranges. The Coulomb terms of a pair (core-core, electron-core and the
// field of each atom's own density block) need no density between cells:
// they are formed for every image within the handover window's end, whatever
// cells are kept, summed per pair of cell atoms into one operator. Resonance
// and exchange need the density block between the two cells, and are formed
// for the kept translations only.
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

// The method's two-centre Coulomb terms of a pair r angstrom apart count
// with weight handover_weight(r): fully up to kHandoverStart, not at all
// from kHandoverEnd, a smooth (C2) step between; point charges summed over
// the whole lattice make up the rest. The window is fixed: the Klopman-Ohno
// charge interaction e^2 / sqrt(r^2 + rho^2) differs from e^2 / r by about
// e^2 rho^2 / (2 r^3), whose sum over a polar crystal's shells grows as the
// logarithm of the radius it is taken to, so only a handover at a fixed
// distance has a limit; spread over several shells it leaves no staggered
// potential between the species.
inline constexpr double kHandoverStart = 5.0;  // angstrom
inline constexpr double kHandoverEnd = 10.0;   // angstrom
double handover_weight(double r);

// An atom of the home cell and an atom of a kept cell at R_t (t >= 1):
// resonance and exchange.
struct ImagePair {
    std::size_t home_atom = 0;
    std::size_t image_atom = 0;  // its index within the cell
    std::size_t translation = 0;
    double gamma = 0;                 // eV, point-charge exchange (gamma-only form)
    DiatomicPairIntegrals integrals;  // NDDO form: the image atom as A, the home atom as B; w only
};

struct PeriodicOperators {
    bool use_nddo = true;
    std::vector<double> core_charges;  // per atom; 0 for atoms the model lacks
    OneCenterTables one_center;
    std::vector<DiatomicPairIntegrals> cell_pairs;  // atoms of the home cell among themselves
    std::vector<ImagePair> image_pairs;
    // Field on home atom i of the electrons of every image of atom j, per
    // unit of j's own density block, weighted by handover_weight (for pairs
    // within the home cell, less the full terms the molecular builder
    // already gives): entry i m + j, empty when no image of j is near i. NDDO: n_pairs(j) x n_pairs(i), image
    // pair p times home pair q at p n_pairs(i) + q; gamma-only form: one
    // number, on the diagonal.
    std::vector<std::vector<double>> near_field;
    // e^2 sum over every image of atom j of (1 - handover_weight(r)) / r,
    // eV per unit charge squared: the point-charge part.
    Matrix coulomb_tail;
    double core_repulsion = 0;  // eV per cell
    Matrix home_hcore;    // H(R_0), n x n
    Matrix home_density;  // n x n scratch of the Fock build
    Matrix home_fock;     // n x n scratch of the Fock build
};

// The operators of the home cell `cell` (atoms placed by images_near_first)
// on the lattice `lattice`, with the kept `translations` (R_0 = 0 first),
// and the core-Hamiltonian stack h_stack (N_T x n^2): one-centre energies,
// the attraction of the home atoms' electrons by every other core, resonance
// blocks. The energy is that of one convention whatever the cell, its images
// and the cells kept.
PeriodicOperators build_periodic_operators(const MolecularBatch& cell, const ParameterModel& model,
                                           const UnitCell& lattice, std::span<const TranslationIndex> translations,
                                           bool use_nddo, Matrix& h_stack);

// f_stack := F(R_t) = H(R_t) + G(P)(R_t) from the density stack: the
// one-centre and home-cell terms of the molecular Fock builder, the Coulomb
// field of every image's electrons in block 0 and the exchange with each
// kept cell in its own block.
void build_periodic_fock(const MolecularBatch& cell, const ParameterModel& model, PeriodicOperators& operators,
                         const Matrix& h_stack, const Matrix& p_stack, Matrix& f_stack);

// Doubles held by the pair records of one image pair of the cell's largest
// atoms (the memory plan's unit).
std::size_t image_pair_doubles(const MolecularBatch& cell);

}  // namespace quorin
