// Times the geometry drivers: L-BFGS optimisation of a mid-sized molecule
// (aspirin, caffeine) and the finite-difference Hessian with normal modes and
// thermochemistry of a small one (benzene), each with the gamma-only and the
// NDDO Hamiltonian, using the settings of the interface layer.
//
// usage: bench_opt_freq [molecules_dir] [method]
#include <cstdio>
#include <string>

#include "bench/bench_common.h"
#include "core/opt/lbfgs.h"
#include "core/vibrations/hessian.h"

using quorin::MolecularBatch;
using quorin::bench::Molecule;
using quorin::bench::model_named;
using quorin::bench::read_named;
using quorin::bench::seconds_of;

int main(int argc, char** argv) {
    const std::string dir = quorin::bench::molecules_dir(argc, argv);
    const auto model = model_named(argc > 2 ? argv[2] : "AM1", "AM1");
    std::printf("method %s\n", std::string(model->name()).c_str());

    std::printf("%-10s %-10s %6s %6s %6s %7s %12s %12s %10s %9s\n", "task", "molecule", "atoms", "basis", "nddo",
                "cycles", "E start eV", "E final eV", "grad rms", "seconds");
    for (const std::string name : {"aspirin", "caffeine"}) {
        Molecule m;
        if (!read_named(dir, name, m)) {
            std::printf("%-10s %-10s (not readable)\n", "optimize", name.c_str());
            continue;
        }
        for (bool nddo : {false, true}) {
            MolecularBatch molecule = MolecularBatch::new_for_model(m.atomic_numbers, m.coordinates, *model);
            quorin::ScfWorkspace scf = quorin::ScfWorkspace::allocate(molecule.n_basis);
            quorin::GradientWorkspace gradient = quorin::GradientWorkspace::allocate(molecule.n_basis);
            quorin::OptimizationOptions options;
            options.use_nddo = nddo;
            quorin::OptimizationResult r;
            const double t = seconds_of([&] { r = quorin::optimize_geometry_lbfgs(molecule, *model, scf, gradient, options); });
            std::printf("%-10s %-10s %6zu %6zu %6d %7zu %12.4f %12.4f %10.4f %9.3f%s\n", "optimize", name.c_str(),
                        molecule.n_atoms, molecule.n_basis, nddo, r.cycles, r.initial_energy, r.final_energy,
                        r.final_grad_rms, t, r.converged ? "" : "  (not converged)");
        }
    }

    std::printf("%-10s %-10s %6s %6s %6s %10s %10s %10s %9s\n", "task", "molecule", "atoms", "basis", "nddo",
                "lowest", "highest", "ZPVE", "seconds");
    Molecule benzene;
    if (!read_named(dir, "benzene", benzene)) {
        std::printf("%-10s %-10s (not readable)\n", "frequency", "benzene");
        return 0;
    }
    for (bool nddo : {false, true}) {
        MolecularBatch molecule = MolecularBatch::new_for_model(benzene.atomic_numbers, benzene.coordinates, *model);
        quorin::ScfWorkspace scf = quorin::ScfWorkspace::allocate(molecule.n_basis);
        quorin::ScfOptions scf_options;
        scf_options.max_iterations = 100;
        scf_options.energy_tolerance = 1e-8;
        scf_options.density_tolerance = 1e-7;
        scf_options.use_nddo = nddo;
        quorin::HessianOptions options;
        options.use_nddo = nddo;
        quorin::HessianResult r;
        const double t = seconds_of(
            [&] { r = quorin::compute_hessian_and_frequencies(molecule, *model, scf, scf_options, options); });
        std::printf("%-10s %-10s %6zu %6zu %6d %10.1f %10.1f %10.3f %9.3f\n", "frequency", "benzene", molecule.n_atoms,
                    molecule.n_basis, nddo, r.vibrational_frequencies_cm1.front(), r.vibrational_frequencies_cm1.back(),
                    r.zpve_kcal_mol, t);
    }
    return 0;
}
