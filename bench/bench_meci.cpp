// Times the stages of the active-space CI after one SCF: active-MO integrals,
// CI and S^2 matrices, diagonalisation, the whole run_meci, and the gradient
// of root 2. Benzene with 4 orbitals and caffeine with 6 (4 and 6 electrons);
// then the active integrals alone for 8 orbitals of icosane (62 atoms).
//
// usage: bench_meci [molecules_dir] [method (AM1)]
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "core/ci/meci.h"
#include "core/ci/root_gradient.h"
#include "core/integrals/pair_integrals.h"
#include "core/scf/eigensolver.h"
#include "core/scf/scf_loop.h"

namespace {

using namespace quorin;

struct Prepared {
    MolecularBatch molecule;
    ScfWorkspace scf;
    ScfResult result;
};

bool prepare(const std::string& dir, const std::string& name, const ParameterModel& model, Prepared& out) {
    bench::Molecule mol;
    if (!bench::read_named(dir, name, mol)) return false;
    out.molecule = MolecularBatch::new_for_model(mol.atomic_numbers, mol.coordinates, model);
    out.scf = ScfWorkspace::allocate(out.molecule.n_basis);
    const ScfResult first = run_rhf_scf_with_options(out.molecule, model, out.scf, ScfOptions{});
    out.result = converge_scf_for_ci(out.molecule, model, out.scf, ScfOptions{}, first);
    return true;
}

void time_stages(const std::string& name, Prepared& p, const ParameterModel& model, std::size_t n) {
    const MeciOptions options{n, n, 1, true};
    const ActiveWindow window = choose_active_window(p.molecule, model, options);
    const auto states = generate_microstates(n, static_cast<std::int32_t>(n), static_cast<std::int32_t>(n % 2));
    MeciWorkspace ws = MeciWorkspace::allocate(n, states.size());
    for (std::size_t k = 0; k < (n + 1) / 2; ++k) ws.reference_occupations[k] = 1.0;
    const auto pairs = precompute_diatomic_pairs(p.molecule, model);
    const double t_integrals = bench::seconds_of([&] {
        compute_active_mo_two_electron_integrals(p.molecule, model, p.scf.coefficients, window.indices,
                                                 std::span<const DiatomicPairIntegrals>(pairs), ws.integrals);
    });
    const double t_matrices = bench::seconds_of([&] {
        build_ci_hamiltonian(states, ws.diagonal_energies, n, ws.reference_occupations, ws.integrals, ws.ci_matrix);
        build_s2_matrix(states, n, ws.s2_matrix, 0.5 * static_cast<double>(n % 2));
    });
    add_diagonal_tie_break(ws.ci_matrix);
    const double t_diag =
        bench::seconds_of([&] { diagonalize_symmetric(ws.ci_matrix, ws.eigenvalues, ws.eigenvectors); });
    MeciWorkspace fresh = MeciWorkspace::allocate(n, 1);
    MeciResult result;
    const double t_total = bench::seconds_of([&] {
        result = run_meci(p.molecule, model, p.scf.coefficients, p.scf.orbital_energies, p.result.electronic_energy,
                          p.result.total_energy, options, fresh);
    });
    const double t_gradient = bench::best_seconds_of([&] {
        compute_ci_root_gradient(p.molecule, model, ScfOptions{}, p.scf.density, p.scf.coefficients,
                                 p.scf.orbital_energies, MeciOptions{n, n, 2, true}, result.states[1].coefficients);
    });
    std::printf("%-10s %zu in %zu  microstates %5zu  integrals %8.4f s  CI+S2 %8.4f s  diagonalise %8.4f s  "
                "run_meci %8.4f s  root 2 gradient %8.4f s\n",
                name.c_str(), n, n, states.size(), t_integrals, t_matrices, t_diag, t_total, t_gradient);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = bench::molecules_dir(argc, argv);
    const auto model = bench::model_named(argc > 2 ? argv[2] : "AM1", "AM1");
    std::printf("method %s\n", std::string(model->name()).c_str());
    for (const auto& [name, n] : std::vector<std::pair<std::string, std::size_t>>{{"benzene", 4}, {"caffeine", 6}}) {
        Prepared p;
        if (!prepare(dir, name, *model, p)) {
            std::printf("%s: cannot read\n", name.c_str());
            continue;
        }
        time_stages(name, p, *model, n);
    }
    Prepared big;
    if (prepare(dir, "icosane", *model, big)) {
        const MeciOptions options{8, 8, 1, true};
        const ActiveWindow window = choose_active_window(big.molecule, *model, options);
        const auto pairs = precompute_diatomic_pairs(big.molecule, *model);
        ActiveIntegrals v = ActiveIntegrals::zeros(8);
        const double t = bench::seconds_of([&] {
            compute_active_mo_two_electron_integrals(big.molecule, *model, big.scf.coefficients, window.indices,
                                                     std::span<const DiatomicPairIntegrals>(pairs), v);
        });
        std::printf("icosane    8 active orbitals (%zu atoms): integrals %8.4f s\n", big.molecule.n_atoms, t);
    }
    return 0;
}
