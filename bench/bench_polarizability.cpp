// Times the finite-field polarisability (13 field SCFs, 25 with the
// hyperpolarisability cross term) on small molecules of the ladder and
// prints the ratio to one zero-field SCF at the same settings. Each field
// point is a full SCF from the neutral-atom guess, so the ratio stays near
// the SCF count times the iterations of a field SCF over those at zero field.
//
// usage: bench_polarizability [molecules_dir] [method (PM6)]
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "core/properties/polarizability.h"
#include "core/scf/escalation_ladder.h"

int main(int argc, char** argv) {
    const std::string dir = quorin::bench::molecules_dir(argc, argv);
    const auto model = quorin::bench::model_named(argc > 2 ? argv[2] : "PM6");
    const quorin::PolarizabilityOptions options;  // the module function's defaults

    std::printf("method %s, field step %g a.u., SCF tolerances %g eV / %g\n", std::string(model->name()).c_str(),
                options.field_step_au, options.energy_tolerance, options.density_tolerance);
    std::printf("%-10s %6s %6s %12s %16s %7s\n", "molecule", "atoms", "basis", "one SCF s", "polarizability s",
                "ratio");
    for (const std::string name : {"water", "benzene", "aspirin", "caffeine"}) {
        quorin::bench::Molecule m;
        if (!quorin::bench::read_named(dir, name, m)) {
            std::printf("%-10s (not readable)\n", name.c_str());
            continue;
        }
        const quorin::MolecularBatch molecule =
            quorin::MolecularBatch::new_for_model(m.atomic_numbers, m.coordinates, *model);
        quorin::ScfWorkspace ws = quorin::ScfWorkspace::allocate(molecule.n_basis);
        // The fastest of five runs: one SCF is short enough for timer noise to matter.
        const double t_scf = quorin::bench::best_seconds_of(
            [&] {
                quorin::run_rhf_scf_adaptive_with_field(molecule, *model, ws, options.max_iterations,
                                                        options.use_nddo, {0.0, 0.0, 0.0}, options.energy_tolerance,
                                                        options.density_tolerance);
            },
            5, std::numeric_limits<double>::infinity());
        const double t_pol =
            quorin::bench::best_seconds_of([&] { quorin::compute_polarizability(molecule, *model, options); }, 3);
        std::printf("%-10s %6zu %6zu %12.4f %16.4f %7.1f\n", name.c_str(), molecule.n_atoms, molecule.n_basis, t_scf,
                    t_pol, t_pol / t_scf);
    }
    return 0;
}
