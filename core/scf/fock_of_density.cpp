#include "core/scf/fock_of_density.h"

#include "core/fock/fock_builder.h"
#include "core/scf/density.h"

namespace quorin {

std::optional<double> FockOfDensity::build(const Matrix& density, Matrix& fock) const {
    build_fock_with_options(molecule, model, one_center, pairs, use_nddo, hcore, density, fock);
    if (cosmo) return cosmo->apply_electronic_reaction_field_to_fock(density, fock);
    return std::nullopt;
}

void FockOfDensity::build_response(const Matrix& density, Matrix& response) const {
    build(density, response);
    double* g = response.data().data();
    const double* h = hcore.data().data();
    for (std::size_t i = 0; i < response.data().size(); ++i) g[i] -= h[i];
}

double FockOfDensity::electronic_energy(const Matrix& density, Matrix& fock) const {
    build(density, fock);
    return compute_electronic_energy(density, hcore, fock);
}

}  // namespace quorin
