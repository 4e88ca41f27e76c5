#pragma once
// Closed-shell SCF of a system periodic along one to three lattice vectors.
// The home cell's real-space core-Hamiltonian and Fock blocks with each kept
// cell (core/pbc/periodic_operators.h) are summed into the Bloch Fock matrix
// at each k-point and diagonalised there; the density blocks are rebuilt by
// a weighted k-point sum. The iterations start and accelerate as the
// molecular SCF's do: orbitals of the neutral-atom Fock matrix, Pulay
// extrapolation on the commutators at every k-point, a late level shift.
// Like the molecular SCF, a run converges only on a solution whose occupied
// bands are the lowest levels of their own k-point Fock matrices and that is
// stable (core/pbc/bloch_stability.h); from a saddle point it goes down along
// the unstable rotation. A sheet with a small gap settles on a coarse grid
// first and goes on over a finer one from there. Atoms are placed at their
// images nearest the first atom before anything is built, so the image the
// caller gave for an atom changes nothing. Energies are per unit cell.
#include <array>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "core/parameters/parameter_model.h"
#include "core/pbc/unit_cell.h"
#include "core/scf/eigensolver.h"
#include "core/types/aligned.h"
#include "core/types/memory_plan.h"
#include "core/types/molecule.h"

namespace quorin {

using Counts = std::array<std::uint64_t, 3>;

struct PbcConfig {
    UnitCell cell;
    // Cells kept around the home cell, as translation counts along the
    // reduced lattice vectors (reduced_cell). Absent: every cell that brings
    // an atom within image_radius of a home atom.
    std::optional<Counts> mers;
    // Angstrom; absent: default_image_radius of the cell's dimension.
    std::optional<double> image_radius;
    // Monkhorst-Pack divisions along the reduced reciprocal vectors. Absent:
    // default_k_grid of the cells kept.
    std::optional<Counts> k_grid;
    std::uint64_t max_iter = 100;
    double energy_tol = 1e-5;   // eV
    double density_tol = 1e-4;  // largest density change or commutator element
    double damping = 0.5;       // old-density fraction of steps without Pulay extrapolation
    std::uint64_t band_points = 40;  // per band-path segment
    double dos_sigma = 0.1;          // eV
    bool use_nddo = true;
};

// Eigenpairs of the Hermitian m x m matrix in `a` (column-major, lower
// triangle read): eigenvalues ascending into w, eigenvectors into a's
// columns, with LAPACK scratch of at least 2m + m^2, 1 + 5m + 2m^2 and 3 + 5m
// entries. Stops when LAPACK fails.
void hermitian_eigenpairs(std::complex<double>* a, std::size_t m, double* w, std::span<std::complex<double>> work,
                          std::span<double> real_work, std::span<std::int32_t> int_work);

// Block stacks: row t holds the n x n block between the home cell (rows) and
// the cell at R_t (columns), flattened row-major.
struct PbcWorkspace {
    Matrix density_r;  // P(R_t)
    Matrix fock_r;     // F(R_t)
    Matrix hcore_r;    // H(R_t)
    std::size_t n_orbitals = 0;
    std::size_t n_translations = 0;
    std::size_t n_kpoints = 0;
    // The Bloch Fock matrix, n x n complex column-major, and the scratch of
    // its Hermitian eigensolver.
    std::vector<std::complex<double>> bloch_matrix;
    std::vector<std::complex<double>> eigen_work;
    Vec64 eigen_real_work;
    std::vector<std::int32_t> eigen_int_work;
    Vec64 levels;        // n, ascending
    Vec64 eigenvalues;   // 2n, ascending: each level twice, as in the real embedding
    Matrix eigenvectors; // 2n x 2n, columns: the real embedding's eigenvectors
    Matrix occupied_products;          // 2n x 2n: V_occ V_occ^T, the Bloch density before folding
    Vec64 bloch_sums;                  // 2 n^2: real and imaginary parts of one Bloch sum

    static PbcWorkspace allocate(std::size_t n_orbitals, std::size_t n_translations, std::size_t n_kpoints);
};

struct PbcResult {
    std::vector<KPoint> kpoints;                     // the band path
    std::vector<std::vector<double>> band_energies;  // per path point, n ascending energies, eV
    std::vector<double> dos_energies;                // 300 grid energies, eV
    std::vector<double> dos_values;                  // bands per eV per cell
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

// The sampling of one run: the reduced cell, the cell's atoms as the run
// places them (images_near_first), the kept translations (R_0 = 0 first)
// and the k-point grid, both in terms of the reduced cell.
struct PbcSampling {
    UnitCell reduced;
    std::vector<Vec3> positions;  // angstrom
    std::vector<TranslationIndex> translations;
    std::vector<KPoint> kpoints;
    // A sheet's finer default grid, which the run goes on to when its gap
    // on `kpoints` is below kSheetRefineGapEv; empty for given divisions,
    // chains and crystals.
    std::vector<KPoint> refined_kpoints;
};

// Sizes of one run, from the cell's orbital count and the settings.
struct PbcSizes {
    std::size_t n_translations = 0;
    std::size_t n_kpoints = 0;
    std::size_t n_path_points = 0;
    std::uint64_t bytes = 0;  // the run's memory at its peak, the caller's workspace included
};

// Largest working storage a run may need, in bytes.
inline constexpr std::uint64_t kPbcMemoryBudgetBytes = std::uint64_t{4} << 30;

// Closest an atom may come to a periodic image of any atom, angstrom.
inline constexpr double kMinImageDistance = 0.5;

// The cells a run keeps when no counts are given: every cell with an atom
// within this distance (angstrom) of an atom of the home cell, by the number
// of lattice vectors. With default_k_grid they put the energy per atom within
// about 0.005 eV and band gaps within about 0.1 eV of the limit of ever more
// cells and k-points for chains, sheets and crystals of light elements. The
// Coulomb terms do not depend on it (build_periodic_operators).
double default_image_radius(std::uint8_t dimension);

// Length (angstrom) of the periodic superlattice a default grid samples
// along each reciprocal vector at least. A sheet whose solution on that grid
// has a direct gap below kSheetRefineGapEv goes on over kSheetSamplingLength
// from it: a semimetal's gap (graphene's, opened by charges on its
// sublattices) opens only over a fine grid around the zone corner, 0.4-0.7
// eV too wide on the first grid under MNDO, AM1 and PM3, while wider gaps
// (PM6 graphene's 4 eV, BN sheets') are within 0.02 eV there.
inline constexpr double kDefaultSamplingLength = 30.0;
inline constexpr double kSheetSamplingLength = 80.0;
inline constexpr double kSheetRefineGapEv = 3.5;

// Divisions for a run without a k_grid on `reduced`: along each reciprocal
// vector b_i the larger of the divisions that keep the kept translations
// apart in the k-point sum (`resolving`, resolving_divisions) and
// length |b_i| / 2 pi, rounded up to an odd number so that the grid holds
// the zone centre and is the same for every basis of a lattice when the
// divisions are equal; for a sheet to an odd multiple of 3, so that it holds
// the corners of a hexagonal zone in any cell of the lattice.
Counts default_k_grid(const Counts& resolving, const UnitCell& reduced, double length);

// The translation, k-point (of the finer grid where a sheet's run may go on
// to one) and band-path counts of a run on `cell_molecule`, or the message
// refusing it, in this order: a used translation count of 2^31 or more; a
// k_grid with fewer points than given translation counts along a periodic
// direction (the k-point sum would fold the density of distant copies onto
// near ones); an atom closer than kMinImageDistance to a periodic image of an
// atom; given counts (or, without them, divisions) that keep fewer cells than
// reach 2.75 nearest-neighbour distances of the home cell; storage over
// kPbcMemoryBudgetBytes. Allocates nothing of the run's size.
std::variant<PbcSizes, std::string> plan_pbc_sizes(const MolecularBatch& cell_molecule, const ParameterModel& model,
                                                   const PbcConfig& config);

// The translations and k-points of a run that plan_pbc_sizes accepted.
PbcSampling pbc_sampling(const MolecularBatch& cell_molecule, const PbcConfig& config);

// Runs the periodic SCF, then bands, gaps and density of states, and for a
// sheet's default grid whose direct gap is below kSheetRefineGapEv (or that
// did not converge) the SCF again on its refined grid from that solution,
// then the bands again; the iterations of both count. Returns the
// message "Periodic calculation requires at least 1 atom in unit cell" for
// an empty cell and the refusal of plan_pbc_sizes; stops with "Occupied
// levels (m) exceed unit cell orbitals (n)". A workspace of other sizes is
// replaced. Non-convergence (no stable solution within max_iter iterations,
// the stability checks' line searches counting one each) only leaves
// `converged` false.
std::variant<PbcResult, std::string> run_pbc_scf(const MolecularBatch& cell_molecule, const ParameterModel& model,
                                                 const PbcConfig& config, PbcWorkspace& workspace);

// The stages of one SCF iteration, public so that benchmarks can time them.

// The k-point sums of a grid as matrix products over block stacks. Bloch
// parts are 2 N_k x n^2 matrices with Re X(k) in row k and Im X(k) in row
// N_k + k. One table of cos(k.R_t) and sin(k.R_t) serves both ways, kept in
// blocks of k-points small enough that each block is allocated, and its
// product computed, in a fraction of a second (a run answers Ctrl-C between
// blocks).
struct BlochTransform {
    // Block b: the cosines of its k-points in its first rows, their sines
    // below, N_T columns.
    std::vector<Matrix> blocks;
    std::vector<std::size_t> first;  // first k-point of each block
    std::vector<double> weights;     // w_k
    std::size_t n_kpoints = 0;
    std::size_t n_translations = 0;
    mutable Matrix weighted;  // scratch of to_cells: one block's parts times their weights

    static BlochTransform build(std::span<const KPoint> kpoints, std::span<const TranslationIndex> translations,
                                std::size_t n_orbitals);
    // parts := the Bloch sums F(k) = sum_t F(R_t) e^{i k.R_t} of the stack (N_T x n^2).
    void to_kpoints(const Matrix& stack, Matrix& parts) const;
    // stack := sum_k w_k (Re D(k) cos k.R_t + Im D(k) sin k.R_t), the real-space
    // blocks of the Bloch parts.
    void to_cells(const Matrix& parts, Matrix& stack) const;
    // k-points per block for these sizes, and what build allocates.
    static std::size_t kpoints_per_block(std::size_t n_translations, std::size_t n_orbitals);
    static MemoryPlan plan(std::size_t n_kpoints, std::size_t n_translations, std::size_t n_orbitals);
};

// Writes the real embedding [[Re, -Im], [Im, Re]] of the Bloch matrix with
// the given real and imaginary parts (n x n, row-major) into
// workspace.bloch_matrix, adds shift (I - D/2) for a level shift `shift` eV
// over the density D = d_re + i d_im when shift is nonzero, and diagonalises
// it into workspace.eigenvalues and eigenvectors. Each Bloch level appears
// twice, as (a, b) and (-b, a) with a + i b its coefficients.
void diagonalize_bloch_parts(const double* re, const double* im, double shift, const double* d_re,
                             const double* d_im, PbcWorkspace& workspace);

// The levels of the Bloch sum F(k) = sum_t F(R_t) e^{i k.R_t} of a block
// stack, ascending, into workspace.levels.
void bloch_levels(const Matrix& stack, std::span<const TranslationIndex> translations, const Vec3& k,
                  PbcWorkspace& workspace);

// Closed-shell Bloch density D = Dre + i Dim over the n_occ lowest levels,
// from the embedding eigenvectors (the projector on the occupied space,
// unchanged by any rotation within a degenerate level). Levels degenerate
// (within kGuessDegeneracyEv) across the occupied-empty border share their
// electrons evenly, as at the touching bands of a semimetal. `products` is
// 2n x 2n scratch; d_re and d_im are written n x n, row-major.
void bloch_density_from_embedding(const Matrix& eigenvectors, const Vec64& eigenvalues, std::size_t n,
                                  std::size_t n_occ, Matrix& products, double* d_re, double* d_im);

}  // namespace quorin
