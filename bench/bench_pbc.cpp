// Times the periodic SCF on a polymer, a sheet and a crystal, split into its
// per-iteration stages: the supercell Fock build, the density assembly
// (supercell density, Bloch densities and their back-transform) and the
// Bloch diagonalisations. Stage totals are one iteration's cost, measured on
// the final blocks, times the iterations of the run; bands_s is the band
// structure after the loop (path, band-edge search, density of states).
// Usage: bench_pbc [PM6|MNDO|AM1|PM3|RM1|PM7]
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "core/fock/fock_builder.h"
#include "core/hamiltonian/hcore.h"
#include "core/pbc/bands.h"
#include "core/pbc/bloch_scf.h"
#include "core/scf/scf_loop.h"

namespace {

using namespace quorin;

struct System {
    const char* name;
    std::vector<std::uint8_t> atomic_numbers;
    std::vector<std::array<double, 3>> coordinates;  // angstrom
    std::vector<Vec3> translation_vectors;
    std::array<std::uint64_t, 3> mers;
    std::array<std::uint64_t, 3> k_grid;
};

std::vector<System> systems() {
    const double bn = 2.504;       // hexagonal BN lattice constant, angstrom
    const double diamond = 3.567;  // cubic diamond lattice constant, angstrom
    const double root3 = std::sqrt(3.0);
    return {
        {"polyacetylene", {6, 6, 1, 1}, {{0, 0, 0}, {1.19, 0.70, 0}, {0, -1.09, 0}, {1.19, 1.79, 0}},
         {{2.455, 0, 0}}, {5, 1, 1}, {16, 1, 1}},
        {"BN sheet", {5, 7}, {{0, 0, 0}, {bn / 2, bn / (2 * root3), 0}},
         {{bn, 0, 0}, {bn / 2, bn * root3 / 2, 0}}, {5, 5, 1}, {8, 8, 1}},
        {"diamond", {6, 6}, {{0, 0, 0}, {diamond / 4, diamond / 4, diamond / 4}},
         {{0, diamond / 2, diamond / 2}, {diamond / 2, 0, diamond / 2}, {diamond / 2, diamond / 2, 0}}, {3, 3, 3},
         {4, 4, 4}},
    };
}

}  // namespace

int main(int argc, char** argv) {
    const std::unique_ptr<ParameterModel> model = bench::model_named(argc > 1 ? argv[1] : "PM6");
    std::printf("%s, NDDO, 1e-5 eV, 1e-4\n", std::string(model->name()).c_str());
    std::printf("%-14s %5s %5s %5s %5s %5s %16s %9s %9s %9s %9s %9s\n", "system", "n", "N_T", "N_k", "iter", "conv",
                "E_cell_ev", "total_s", "fock_s", "dens_s", "diag_s", "bands_s");
    for (const System& s : systems()) {
        PbcConfig config;
        config.cell = std::get<UnitCell>(UnitCell::from_translation_vectors(s.translation_vectors,
                                                                            s.translation_vectors.size()));
        config.mers = s.mers;
        config.k_grid = s.k_grid;
        const MolecularBatch cell = MolecularBatch::new_for_model(s.atomic_numbers, s.coordinates, *model);
        PbcWorkspace ws;
        PbcResult result;
        const double total =
            bench::seconds_of([&] { result = std::get<PbcResult>(run_pbc_scf(cell, *model, config, ws)); });

        // One iteration of each stage on the final blocks.
        const auto translations = UnitCell::generate_translation_indices(config.cell, config.mers);
        const auto kpoints = UnitCell::generate_monkhorst_pack_grid(config.cell, config.k_grid);
        const MolecularBatch supercell = build_supercell(cell, *model, translations);
        const auto pairs = precompute_diatomic_pairs(supercell, *model);
        const OneCenterTables one_center = OneCenterTables::build(supercell, *model);
        const auto pair_translation =
            copy_pair_translations(translations, counts_within_dimension(config.cell.dimension, config.mers));
        const std::size_t n = cell.n_basis;
        const std::size_t n_occ = count_valence_electrons(cell, *model) / 2;
        Matrix h_s = Matrix::zeros(supercell.n_basis, supercell.n_basis);
        Matrix p_s = h_s, f_s = h_s;
        build_hcore_nddo(supercell, *model, pairs, h_s);
        Matrix d_re = Matrix::zeros(n, n), d_im = Matrix::zeros(n, n);
        std::vector<Matrix> blocks(translations.size(), Matrix::zeros(n, n));

        const double density = bench::seconds_of([&] {
            assemble_supercell_density(ws.density_r, pair_translation, n, p_s);
            for (const KPoint& k : kpoints) {
                bloch_density_from_embedding(ws.eigenvectors, n, n_occ, ws.occupied_products, d_re, d_im);
                add_kpoint_density(k, translations, d_re, d_im, blocks);
            }
        });
        const double fock =
            bench::seconds_of([&] { build_fock_nddo(supercell, *model, one_center, pairs, h_s, p_s, f_s); });
        const double diagonalisation = bench::seconds_of([&] {
            for (const KPoint& k : kpoints) diagonalize_bloch_matrix(ws.fock_r, translations, k.cartesian, ws);
        });
        PbcResult bands_result;
        const double bands = bench::seconds_of([&] {
            compute_bands_and_dos(config.cell, translations, kpoints, n_occ, config.band_points, config.dos_sigma, ws,
                                  bands_result);
        });
        const auto iterations = static_cast<double>(result.iterations);
        std::printf("%-14s %5zu %5zu %5zu %5llu %5s %16.6f %9.3f %9.3f %9.3f %9.3f %9.3f\n", s.name, n,
                    translations.size(), kpoints.size(), static_cast<unsigned long long>(result.iterations),
                    result.converged ? "yes" : "no", result.total_energy, total, fock * iterations,
                    density * iterations, diagonalisation * iterations, bands);
    }
    return 0;
}
