// Times the periodic SCF with its default cells and k-points on two chains,
// two sheets and four crystals, split into its per-iteration stages: the Fock
// blocks of the home cell (fock_s), the k-point sums as matrix products
// (sums_s), the Bloch diagonalisations with their densities (diag_s) and the
// commutators of the Pulay steps (comm_s). Stage totals are one iteration's
// cost, measured on the final blocks and grid, times the iterations of the
// run (a sheet with a small gap settles on its first grid of N_k0 points,
// then goes on over N_k);
// setup_s is the pair integrals and phases made once, check_s one stability
// check of the final solution (its Hessian products), bands_s the band
// structure after the loop (path, band-edge search, density of states).
// With --memory: the memory plan of diamond at the default grid and at
// k_grid (31, 31, 31) against the peak resident memory of the run, above that
// of the process before it, each in a child process.
// Usage: bench_pbc [PM6|MNDO|AM1|PM3|RM1|PM7] [--memory]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "core/pbc/bands.h"
#include "core/pbc/bloch_scf.h"
#include "core/pbc/bloch_stability.h"
#include "core/pbc/periodic_operators.h"
#include "core/scf/blas.h"
#include "core/scf/scf_loop.h"

namespace {

using namespace quorin;

struct System {
    const char* name;
    std::vector<std::uint8_t> atomic_numbers;
    std::vector<std::array<double, 3>> coordinates;  // angstrom
    std::vector<Vec3> translation_vectors;
};

std::vector<System> systems() {
    const double root3 = std::sqrt(3.0);
    const double graphene = 2.46, bn = 2.504;          // hexagonal lattice constants, angstrom
    const double diamond = 3.567 / 2, si = 5.431 / 2;  // half the cubic lattice constants
    const double sic = 4.36, cbn = 3.615;                  // zinc-blende lattice constants
    // Polyethylene: C-C 1.53, C-H 1.09 angstrom, H-C-H 107 degrees, repeat 2.55.
    const double c = 2.55, y = 0.4229, hy = 1.09 * std::cos(53.5 * M_PI / 180), hz = 1.09 * std::sin(53.5 * M_PI / 180);
    return {
        {"polyacetylene", {6, 6, 1, 1}, {{0, 0, 0}, {1.19, 0.70, 0}, {0, -1.09, 0}, {1.19, 1.79, 0}}, {{2.455, 0, 0}}},
        {"polyethylene",
         {6, 6, 1, 1, 1, 1},
         {{0, -y, 0}, {c / 2, y, 0}, {0, -y - hy, hz}, {0, -y - hy, -hz}, {c / 2, y + hy, hz}, {c / 2, y + hy, -hz}},
         {{c, 0, 0}}},
        {"graphene", {6, 6}, {{0, 0, 0}, {graphene / 2, graphene / (2 * root3), 0}},
         {{graphene, 0, 0}, {graphene / 2, graphene * root3 / 2, 0}}},
        {"BN sheet", {5, 7}, {{0, 0, 0}, {bn / 2, bn / (2 * root3), 0}}, {{bn, 0, 0}, {bn / 2, bn * root3 / 2, 0}}},
        {"diamond", {6, 6}, {{0, 0, 0}, {diamond / 2, diamond / 2, diamond / 2}},
         {{0, diamond, diamond}, {diamond, 0, diamond}, {diamond, diamond, 0}}},
        {"silicon", {14, 14}, {{0, 0, 0}, {si / 2, si / 2, si / 2}}, {{0, si, si}, {si, 0, si}, {si, si, 0}}},
        {"SiC", {14, 6}, {{0, 0, 0}, {sic / 4, sic / 4, sic / 4}}, {{0, sic / 2, sic / 2}, {sic / 2, 0, sic / 2},
                                                                    {sic / 2, sic / 2, 0}}},
        {"cubic BN", {5, 7}, {{0, 0, 0}, {cbn / 4, cbn / 4, cbn / 4}}, {{0, cbn / 2, cbn / 2}, {cbn / 2, 0, cbn / 2},
                                                                        {cbn / 2, cbn / 2, 0}}},
    };
}

}  // namespace

// Peak resident memory of the process so far, bytes.
double peak_resident_bytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return 1024.0 * static_cast<double>(usage.ru_maxrss);
}

int memory_plans(const ParameterModel& model) {
    const System diamond = systems()[4];
    std::printf("%s diamond: memory plan against peak resident memory above the process before the run\n",
                std::string(model.name()).c_str());
    std::printf("%-12s %10s %10s %7s\n", "k_grid", "plan_mb", "peak_mb", "ratio");
    for (const std::uint64_t divisions : {std::uint64_t{0}, std::uint64_t{31}}) {
        std::fflush(stdout);
        const pid_t child = fork();
        if (child == 0) {
            PbcConfig config;
            config.cell = std::get<UnitCell>(UnitCell::from_translation_vectors(
                diamond.translation_vectors, diamond.translation_vectors.size()));
            if (divisions > 0) config.k_grid = Counts{divisions, divisions, divisions};
            const MolecularBatch cell =
                MolecularBatch::new_for_model(diamond.atomic_numbers, diamond.coordinates, model);
            const PbcSizes sizes = std::get<PbcSizes>(plan_pbc_sizes(cell, model, config));
            const double before = peak_resident_bytes();
            PbcWorkspace ws = PbcWorkspace::allocate(cell.n_basis, sizes.n_translations, sizes.n_kpoints);
            (void)run_pbc_scf(cell, model, config, ws);
            const double peak = peak_resident_bytes() - before;
            std::printf("%-12s %10.1f %10.1f %7.2f\n", divisions > 0 ? "(31, 31, 31)" : "default",
                        static_cast<double>(sizes.bytes) / 1048576.0, peak / 1048576.0,
                        static_cast<double>(sizes.bytes) / peak);
            std::fflush(stdout);
            _exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
    }
    return 0;
}

int main(int argc, char** argv) {
    const std::unique_ptr<ParameterModel> model = bench::model_named(argc > 1 ? argv[1] : "PM6");
    if (argc > 2 && std::strcmp(argv[2], "--memory") == 0) return memory_plans(*model);
    std::printf("%s, NDDO, default cells and k-points, 1e-5 eV, 1e-4\n", std::string(model->name()).c_str());
    std::printf("%-14s %4s %5s %6s %6s %5s %5s %12s %8s %8s %8s %8s %8s %8s %8s %8s %8s\n", "system", "n", "N_T",
                "N_k0", "N_k", "iter", "conv", "E_atom_ev", "gap_ev", "total_s", "setup_s", "fock_s", "sums_s", "diag_s", "comm_s",
                "check_s", "bands_s");
    for (const System& s : systems()) {
        PbcConfig config;
        config.cell = std::get<UnitCell>(UnitCell::from_translation_vectors(s.translation_vectors,
                                                                            s.translation_vectors.size()));
        const MolecularBatch cell = MolecularBatch::new_for_model(s.atomic_numbers, s.coordinates, *model);
        PbcWorkspace ws;
        PbcResult result;
        const double total =
            bench::seconds_of([&] { result = std::get<PbcResult>(run_pbc_scf(cell, *model, config, ws)); });

        // One iteration of each stage on the final blocks.
        const PbcSampling sampling = pbc_sampling(cell, config);
        const bool refined = !sampling.refined_kpoints.empty() &&
                             !(result.converged && result.direct_gap >= kSheetRefineGapEv);
        const std::vector<KPoint>& grid = refined ? sampling.refined_kpoints : sampling.kpoints;
        MolecularBatch placed = cell;
        set_coordinates(placed, sampling.positions);
        const std::size_t n = cell.n_basis, n_k = grid.size();
        const std::size_t n_occ = count_valence_electrons(cell, *model) / 2;
        Matrix h_stack;
        PeriodicOperators operators;
        BlochTransform transform;
        const double setup = bench::seconds_of([&] {
            operators =
                build_periodic_operators(placed, *model, sampling.reduced, sampling.translations, true, h_stack);
            transform = BlochTransform::build(grid, sampling.translations, n);
        });
        Matrix f_stack = Matrix::zeros(h_stack.rows(), n * n);
        Matrix k_parts = Matrix::zeros(2 * n_k, n * n);
        Matrix density_k = Matrix::zeros(2 * n_k, n * n);
        Matrix p_stack = ws.density_r;
        const double fock = bench::seconds_of(
            [&] { build_periodic_fock(placed, *model, operators, h_stack, ws.density_r, f_stack); });
        const double sums = bench::seconds_of([&] {
            transform.to_kpoints(ws.fock_r, k_parts);
            transform.to_kpoints(ws.fock_r, k_parts);
            transform.to_cells(k_parts, p_stack);
        });
        const double diagonalisation = bench::seconds_of([&] {
            for (std::size_t k = 0; k < n_k; ++k) {
                diagonalize_bloch_parts(k_parts.row(k), k_parts.row(n_k + k), 0.0, nullptr, nullptr, ws);
                bloch_density_from_embedding(ws.eigenvectors, ws.eigenvalues, n, n_occ, ws.occupied_products,
                                             density_k.row(k), density_k.row(n_k + k));
            }
        });
        Matrix a = Matrix::zeros(n, n), b = a, c = a;
        const double commutators = bench::seconds_of([&] {
            for (std::size_t k = 0; k < n_k; ++k) {
                for (int product = 0; product < 4; ++product) multiply(a, b, c);
            }
        });
        BlochStabilityWorkspace stability =
            BlochStabilityWorkspace::allocate(n, n_occ, sampling.translations.size(), n_k);
        const BlochRun bloch_run{placed, *model, operators, h_stack, transform, grid};
        const double check = bench::seconds_of([&] {
            prepare_bloch_orbitals(k_parts, density_k, grid, stability);
            (void)check_bloch_stability(bloch_run, stability);
        });
        PbcResult bands_result;
        const double bands = bench::seconds_of([&] {
            compute_bands_and_dos(config.cell, sampling.reduced, sampling.translations, grid, n_occ,
                                  config.band_points, config.dos_sigma, ws, bands_result);
        });
        const auto iterations = static_cast<double>(result.iterations);
        std::printf("%-14s %4zu %5zu %6zu %6zu %5llu %5s %12.6f %8.4f %8.3f %8.3f %8.3f %8.3f %8.3f %8.3f %8.3f %8.3f\n",
                    s.name, n, sampling.translations.size(), sampling.kpoints.size(), n_k, static_cast<unsigned long long>(result.iterations),
                    result.converged ? "yes" : "no", result.total_energy / static_cast<double>(cell.n_atoms),
                    result.band_gap, total, setup, fock * iterations, sums * iterations, diagonalisation * iterations,
                    commutators * iterations, check, bands);
    }
    return 0;
}
