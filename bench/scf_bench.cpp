// Times one closed-shell SCF per molecule of the benchmark size ladder.
// Usage: scf_bench [molecule directory] [PM6|MNDO|AM1|PM3|RM1|PM7] [ladder|check]
// With "ladder" each molecule runs the four-try escalation ladder that the
// geometry drivers use instead of one plain SCF. With "check" each molecule
// runs the single-point road (SCF, gradient, charges) and, apart, the
// stability check on the converged orbitals; the check's share is its time
// over the single point's.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "core/fock/one_center.h"
#include "core/properties/single_point.h"
#include "core/scf/escalation_ladder.h"
#include "core/scf/fock_of_density.h"
#include "core/scf/scf_loop.h"
#include "core/scf/stability.h"
#include "core/types/errors.h"

using quorin::bench::Molecule;

namespace {

void time_check(const Molecule& m, const quorin::ParameterModel& model) {
    quorin::MolecularBatch batch = quorin::MolecularBatch::new_for_model(m.atomic_numbers, m.coordinates, model);
    const double single_point = quorin::bench::best_seconds_of(
        [&] { quorin::run_single_point(batch, model, quorin::SinglePointOptions{}); }, 7, 1.0);
    quorin::ScfWorkspace ws = quorin::ScfWorkspace::allocate(batch.n_basis);
    const quorin::ScfResult r = quorin::run_rhf_scf_with_options(batch, model, ws, {});
    const std::size_t n_occ = quorin::count_valence_electrons(batch, model) / 2;
    const quorin::OneCenterTables one_center = quorin::OneCenterTables::build(batch, model);
    const quorin::FockOfDensity fock{batch, model, one_center, ws.pairs, true, ws.hcore, nullptr};
    quorin::Matrix f = quorin::Matrix::zeros(batch.n_basis, batch.n_basis);
    fock.build(ws.density, f);
    diagonalize_symmetric(f, ws.eigensolver, ws.orbital_energies, ws.coefficients);
    quorin::StabilityCheck check;
    const double seconds = quorin::bench::best_seconds_of(
        [&] {
            check = quorin::check_orbital_stability(ws.coefficients, ws.orbital_energies, n_occ, 0.0, fock,
                                                    ws.stability);
        },
        7, 1.0);
    const std::size_t len = n_occ * (batch.n_basis - n_occ);
    quorin::Vec64 x = quorin::Vec64::zeros(len), y = quorin::Vec64::zeros(len);
    for (std::size_t k = 0; k < len; ++k) x[k] = 1.0 / (1.0 + k);
    const double t_product = quorin::bench::best_seconds_of(
        [&] { quorin::apply_orbital_hessian(ws.coefficients, ws.orbital_energies, n_occ, 0.0, fock, x.data(), y.data(), ws.stability); }, 7, 0.5);
    quorin::Matrix resp = quorin::Matrix::zeros(batch.n_basis, batch.n_basis);
    const double t_fock = quorin::bench::best_seconds_of([&] { fock.build_response(ws.density, resp); }, 7, 0.5);
    std::printf("   product %.3f ms, response build %.3f ms\n", 1000 * t_product, 1000 * t_fock);
    std::printf("%-14s %6zu %6zu %5zu %5s %12.2f %10.2f %8zu %10.4f %8.1f%%\n", m.name.c_str(), batch.n_atoms,
                batch.n_basis, r.iterations, r.converged ? "yes" : "no", 1000.0 * single_point, 1000.0 * seconds,
                check.products, check.lowest_eigenvalue, 100.0 * seconds / single_point);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = quorin::bench::molecules_dir(argc, argv);
    const std::unique_ptr<quorin::ParameterModel> model = quorin::bench::model_named(argc > 2 ? argv[2] : "PM6");
    const std::string mode = argc > 3 ? argv[3] : "";
    const bool ladder = mode == "ladder";

    const std::vector<Molecule> molecules = quorin::bench::read_ladder(dir);

    if (mode == "check") {
        std::printf("%s single point (SCF, gradient, charges) and the stability check alone\n",
                    std::string(model->name()).c_str());
        std::printf("%-14s %6s %6s %5s %5s %12s %10s %8s %10s %9s\n", "molecule", "atoms", "basis", "iter", "conv",
                    "point_ms", "check_ms", "products", "lowest_ev", "share");
        for (const Molecule& m : molecules) time_check(m, *model);
        return 0;
    }
    std::printf("%s %s, NDDO, 60 iterations, 1e-7 eV, 1e-6\n", std::string(model->name()).c_str(),
                ladder ? "escalation ladder" : "plain SCF");
    std::printf("%-14s %6s %6s %5s %5s %18s %11s %13s\n", "molecule", "atoms", "basis", "iter", "conv", "energy_ev",
                "time_ms", "ms_per_iter");
    for (const Molecule& m : molecules) {
        try {
            const quorin::MolecularBatch batch =
                quorin::MolecularBatch::new_for_model(m.atomic_numbers, m.coordinates, *model);
            quorin::ScfWorkspace workspace = quorin::ScfWorkspace::allocate(batch.n_basis);
            quorin::ScfResult r;
            const double ms = 1000.0 * quorin::bench::seconds_of([&] {
                r = ladder ? quorin::run_rhf_scf_adaptive_with_nddo_and_cosmo(batch, *model, workspace, 60, true,
                                                                             std::nullopt, 1e-7, 1e-6)
                           : quorin::run_rhf_scf_with_options(batch, *model, workspace, {});
            });
            std::printf("%-14s %6zu %6zu %5zu %5s %18.8f %11.1f %13.2f\n", m.name.c_str(), batch.n_atoms, batch.n_basis,
                        r.iterations, r.converged ? "yes" : "no", r.total_energy, ms,
                        r.iterations > 0 ? ms / static_cast<double>(r.iterations) : 0.0);
        } catch (const quorin::EngineStop& e) {
            std::printf("%-14s stopped: %s\n", m.name.c_str(), e.what());
        }
    }
    return 0;
}
