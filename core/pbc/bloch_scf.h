#pragma once
// Closed-shell SCF of a system periodic along one to three lattice vectors.
// Real-space core-Hamiltonian and Fock blocks between the home cell and each
// translated cell come from the ordinary molecular matrices of a finite
// supercell; the Bloch Fock matrix at each Monkhorst-Pack k-point is
// diagonalised through its real 2n x 2n embedding, and the density blocks are
// rebuilt by a weighted k-point sum. Energies are per unit cell.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "core/parameters/parameter_model.h"
#include "core/pbc/unit_cell.h"
#include "core/scf/eigensolver.h"
#include "core/types/aligned.h"
#include "core/types/molecule.h"

namespace quorin {

struct PbcConfig {
    UnitCell cell;
    std::array<std::uint64_t, 3> mers{5, 1, 1};     // translation counts along a1, a2, a3
    std::array<std::uint64_t, 3> k_grid{16, 1, 1};  // Monkhorst-Pack divisions
    std::uint64_t max_iter = 100;
    double energy_tol = 1e-5;   // eV
    double density_tol = 1e-4;  // largest density-block element change
    double damping = 0.5;       // old-density fraction in iterations 1 to 5
    std::uint64_t band_points = 40;  // per band-path segment
    double dos_sigma = 0.1;          // eV
    bool use_nddo = true;
};

struct PbcWorkspace {
    std::vector<Matrix> density_r;  // P(R_t), n x n: home-cell rows, cell-t columns
    std::vector<Matrix> fock_r;     // F(R_t)
    std::vector<Matrix> hcore_r;    // H(R_t)
    std::size_t n_orbitals = 0;
    std::size_t n_translations = 0;
    std::size_t n_kpoints = 0;
    Matrix bloch_matrix;  // 2n x 2n real embedding of the Bloch Fock matrix
    EigensolverWorkspace eigensolver;  // LAPACK scratch of the 2n x 2n solve
    Vec64 eigenvalues;    // 2n, ascending
    Matrix eigenvectors;  // 2n x 2n, columns
    Matrix occupied_products;  // 2n x 2n: V_occ V_occ^T, the Bloch density before folding

    static PbcWorkspace allocate(std::size_t n_orbitals, std::size_t n_translations, std::size_t n_kpoints);
};

struct PbcResult {
    std::vector<KPoint> kpoints;                   // the band path
    std::vector<std::vector<double>> band_energies;  // per path point, n ascending energies, eV
    std::vector<double> dos_energies;              // 300 grid energies, eV
    std::vector<double> dos_values;                // bands per eV per cell
    std::uint64_t iterations = 0;
    double total_energy = 0;       // eV per cell
    double electronic_energy = 0;  // eV per cell
    double core_repulsion = 0;     // eV per cell
    double heat_of_formation = 0;  // kcal/mol per cell
    double vbm = 0;                // eV; -inf when no level is both tested and occupied
    double cbm = 0;                // eV; +inf when no level is tested
    double direct_gap = 0;         // eV; smallest same-point gap, +inf when none
    double band_gap = 0;           // eV; max(cbm - vbm, 0)
    bool converged = false;
};

// Sizes of one run, from the cell's orbital count and the settings.
struct PbcSizes {
    std::size_t n_translations = 0;
    std::size_t n_kpoints = 0;
    std::size_t n_path_points = 0;
};

// Largest working storage a run may need, in bytes.
inline constexpr std::uint64_t kPbcMemoryBudgetBytes = std::uint64_t{4} << 30;

// Closest an atom may come to a periodic image of any atom, angstrom.
inline constexpr double kMinImageDistance = 0.5;

// Translation counts and Monkhorst-Pack divisions for a caller who chooses
// none, by the number of translation vectors: (5, 1, 1) and (16, 1, 1) for a
// chain, (5, 5, 1) and (8, 8, 1) for a sheet, (3, 3, 3) and (4, 4, 4) for a
// crystal.
std::array<std::uint64_t, 3> default_mers(std::uint8_t dimension);
std::array<std::uint64_t, 3> default_k_grid(std::uint8_t dimension);

// The translation, k-point and band-path counts of a run on `cell_molecule`,
// or the message refusing it, in this order: a used translation count of
// 2^31 or more; fewer k-points than translation counts along a periodic
// direction (the k-point sum would fold the density of distant copies onto
// near ones); an atom closer than kMinImageDistance to a periodic image of
// an atom; storage (supercell matrices, pair integrals, blocks, k-points,
// bands) over kPbcMemoryBudgetBytes. Allocates nothing of the run's size.
std::variant<PbcSizes, std::string> plan_pbc_sizes(const MolecularBatch& cell_molecule, const PbcConfig& config);

// Runs the periodic SCF, then bands, gaps and density of states. Returns the
// message "Periodic calculation requires at least 1 atom in unit cell" for
// an empty cell and the refusal of plan_pbc_sizes; stops with "Occupied
// levels (m) exceed unit cell orbitals (n)". A workspace of other sizes is
// replaced. Non-convergence only leaves `converged` false.
std::variant<PbcResult, std::string> run_pbc_scf(const MolecularBatch& cell_molecule, const ParameterModel& model,
                                                 const PbcConfig& config, PbcWorkspace& workspace);

// The stages of one SCF iteration, public so that benchmarks can time them.

// Copy t of the cell shifted by R_t, copies in the order of `translations`:
// supercell orbital t n + mu is orbital mu of copy t, copy 0 the home cell.
MolecularBatch build_supercell(const MolecularBatch& cell, const ParameterModel& model,
                               std::span<const TranslationIndex> translations);

// For every ordered pair of copies (a, b), at a N_T + b, the translation whose
// density block couples them: their index difference wrapped into -h..h per
// direction (counts as used by the cell), or N_T when none matches (a
// difference of N/2 for an even count N).
std::vector<std::size_t> copy_pair_translations(std::span<const TranslationIndex> translations,
                                                const std::array<std::uint64_t, 3>& counts);

// Supercell density from the blocks P(R_t) through the copy-pair table.
void assemble_supercell_density(const std::vector<Matrix>& density_r, std::span<const std::size_t> pair_translation,
                                std::size_t n, Matrix& p_s);

// Home-cell rows of a supercell matrix cut into the n x n block of each copy.
void extract_home_blocks(const Matrix& supercell, std::size_t n, std::vector<Matrix>& blocks);

// blocks[t] += w_k (Dre cos(k.R_t) + Dim sin(k.R_t)): one k-point's share of
// the real-space density.
void add_kpoint_density(const KPoint& k, std::span<const TranslationIndex> translations, const Matrix& d_re,
                        const Matrix& d_im, std::vector<Matrix>& blocks);

// Writes the real 2n x 2n embedding [[Re, -Im], [Im, Re]] of the Bloch sum
// F(k) = sum_t F(R_t) e^{i k.R_t} into workspace.bloch_matrix and
// diagonalises it into workspace.eigenvalues and eigenvectors. Each Bloch
// level appears twice, as (a, b) and (-b, a) with a + i b its coefficients.
void diagonalize_bloch_matrix(std::span<const Matrix> blocks, std::span<const TranslationIndex> translations,
                              const Vec3& k, PbcWorkspace& workspace);

// Closed-shell Bloch density D = Dre + i Dim = 2 sum c c^H over the n_occ
// lowest levels, from the 2 n_occ lowest embedding eigenvectors each with
// weight 1 (the projector on the occupied space, unchanged by any rotation
// within a degenerate level). `products` is 2n x 2n scratch.
void bloch_density_from_embedding(const Matrix& eigenvectors, std::size_t n, std::size_t n_occ, Matrix& products,
                                  Matrix& d_re, Matrix& d_im);

}  // namespace quorin
