// Times the parts of the single-point road in a dielectric continuum on the
// molecule ladder (data/molecules/*.xyz): the whole road, its SCF, the
// solvent set-up (cavity, segment matrix and its factor) alone, the gas-phase
// frozen-density gradient and the dielectric gradient, and the gradient's
// share of the road.
//
// usage: bench_single_point [molecules_dir] [method (PM6)] [epsilon (78.4)]
#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "core/gradients/nuclear_gradients.h"
#include "core/properties/single_point.h"
#include "core/scf/scf_loop.h"
#include "core/solvation/cosmo_gradient.h"

int main(int argc, char** argv) {
    using namespace quorin;
    const std::string dir = bench::molecules_dir(argc, argv);
    const auto model = bench::model_named(argc > 2 ? argv[2] : "PM6");
    const double epsilon = argc > 3 ? std::strtod(argv[3], nullptr) : 78.4;
    constexpr double kSolventRadius = 1.30005;  // the single-point road's solvent radius

    std::printf("method %s, eps %.1f: seconds, best of up to 5 runs\n", std::string(model->name()).c_str(), epsilon);
    std::printf("%-14s %6s %9s %9s %9s %10s %9s %9s %9s\n", "molecule", "atoms", "segments", "road", "SCF",
                "solvent", "gas grad", "solv grad", "grad share");
    for (const bench::Molecule& m : bench::read_ladder(dir)) {
        MolecularBatch molecule = MolecularBatch::new_for_model(m.atomic_numbers, m.coordinates, *model);
        SinglePointOptions options;
        options.cosmo_eps = epsilon;
        const double t_road = bench::best_seconds_of([&] { run_single_point(molecule, *model, options); });

        ScfWorkspace scf = ScfWorkspace::allocate(molecule.n_basis);
        ScfOptions scf_options;
        scf_options.cosmo = std::make_pair(epsilon, kSolventRadius);
        const double t_scf =
            bench::best_seconds_of([&] { run_rhf_scf_with_options(molecule, *model, scf, scf_options); });
        const double t_solvent =
            bench::best_seconds_of([&] { CosmoState::initialize(molecule, *model, epsilon, kSolventRadius); });

        GradientWorkspace gradient_ws = GradientWorkspace::allocate(molecule.n_basis);
        std::vector<std::array<double, 3>> gradient(molecule.n_atoms);
        const double t_gas = bench::best_seconds_of([&] {
            compute_cartesian_gradients_with_options(molecule, *model, scf.density, gradient_ws, gradient, true);
        });
        const double t_dielectric =
            bench::best_seconds_of([&] { add_cosmo_gradient(molecule, scf.density, *scf.cosmo, gradient); });
        std::printf("%-14s %6zu %9zu %9.4f %9.4f %10.4f %9.4f %9.5f %8.1f%%\n", m.name.c_str(), molecule.n_atoms,
                    scf.cosmo->cavity.segments.size(), t_road, t_scf, t_solvent, t_gas, t_dielectric,
                    100.0 * (t_gas + t_dielectric) / t_road);
    }
    return 0;
}
