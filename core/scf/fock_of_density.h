#pragma once
// The Fock matrix of a density for one SCF run: the builder of the chosen
// core Hamiltonian and, with a solvent, the electrons' reaction field. The
// SCF iterations and the stability check of their result share it.
#include <optional>
#include <span>

#include "core/fock/one_center.h"
#include "core/integrals/pair_integrals.h"
#include "core/parameters/parameter_model.h"
#include "core/solvation/cosmo.h"
#include "core/types/aligned.h"
#include "core/types/molecule.h"

namespace quorin {

struct FockOfDensity {
    const MolecularBatch& molecule;
    const ParameterModel& model;
    const OneCenterTables& one_center;
    std::span<const DiatomicPairIntegrals> pairs;  // NDDO pair table (unused without use_nddo)
    bool use_nddo;
    const Matrix& hcore;  // core Hamiltonian with every external term
    CosmoState* cosmo;    // null without a solvent

    // fock := H + G(density) plus the reaction field of the density's
    // screening charges. Returns the dielectric energy (eV) with a solvent.
    std::optional<double> build(const Matrix& density, Matrix& fock) const;
    // response := G(density) plus its reaction field: the part of the Fock
    // matrix that is linear in the density, for any symmetric density.
    void build_response(const Matrix& density, Matrix& response) const;
    // 0.5 sum P (H + F(P)), eV; `fock` receives F(P).
    double electronic_energy(const Matrix& density, Matrix& fock) const;
};

}  // namespace quorin
