// Times the finite-difference nuclear gradient on the molecule ladder
// (data/molecules/*.xyz): the pair-local path used by default against the
// full rebuild of every displaced energy. The timing does not depend on the
// density values, so the SCF's neutral-atom guess density stands in for a
// converged one.
//
// usage: bench_gradients [molecules_dir] [max_atoms_for_full_rebuild (62)] [method (PM6)]
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "core/gradients/nuclear_gradients.h"
#include "core/parameters/parameter_model.h"
#include "core/scf/initial_guess.h"

namespace {

using quorin::Matrix;
using quorin::MolecularBatch;

using quorin::bench::Molecule;
using quorin::bench::model_named;
using quorin::bench::read_named;
using quorin::bench::seconds_of;

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = quorin::bench::molecules_dir(argc, argv);
    const std::size_t max_full = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 62;
    const auto model = model_named(argc > 3 ? argv[3] : "PM6");
    const std::vector<std::string> ladder{"water",  "benzene", "aspirin",      "caffeine",    "decane",
                                          "icosane", "ala10",  "tetracontane", "octacontane"};

    std::printf("method %s, NDDO Hamiltonian; full rebuild timed up to %zu atoms\n",
                std::string(model->name()).c_str(), max_full);
    std::printf("%-14s %6s %6s %12s %14s %9s %12s\n", "molecule", "atoms", "basis", "pair-local s",
                "full rebuild s", "speed-up", "max |diff|");
    for (const std::string& name : ladder) {
        Molecule m;
        if (!read_named(dir, name, m)) {
            std::printf("%-14s (not readable)\n", name.c_str());
            continue;
        }
        MolecularBatch molecule = MolecularBatch::new_for_model(m.atomic_numbers, m.coordinates, *model);
        Matrix density = Matrix::zeros(molecule.n_basis, molecule.n_basis);
        quorin::build_atomic_guess_density(molecule, *model, density);
        quorin::GradientWorkspace ws = quorin::GradientWorkspace::allocate(molecule.n_basis);
        std::vector<std::array<double, 3>> fast(molecule.n_atoms), full(molecule.n_atoms);
        const double t_fast = seconds_of([&] {
            quorin::compute_cartesian_gradients_with_options(molecule, *model, density, ws, fast, true);
        });
        if (molecule.n_atoms <= max_full) {
            const double t_full = seconds_of([&] {
                quorin::compute_cartesian_gradients_full_rebuild(molecule, *model, density, ws, full, true);
            });
            double diff = 0.0;
            for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
                for (std::size_t k = 0; k < 3; ++k) diff = std::max(diff, std::abs(fast[a][k] - full[a][k]));
            }
            std::printf("%-14s %6zu %6zu %12.4f %14.4f %9.1f %12.2e\n", name.c_str(), molecule.n_atoms,
                        molecule.n_basis, t_fast, t_full, t_full / t_fast, diff);
        } else {
            std::printf("%-14s %6zu %6zu %12.4f %14s %9s %12s\n", name.c_str(), molecule.n_atoms, molecule.n_basis,
                        t_fast, "-", "-", "-");
        }
    }
    return 0;
}
