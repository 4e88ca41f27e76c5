// Times one closed-shell SCF per molecule of the benchmark size ladder.
// Usage: scf_bench [molecule directory] [PM6|MNDO|AM1|PM3|RM1|PM7] [ladder]
// With "ladder" each molecule runs the four-try escalation ladder that the
// geometry drivers use instead of one plain SCF.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "core/scf/escalation_ladder.h"
#include "core/scf/scf_loop.h"
#include "core/types/errors.h"

using quorin::bench::Molecule;

int main(int argc, char** argv) {
    const std::string dir = quorin::bench::molecules_dir(argc, argv);
    const std::unique_ptr<quorin::ParameterModel> model = quorin::bench::model_named(argc > 2 ? argv[2] : "PM6");
    const bool ladder = argc > 3 && std::string(argv[3]) == "ladder";

    const std::vector<Molecule> molecules = quorin::bench::read_ladder(dir);

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
