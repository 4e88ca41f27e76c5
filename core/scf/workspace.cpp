#include "core/scf/workspace.h"

namespace quorin {

ScfWorkspace ScfWorkspace::allocate(std::size_t n_basis) {
    ScfWorkspace ws;
    ws.fock = Matrix::zeros(n_basis, n_basis);
    ws.density = Matrix::zeros(n_basis, n_basis);
    ws.hcore = Matrix::zeros(n_basis, n_basis);
    ws.coefficients = Matrix::zeros(n_basis, n_basis);
    ws.orbital_energies = Vec64::zeros(n_basis);
    ws.new_density = Matrix::zeros(n_basis, n_basis);
    ws.diis_product = Matrix::zeros(n_basis, n_basis);
    ws.lowest_density = Matrix::zeros(n_basis, n_basis);
    ws.diis = DiisWorkspace::allocate(n_basis, kScfDiisCapacity);
    ws.eigensolver = EigensolverWorkspace::allocate(n_basis);
    ws.stability = StabilityWorkspace::allocate(n_basis);
    ws.carried_density = Matrix::zeros(n_basis, n_basis);
    ws.carried_rotation = Matrix::zeros(n_basis, n_basis);
    ws.n_basis = n_basis;
    return ws;
}

void ScfWorkspace::clear_matrices() {
    fock.fill(0.0);
    density.fill(0.0);
    hcore.fill(0.0);
    coefficients.fill(0.0);
    orbital_energies.fill(0.0);
    new_density.fill(0.0);
    diis_product.fill(0.0);
}

}  // namespace quorin
