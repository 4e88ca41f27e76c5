#include "core/fock/fock_builder.h"

#include <cmath>
#include <optional>

#include "core/hamiltonian/hcore.h"
#include "core/integrals/core_repulsion.h"
#include "core/integrals/multipoles.h"
#include "core/types/constants.h"
#include "core/types/errors.h"

namespace quorin {

namespace {

void start_from_hcore(const MolecularBatch& molecule, const Matrix& h, Matrix& f) {
    if (f.rows() != molecule.n_basis) stop_assert_eq("assertion `left == right` failed", f.rows(), molecule.n_basis);
    if (f.cols() != molecule.n_basis) stop_assert_eq("assertion `left == right` failed", f.cols(), molecule.n_basis);
    if (h.data().size() != f.data().size()) {
        stop_assert_eq("source slice length does not match destination slice length", h.data().size(),
                       f.data().size());
    }
    const double* src = h.data().data();
    double* dst = f.data().data();
    for (std::size_t i = 0; i < f.data().size(); ++i) dst[i] = src[i];
}

}  // namespace

void build_fock(const MolecularBatch& molecule, const ParameterModel& model, const OneCenterTables& one_center,
                const Matrix& h, const Matrix& p, Matrix& f) {
    start_from_hcore(molecule, h, f);
    add_one_center_fock_terms(molecule, model, one_center, p, f);
    // Populations are summed where needed rather than buffered, so the build
    // allocates nothing at any molecule size.
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        const std::optional<ElementParams> ea = model.get_element(molecule.atomic_numbers[a]);
        if (!ea) continue;
        const double rho_a = klopman_ohno_radius(*ea);
        const std::size_t fa = molecule.first_orbital[a];
        const std::size_t na = molecule.orbitals_per_atom[a];
        double coulomb = 0.0;
        for (std::size_t b = 0; b < molecule.n_atoms; ++b) {
            if (b == a) continue;
            const std::optional<ElementParams> eb = model.get_element(molecule.atomic_numbers[b]);
            if (!eb) continue;
            const double gamma = klopman_ohno_gamma(molecule, a, b, rho_a + klopman_ohno_radius(*eb));
            coulomb += diagonal_population(molecule, p, b) * gamma;
            const std::size_t fb = molecule.first_orbital[b];
            const std::size_t nb = molecule.orbitals_per_atom[b];
            const double exchange = -0.5 * gamma;
            for (std::size_t mu = 0; mu < na; ++mu) {
                const double* p_row = p.row(fa + mu) + fb;
                double* f_row = f.row(fa + mu) + fb;
                for (std::size_t nu = 0; nu < nb; ++nu) f_row[nu] += exchange * p_row[nu];
            }
        }
        for (std::size_t mu = 0; mu < na; ++mu) f(fa + mu, fa + mu) += coulomb;
    }
}

void build_fock_nddo(const MolecularBatch& molecule, const ParameterModel& model, const OneCenterTables& one_center,
                     std::span<const DiatomicPairIntegrals> pairs, const Matrix& h, const Matrix& p,
                     Matrix& f) {
    start_from_hcore(molecule, h, f);
    add_one_center_fock_terms(molecule, model, one_center, p, f);
    assemble_nddo_two_center_fock(pairs, p, f);
}

void build_fock(const MolecularBatch& molecule, const ParameterModel& model, const Matrix& h,
                const Matrix& p, Matrix& f) {
    build_fock(molecule, model, OneCenterTables::build(molecule, model), h, p, f);
}

void build_fock_nddo(const MolecularBatch& molecule, const ParameterModel& model,
                     std::span<const DiatomicPairIntegrals> pairs, const Matrix& h, const Matrix& p,
                     Matrix& f) {
    build_fock_nddo(molecule, model, OneCenterTables::build(molecule, model), pairs, h, p, f);
}

void build_fock_with_options(const MolecularBatch& molecule, const ParameterModel& model,
                             const OneCenterTables& one_center, std::span<const DiatomicPairIntegrals> pairs,
                             bool use_nddo, const Matrix& h, const Matrix& p, Matrix& f) {
    if (use_nddo) {
        build_fock_nddo(molecule, model, one_center, pairs, h, p, f);
    } else {
        build_fock(molecule, model, one_center, h, p, f);
    }
}

}  // namespace quorin
