#include "core/pbc/bloch_scf.h"

#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numbers>
#include <optional>

#define LAPACK_GLOBAL(lcname, UCNAME) scipy_##lcname##_
#define lapack_complex_float std::complex<float>
#define lapack_complex_double std::complex<double>
#include <lapack.h>

#include "core/gradients/heat_of_formation.h"
#include "core/pbc/bands.h"
#include "core/pbc/bloch_stability.h"
#include "core/pbc/periodic_operators.h"
#include "core/scf/blas.h"
#include "core/scf/diis.h"
#include "core/scf/initial_guess.h"
#include "core/scf/scf_loop.h"
#include "core/types/errors.h"
#include "core/types/interruption.h"
#include "core/types/memory_plan.h"

namespace quorin {

namespace {

constexpr std::uint64_t kSizeMax = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kTranslationCountLimit = std::uint64_t{1} << 31;

// From this iteration on, a run that has not settled gets the molecular
// SCF's late level shift (eV) and lighter damping.
constexpr std::uint64_t kLateIteration = 26;
constexpr double kLateLevelShiftEv = 2.0;
constexpr double kLateDamping = 0.3;
// A direct gap (eV) below this is closing: at a k-point off the grid, by at
// least this much below the grid's own smallest, it leaves a solution
// uncertified.
constexpr double kClosingGapEv = 0.1;
// Unstable solutions left for a lower one before a run gives up unconverged.
constexpr std::size_t kMaxDescents = 4;
// Largest commutator element (eV) below which a stage that starts from a
// descent takes Pulay steps, and the rise of the energy per cell (eV)
// above the stage's lowest that counts as climbing back.
constexpr double kDescentPulayErrorEv = 0.1;
constexpr double kClimbEv = 1e-4;
// A fall of the energy (eV) along an unstable rotation smaller than this is
// rounding, not a way down.
constexpr double kEnergyNoiseEv = 1e-8;
// A stage whose commutators have not halved for kStallIterations
// iterations, from iteration kStallFrom on, is stuck.
constexpr std::uint64_t kStallFrom = 12;
constexpr std::uint64_t kStallIterations = 6;

std::string size_text(std::uint64_t value) {
    return value == kSizeMax ? "more than " + std::to_string(kSizeMax) : std::to_string(value);
}

constexpr const char* kAxis[] = {"a1", "a2", "a3"};

std::string triple_text(const Counts& t) {
    std::string text = "(";
    for (int d = 0; d < 3; ++d) text += std::to_string(t[d]) + (d < 2 ? ", " : ")");
    return text;
}

// A k-point sum over n points per direction cannot tell copies n cells apart:
// with fewer points than copies the density of far copies folds onto near ones.
std::optional<std::string> aliasing_refusal(std::uint8_t dimension, const Counts& mers, const Counts& k_grid) {
    std::string directions;
    Counts enough = k_grid;
    for (int d = 0; d < dimension; ++d) {
        if (std::max<std::uint64_t>(k_grid[d], 1) >= mers[d]) continue;
        directions += (directions.empty() ? "" : " and ") + std::string(kAxis[d]);
        enough[d] = mers[d];
    }
    if (directions.empty()) return std::nullopt;
    return "k_grid " + triple_text(k_grid) + " has fewer points than mers " + triple_text(mers) + " along " +
           directions + ", which folds the density of distant cells onto near ones: use a k_grid of at least " +
           triple_text(enough);
}

// "-a1 + 2 a2": a lattice translation in terms of the cell's vectors.
std::string translation_text(const std::array<std::int64_t, 3>& shift) {
    std::string text;
    for (int d = 0; d < 3; ++d) {
        if (shift[d] == 0) continue;
        const std::uint64_t size = shift[d] < 0 ? 0 - static_cast<std::uint64_t>(shift[d]) : shift[d];
        text += text.empty() ? (shift[d] < 0 ? "-" : "") : (shift[d] < 0 ? " - " : " + ");
        text += (size == 1 ? "" : std::to_string(size) + " ") + kAxis[d];
    }
    return text;
}

std::string overlap_refusal(const MolecularBatch& cell, const CloseImage& close) {
    const auto atom_text = [&](std::size_t i) {
        return "atom " + std::to_string(i) + " (Z=" + std::to_string(cell.atomic_numbers[i]) + ")";
    };
    char distance[32];
    std::snprintf(distance, sizeof distance, "%.3f", close.distance);
    const bool same_cell = close.shift == std::array<std::int64_t, 3>{};
    std::string other = close.atom == close.image_of ? "its own periodic image"
                        : same_cell                   ? atom_text(close.image_of)
                                                      : "the periodic image of " + atom_text(close.image_of);
    if (!same_cell) other += " at " + translation_text(close.shift);
    std::string text = atom_text(close.atom);
    text[0] = 'A';
    char limit[32];
    std::snprintf(limit, sizeof limit, "%g", kMinImageDistance);
    return text + " lies " + distance + " angstrom from " + other + "; atoms must be at least " + limit +
           " angstrom from every periodic image of every atom";
}

// Resonance and exchange reach this many nearest-neighbour distances: given
// counts or divisions that keep fewer cells give another crystal (diamond
// and silicon with only the adjacent cells kept, 2.5 such distances, were
// up to 0.05 and 0.15 eV per atom off; with 3.8 within 0.002 and 0.01).
constexpr double kReachInNeighbourDistances = 2.75;

// The smallest distance between two atoms of the lattice, images included.
double nearest_neighbour_distance(const UnitCell& reduced, std::span<const Vec3> positions) {
    double nearest = std::sqrt(dot(reduced.a1, reduced.a1));  // an atom and its own image
    for (const TranslationIndex& t : UnitCell::translations_within(reduced, positions, nearest)) {
        for (std::size_t i = 0; i < positions.size(); ++i) {
            for (std::size_t j = 0; j < positions.size(); ++j) {
                if (i == j && t.n1 == 0 && t.n2 == 0 && t.n3 == 0) continue;
                Vec3 d{};
                for (int c = 0; c < 3; ++c) d[c] = positions[i][c] - positions[j][c] - t.cartesian[c];
                nearest = std::min(nearest, std::sqrt(dot(d, d)));
            }
        }
    }
    return nearest;
}

// Given counts (or, without them, divisions) that keep fewer cells than
// resonance and exchange reach.
std::optional<std::string> reach_refusal(const PbcConfig& config, const UnitCell& reduced,
                                         std::span<const Vec3> positions) {
    if (!config.mers && !config.k_grid) return std::nullopt;
    const double reach = kReachInNeighbourDistances * nearest_neighbour_distance(reduced, positions);
    const Counts needed = counts_within_dimension(
        reduced.dimension, resolving_divisions(UnitCell::translations_within(reduced, positions, reach)));
    const char* name = config.mers ? "mers" : "k_grid";
    const Counts given = counts_within_dimension(reduced.dimension, config.mers ? *config.mers : *config.k_grid);
    bool enough = true;
    for (int d = 0; d < 3; ++d) {
        enough = enough && 2 * static_cast<std::uint64_t>(translation_half_count(given[d])) + 1 >= needed[d];
    }
    if (enough) return std::nullopt;
    char distance[32];
    std::snprintf(distance, sizeof distance, "%.3f", reach);
    return std::string("argument '") + name + "': " + triple_text(given) + " keeps too few cells: atoms within " +
           distance + " angstrom (2.75 nearest-neighbour distances) of the home cell, as far as resonance and "
           "exchange reach, need at least " + triple_text(needed);
}

// The cell with every atom at its image nearest the first atom: which image
// of an atom the caller gave changes nothing.
MolecularBatch compact_cell(const MolecularBatch& cell_molecule, const UnitCell& reduced) {
    MolecularBatch compact = cell_molecule;
    set_coordinates(compact, images_near_first(reduced, coordinate_triples(cell_molecule)));
    return compact;
}

// The translations of a run without counts: every cell within the default
// radius, less those a given grid cannot tell apart.
std::vector<TranslationIndex> radius_translations(const MolecularBatch& cell_molecule, const PbcConfig& config,
                                                  const UnitCell& reduced) {
    const double radius = config.image_radius.value_or(default_image_radius(reduced.dimension));
    std::vector<TranslationIndex> list =
        UnitCell::translations_within(reduced, coordinate_triples(cell_molecule), radius);
    if (config.k_grid) {
        const Counts k = counts_within_dimension(reduced.dimension, *config.k_grid);
        const auto resolved = [&](const TranslationIndex& t) {
            return std::abs(t.n1) <= translation_half_count(k[0]) && std::abs(t.n2) <= translation_half_count(k[1]) &&
                   std::abs(t.n3) <= translation_half_count(k[2]);
        };
        std::erase_if(list, [&](const TranslationIndex& t) { return !resolved(t); });
    }
    return list;
}

// The divisions of a run: the given ones, or the default for the kept cells,
// whose resolving divisions are 2 h + 1 per direction.
Counts run_divisions(const PbcConfig& config, const Counts& resolving, const UnitCell& reduced) {
    return config.k_grid ? *config.k_grid : default_k_grid(resolving, reduced, kDefaultSamplingLength);
}

// The finer grid a sheet's default run goes on to when its gap is small
// (kSheetRefineGapEv); none for given divisions, chains and crystals.
std::optional<Counts> refined_divisions(const PbcConfig& config, const Counts& resolving, const UnitCell& reduced) {
    if (config.k_grid || reduced.dimension != 2) return std::nullopt;
    const Counts fine = default_k_grid(resolving, reduced, kSheetSamplingLength);
    if (fine == run_divisions(config, resolving, reduced)) return std::nullopt;
    return fine;
}

Counts mers_resolving_divisions(std::uint8_t dimension, const Counts& mers) {
    const Counts used = counts_within_dimension(dimension, mers);
    Counts divisions{};
    for (int d = 0; d < 3; ++d) divisions[d] = 2 * static_cast<std::uint64_t>(translation_half_count(used[d])) + 1;
    return divisions;
}

// c := a b + beta c for a row-major a (rows x cols), or a^T b + beta c for
// transpose_a; b and c row-major with `width` columns.
void multiply_rows(const double* a, std::size_t rows, std::size_t cols, const double* b, std::size_t width,
                   double* c, bool transpose_a, double beta) {
    if (rows == 0 || cols == 0 || width == 0) return;
    const auto bi = [](std::size_t v) { return static_cast<blasint>(v); };
    select_blas_threads(std::max({rows, cols, width}));
    scipy_cblas_dgemm(CblasRowMajor, transpose_a ? CblasTrans : CblasNoTrans, CblasNoTrans,
                      bi(transpose_a ? cols : rows), bi(width), bi(transpose_a ? rows : cols), 1.0, a, bi(cols), b,
                      bi(width), beta, c, bi(width));
}

// Rows k and N_k + k of a 2 N_k x n^2 matrix: the real and imaginary parts
// of the n x n matrix of k-point k.
struct BlochParts {
    double* re;
    double* im;
};
BlochParts parts_of(Matrix& m, std::size_t n_k, std::size_t k) { return {m.row(k), m.row(n_k + k)}; }

// n x n scratch of the commutators.
struct CommutatorScratch {
    Matrix f_re, f_im, d_re, d_im, x, y, product;
    static CommutatorScratch allocate(std::size_t n) {
        const Matrix zero = Matrix::zeros(n, n);
        return {zero, zero, zero, zero, zero, zero, zero};
    }
};

// e = F D - D F for Hermitian F = Fre + i Fim and D = Dre + i Dim: with
// X = Fre Dre - Fim Dim and Y = Fre Dim + Fim Dre (F D = X + i Y), e has
// real part X - X^T and imaginary part Y + Y^T. Written times `scale` to
// e_re and e_im (n^2 each); returns the largest unscaled element.
double write_commutator(const double* f_re, const double* f_im, const double* d_re, const double* d_im, double scale,
                        CommutatorScratch& s, double* e_re, double* e_im) {
    const std::size_t n = s.x.rows();
    const std::size_t size = n * n;
    std::copy(f_re, f_re + size, s.f_re.row(0));
    std::copy(f_im, f_im + size, s.f_im.row(0));
    std::copy(d_re, d_re + size, s.d_re.row(0));
    std::copy(d_im, d_im + size, s.d_im.row(0));
    multiply(s.f_re, s.d_re, s.x);
    multiply(s.f_im, s.d_im, s.product);
    for (std::size_t e = 0; e < size; ++e) s.x.data()[e] -= s.product.data()[e];
    multiply(s.f_re, s.d_im, s.y);
    multiply(s.f_im, s.d_re, s.product);
    for (std::size_t e = 0; e < size; ++e) s.y.data()[e] += s.product.data()[e];
    double largest = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            const double re = s.x(i, j) - s.x(j, i);
            const double im = s.y(i, j) + s.y(j, i);
            largest = std::max({largest, std::fabs(re), std::fabs(im)});
            e_re[i * n + j] = scale * re;
            e_im[i * n + j] = scale * im;
        }
    }
    return largest;
}

// The commutators of every k-point, each weighted by the square root of its
// k-point weight, into `errors` (laid out like the Bloch parts); returns the
// largest unweighted element.
double write_commutators(Matrix& fock_k, Matrix& density_k, std::span<const KPoint> kpoints,
                         CommutatorScratch& scratch, Matrix& errors) {
    const std::size_t n_k = kpoints.size();
    double largest = 0.0;
    for (std::size_t k = 0; k < n_k; ++k) {
        check_interruption();
        const BlochParts f = parts_of(fock_k, n_k, k);
        const BlochParts d = parts_of(density_k, n_k, k);
        const BlochParts e = parts_of(errors, n_k, k);
        const double scale = std::sqrt(kpoints[k].weight);
        largest = std::max(largest, write_commutator(f.re, f.im, d.re, d.im, scale, scratch, e.re, e.im));
    }
    return largest;
}

// 1/2 sum_t sum P(R_t) (H(R_t) + F(R_t)), eV per cell.
double electronic_energy_per_cell(const PbcWorkspace& ws) {
    const double* p = ws.density_r.data().data();
    const double* h = ws.hcore_r.data().data();
    const double* f = ws.fock_r.data().data();
    double energy = 0.0;
    for (std::size_t e = 0; e < ws.density_r.data().size(); ++e) energy += 0.5 * p[e] * (h[e] + f[e]);
    return energy;
}

double dot_of(const Matrix& a, const Matrix& b) {
    const double* pa = a.data().data();
    const double* pb = b.data().data();
    double sum = 0.0;
    for (std::size_t i = 0; i < a.data().size(); ++i) sum += pa[i] * pb[i];
    return sum;
}

// Stores a Fock stack and its weighted k-point commutators as the newest
// entry of a Pulay history whose slots hold matrices of those shapes.
void push_periodic_entry(DiisWorkspace& diis, const Matrix& fock_stack, const Matrix& errors) {
    if (diis.count == diis.capacity) diis.drop_oldest();
    const std::size_t slot = diis.order[diis.count];
    const std::size_t newest = diis.count++;
    diis.fock_history[slot].copy_from(fock_stack);
    diis.error_history[slot].copy_from(errors);
    for (std::size_t k = 0; k < diis.count; ++k) {
        const double v = dot_of(errors, diis.error_history[diis.order[k]]);
        diis.b[newest][k] = v;
        diis.b[k][newest] = v;
    }
}

// out := sum_k c_k F_k over the `used` oldest entries of the history.
void combine_history(const DiisWorkspace& diis, const std::array<double, MAX_DIIS_CAPACITY>& c, std::size_t used,
                     Matrix& out) {
    out.fill(0.0);
    double* target = out.data().data();
    for (std::size_t k = 0; k < used; ++k) {
        const double* stored = diis.fock_history[diis.order[k]].data().data();
        for (std::size_t e = 0; e < out.data().size(); ++e) target[e] += c[k] * stored[e];
    }
}

// A Pulay history for block stacks of N_T x n^2 and errors of 2 N_k x n^2.
DiisWorkspace periodic_diis(std::size_t n, std::size_t n_t, std::size_t n_k) {
    DiisWorkspace diis;
    diis.capacity = MAX_DIIS_CAPACITY;
    for (std::size_t k = 0; k < diis.capacity; ++k) {
        diis.fock_history.push_back(Matrix::zeros(n_t, n * n));
        diis.error_history.push_back(Matrix::zeros(2 * n_k, n * n));
    }
    diis.reset();
    return diis;
}

}  // namespace

PbcWorkspace PbcWorkspace::allocate(std::size_t n_orbitals, std::size_t n_translations, std::size_t n_kpoints) {
    PbcWorkspace ws;
    ws.n_orbitals = n_orbitals;
    ws.n_translations = n_translations;
    ws.n_kpoints = n_kpoints;
    ws.density_r = Matrix::zeros(n_translations, n_orbitals * n_orbitals);
    ws.fock_r = Matrix::zeros(n_translations, n_orbitals * n_orbitals);
    ws.hcore_r = Matrix::zeros(n_translations, n_orbitals * n_orbitals);
    const std::size_t n = n_orbitals;
    ws.bloch_matrix.assign(n * n, {});
    ws.eigen_work.assign(2 * n + n * n, {});
    ws.eigen_real_work = Vec64::zeros(1 + 5 * n + 2 * n * n);
    ws.eigen_int_work.assign(3 + 5 * n, 0);
    ws.levels = Vec64::zeros(n);
    ws.eigenvalues = Vec64::zeros(2 * n_orbitals);
    ws.eigenvectors = Matrix::zeros(2 * n_orbitals, 2 * n_orbitals);
    ws.occupied_products = Matrix::zeros(2 * n_orbitals, 2 * n_orbitals);
    ws.bloch_sums = Vec64::zeros(2 * n_orbitals * n_orbitals);
    return ws;
}

double default_image_radius(std::uint8_t dimension) { return dimension == 1 ? 20.0 : 10.0; }

Counts default_k_grid(const Counts& resolving, const UnitCell& reduced, double length) {
    const Vec3 b[] = {reduced.b1, reduced.b2, reduced.b3};
    Counts divisions{1, 1, 1};
    const std::uint64_t step = reduced.dimension == 2 ? 6 : 2;
    for (int d = 0; d < reduced.dimension; ++d) {
        const double sampled = length * std::sqrt(dot(b[d], b[d])) / (2.0 * std::numbers::pi);
        divisions[d] = std::max(resolving[d], static_cast<std::uint64_t>(std::ceil(sampled)));
        // Up to the next odd multiple of step / 2.
        divisions[d] += (step + step / 2 - divisions[d] % step) % step;
    }
    return divisions;
}

std::size_t BlochTransform::kpoints_per_block(std::size_t n_translations, std::size_t n_orbitals) {
    // Table entries times n^2 (the flops of one block's product, halved)
    // kept near 1e8, and a block's table within 32 MB.
    const double block = std::max(1.0, double(n_orbitals) * double(n_orbitals));
    const double entries = std::min(1e8 / block, 4194304.0);
    const double rows = 2.0 * double(std::max<std::size_t>(n_translations, 1));
    return std::max<std::size_t>(1, static_cast<std::size_t>(entries / rows));
}

MemoryPlan BlochTransform::plan(std::size_t n_kpoints, std::size_t n_translations, std::size_t n_orbitals) {
    const std::size_t per_block =
        std::min(kpoints_per_block(n_translations, n_orbitals), std::max<std::size_t>(n_kpoints, 1));
    MemoryPlan plan;
    plan.add_matrices(1, saturating_product(2, n_kpoints), n_translations)
        .add_matrices(1, 2 * per_block, saturating_product(n_orbitals, n_orbitals))
        .add_items(n_kpoints, sizeof(double) + sizeof(Matrix) + sizeof(std::size_t));
    return plan;
}

BlochTransform BlochTransform::build(std::span<const KPoint> kpoints, std::span<const TranslationIndex> translations,
                                     std::size_t n_orbitals) {
    BlochTransform transform;
    const std::size_t n_k = kpoints.size();
    const std::size_t n_t = translations.size();
    transform.n_kpoints = n_k;
    transform.n_translations = n_t;
    const std::size_t per_block = std::min(kpoints_per_block(n_t, n_orbitals), std::max<std::size_t>(n_k, 1));
    for (std::size_t k0 = 0; k0 < n_k; k0 += per_block) {
        check_interruption();
        const std::size_t rows = std::min(per_block, n_k - k0);
        Matrix table = Matrix::zeros(2 * rows, n_t);
        for (std::size_t k = 0; k < rows; ++k) {
            for (std::size_t t = 0; t < n_t; ++t) {
                const double phase = dot(kpoints[k0 + k].cartesian, translations[t].cartesian);
                table(k, t) = std::cos(phase);
                table(rows + k, t) = std::sin(phase);
            }
        }
        transform.blocks.push_back(std::move(table));
        transform.first.push_back(k0);
    }
    for (const KPoint& k : kpoints) transform.weights.push_back(k.weight);
    transform.weighted = Matrix::zeros(2 * per_block, n_orbitals * n_orbitals);
    return transform;
}

void BlochTransform::to_kpoints(const Matrix& stack, Matrix& parts) const {
    const std::size_t size = stack.cols();
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        check_interruption();
        const std::size_t rows = blocks[b].rows() / 2;
        for (const std::size_t half : {std::size_t{0}, std::size_t{1}}) {
            multiply_rows(blocks[b].row(half * rows), rows, n_translations, stack.row(0), size,
                          parts.row(half * n_kpoints + first[b]), false, 0.0);
        }
    }
}

void BlochTransform::to_cells(const Matrix& parts, Matrix& stack) const {
    const std::size_t size = parts.cols();
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        check_interruption();
        const std::size_t rows = blocks[b].rows() / 2;
        for (std::size_t k = 0; k < rows; ++k) {
            const double w = weights[first[b] + k];
            const double* re = parts.row(first[b] + k);
            const double* im = parts.row(n_kpoints + first[b] + k);
            double* out_re = weighted.row(k);
            double* out_im = weighted.row(rows + k);
            for (std::size_t e = 0; e < size; ++e) {
                out_re[e] = w * re[e];
                out_im[e] = w * im[e];
            }
        }
        multiply_rows(blocks[b].row(0), 2 * rows, n_translations, weighted.row(0), size, stack.row(0), true,
                      b == 0 ? 0.0 : 1.0);
    }
}

namespace {

// a := its Householder reduction to the real tridiagonal matrix with
// diagonal w and subdiagonal off, the reflectors' factors in tau.
void reduce_to_tridiagonal(std::complex<double>* a, lapack_int order, double* w, double* off,
                           std::complex<double>* tau, std::span<std::complex<double>> scratch) {
    const char uplo = 'L';
    const lapack_int lwork = static_cast<lapack_int>(scratch.size());
    lapack_int info = 0;
#ifdef LAPACK_FORTRAN_STRLEN_END
    LAPACK_zhetrd_base(&uplo, &order, a, &order, w, off, tau, scratch.data(), &lwork, &info, 1);
#else
    LAPACK_zhetrd_base(&uplo, &order, a, &order, w, off, tau, scratch.data(), &lwork, &info);
#endif
    if (info != 0) throw EngineStop("Bloch orbitals could not be computed");
}

}  // namespace

void hermitian_eigenpairs(std::complex<double>* a, std::size_t m, double* w, std::span<std::complex<double>> work,
                          std::span<double> real_work, std::span<std::int32_t> int_work) {
    // The tridiagonal matrix's eigenvectors are found in real arithmetic and
    // the reflectors applied to them after: the Hermitian driver instead
    // rotates complex vectors, at about 1.3 times the cost for small m.
    const lapack_int order = static_cast<lapack_int>(m);
    std::complex<double>* tau = work.data();
    std::complex<double>* vectors = tau + m;
    const std::span<std::complex<double>> rest = work.subspan(m + m * m);
    double* off = real_work.data();
    double* z = off + m;
    const std::span<double> tridiagonal_work = real_work.subspan(m + m * m);
    reduce_to_tridiagonal(a, order, w, off, tau, work.subspan(m));
    const char compz = 'I', side = 'L', uplo = 'L', trans = 'N';
    const lapack_int lrwork = static_cast<lapack_int>(tridiagonal_work.size());
    const lapack_int liwork = static_cast<lapack_int>(int_work.size());
    const lapack_int lwork = static_cast<lapack_int>(rest.size());
    lapack_int info = 0;
#ifdef LAPACK_FORTRAN_STRLEN_END
    LAPACK_dstedc_base(&compz, &order, w, off, z, &order, tridiagonal_work.data(), &lrwork, int_work.data(), &liwork,
                       &info, 1);
#else
    LAPACK_dstedc_base(&compz, &order, w, off, z, &order, tridiagonal_work.data(), &lrwork, int_work.data(), &liwork,
                       &info);
#endif
    if (info != 0) throw EngineStop("Bloch orbitals could not be computed");
    for (std::size_t e = 0; e < m * m; ++e) vectors[e] = z[e];
#ifdef LAPACK_FORTRAN_STRLEN_END
    LAPACK_zunmtr_base(&side, &uplo, &trans, &order, &order, a, &order, tau, vectors, &order, rest.data(), &lwork,
                       &info, 1, 1, 1);
#else
    LAPACK_zunmtr_base(&side, &uplo, &trans, &order, &order, a, &order, tau, vectors, &order, rest.data(), &lwork,
                       &info);
#endif
    if (info != 0) throw EngineStop("Bloch orbitals could not be computed");
    std::copy(vectors, vectors + m * m, a);
}

void diagonalize_bloch_parts(const double* re, const double* im, double shift, const double* d_re,
                             const double* d_im, PbcWorkspace& ws) {
    // The n x n Hermitian problem costs a quarter of its real 2n x 2n
    // embedding's; the embedding's eigenvectors follow from its solutions.
    const std::size_t n = ws.n_orbitals;
    std::complex<double>* h = ws.bloch_matrix.data();
    for (std::size_t nu = 0; nu < n; ++nu) {
        for (std::size_t mu = nu; mu < n; ++mu) {
            double r = re[mu * n + nu];
            double i = im[mu * n + nu];
            if (shift != 0.0) {
                // shift (I - D / 2): empty levels rise, occupied ones stay.
                r += shift * ((mu == nu ? 1.0 : 0.0) - 0.5 * d_re[mu * n + nu]);
                i -= 0.5 * shift * d_im[mu * n + nu];
            }
            h[mu + nu * n] = {r, i};
        }
    }
    hermitian_eigenpairs(h, n, ws.levels.data(), ws.eigen_work, {ws.eigen_real_work.data(), ws.eigen_real_work.size()},
                         ws.eigen_int_work);
    // Level l with coefficients c = a + i b is the pair of embedding
    // columns (a, b) and (-b, a).
    Matrix& v = ws.eigenvectors;
    for (std::size_t l = 0; l < n; ++l) {
        ws.eigenvalues[2 * l] = ws.eigenvalues[2 * l + 1] = ws.levels[l];
        const std::complex<double>* c = h + l * n;
        for (std::size_t mu = 0; mu < n; ++mu) {
            v(mu, 2 * l) = c[mu].real();
            v(n + mu, 2 * l) = c[mu].imag();
            v(mu, 2 * l + 1) = -c[mu].imag();
            v(n + mu, 2 * l + 1) = c[mu].real();
        }
    }
}

void bloch_levels(const Matrix& stack, std::span<const TranslationIndex> translations, const Vec3& k,
                  PbcWorkspace& ws) {
    const std::size_t n = ws.n_orbitals;
    const std::size_t size = n * n;
    double* sums = ws.bloch_sums.data();
    std::fill(sums, sums + 2 * size, 0.0);
    for (std::size_t t = 0; t < translations.size(); ++t) {
        const double phase = dot(k, translations[t].cartesian);
        const double c = std::cos(phase), s = std::sin(phase);
        const double* f = stack.row(t);
        for (std::size_t e = 0; e < size; ++e) {
            sums[e] += c * f[e];
            sums[size + e] += s * f[e];
        }
    }
    std::complex<double>* h = ws.bloch_matrix.data();
    for (std::size_t nu = 0; nu < n; ++nu) {
        for (std::size_t mu = nu; mu < n; ++mu) h[mu + nu * n] = {sums[mu * n + nu], sums[size + mu * n + nu]};
    }
    // Levels only: the tridiagonal matrix's eigenvalues by root-free QR.
    const lapack_int order = static_cast<lapack_int>(n);
    double* off = ws.eigen_real_work.data();
    reduce_to_tridiagonal(h, order, ws.levels.data(), off, ws.eigen_work.data(),
                          std::span(ws.eigen_work).subspan(n));
    lapack_int info = 0;
    LAPACK_dsterf(&order, ws.levels.data(), off, &info);
    if (info != 0) throw EngineStop("Bloch orbitals could not be computed");
}

void bloch_density_from_embedding(const Matrix& v, const Vec64& eigenvalues, std::size_t n, std::size_t n_occ,
                                  Matrix& products, double* d_re, double* d_im) {
    // Level l is the pair of columns 2l, 2l + 1. A set of levels degenerate
    // across the border, [first, end), shares the border's electrons.
    std::size_t first = n_occ, end = n_occ;
    if (n_occ > 0 && n_occ < n && eigenvalues[2 * n_occ] - eigenvalues[2 * n_occ - 2] <= kGuessDegeneracyEv) {
        first = n_occ - 1;
        while (first > 0 && eigenvalues[2 * first] - eigenvalues[2 * first - 2] <= kGuessDegeneracyEv) --first;
        end = n_occ + 1;
        while (end < n && eigenvalues[2 * end] - eigenvalues[2 * end - 2] <= kGuessDegeneracyEv) ++end;
    }
    // Both members (a, b) and (-b, a) of every occupied level enter with
    // weight 1: with G = V_occ V_occ^T in blocks [[A A^T, A B^T], [B A^T, B B^T]],
    // 2 Re(c c^H) = A A^T + B B^T and 2 Im(c c^H) = B A^T - A B^T.
    leading_columns_gram(v, 2 * first, 1.0, products);
    if (end > first) {
        const double share = static_cast<double>(n_occ - first) / static_cast<double>(end - first);
        const std::size_t size = 2 * n;
        for (std::size_t c = 2 * first; c < 2 * end; ++c) {
            for (std::size_t i = 0; i < size; ++i) {
                const double vi = share * v(i, c);
                double* row = products.row(i);
                for (std::size_t j = 0; j < size; ++j) row[j] += vi * v(j, c);
            }
        }
    }
    for (std::size_t mu = 0; mu < n; ++mu) {
        const double* top = products.row(mu);
        const double* bottom = products.row(n + mu);
        for (std::size_t nu = 0; nu < n; ++nu) {
            d_re[mu * n + nu] = top[nu] + bottom[n + nu];
            d_im[mu * n + nu] = bottom[nu] - top[n + nu];
        }
    }
}

std::variant<PbcSizes, std::string> plan_pbc_sizes(const MolecularBatch& cell_molecule, const ParameterModel& model,
                                                   const PbcConfig& config) {
    const std::uint8_t dimension = config.cell.dimension;
    if (config.mers) {
        const Counts counts = counts_within_dimension(dimension, *config.mers);
        for (int d = 0; d < 3; ++d) {
            if (counts[d] >= kTranslationCountLimit) {
                return "Translation count " + std::to_string(counts[d]) + " along " + kAxis[d] +
                       " is too large (must be below " + std::to_string(kTranslationCountLimit) + ")";
            }
        }
        if (config.k_grid) {
            if (auto refusal = aliasing_refusal(dimension, *config.mers, *config.k_grid)) return *refusal;
        }
    }
    const std::vector<Vec3> positions = coordinate_triples(cell_molecule);
    if (const auto close = find_close_image(config.cell, positions, kMinImageDistance)) {
        return overlap_refusal(cell_molecule, *close);
    }

    // Only now, with every lattice vector at least kMinImageDistance long, are
    // the cells within the default radius few enough to list.
    const UnitCell reduced = reduced_cell(config.cell);
    if (auto refusal = reach_refusal(config, reduced, images_near_first(reduced, positions))) return *refusal;
    std::uint64_t n_t = 1;
    Counts resolving{};
    if (config.mers) {
        resolving = mers_resolving_divisions(dimension, *config.mers);
        for (const std::uint64_t side : resolving) n_t = saturating_product(n_t, side);
    } else {
        const auto translations = radius_translations(compact_cell(cell_molecule, reduced), config, reduced);
        n_t = translations.size();
        resolving = resolving_divisions(translations);
    }
    // The finer of the run's grids sets its size.
    const Counts divisions = counts_within_dimension(
        dimension, refined_divisions(config, resolving, reduced).value_or(run_divisions(config, resolving, reduced)));
    std::uint64_t n_k = 1;
    bool holds_centre = true;
    for (const std::uint64_t d : divisions) {
        n_k = saturating_product(n_k, std::max<std::uint64_t>(d, 1));
        holds_centre = holds_centre && (d <= 1 || d % 2 == 1);
    }
    // Pairs k, -k count once (fold_inversion_pairs); the centre is its own pair.
    if (n_k < kSizeMax) n_k = (n_k + (holds_centre ? 1 : 0)) / 2;

    const std::uint64_t n = cell_molecule.n_basis;
    const std::uint64_t m = cell_molecule.n_atoms;
    const std::uint64_t n_path = band_path_length(config.cell, config.band_points);
    const std::uint64_t block = saturating_product(n, n);
    const std::uint64_t k_rows = saturating_product(2, n_k);
    const std::uint64_t image_pairs = saturating_product(saturating_product(n_t, m), m);
    // Cells with an atom within the handover window's reach: their
    // Coulomb terms are formed whatever cells are kept.
    const std::uint64_t n_near =
        UnitCell::translations_within(reduced, images_near_first(reduced, positions), kHandoverEnd).size();
    const std::uint64_t n_occ = std::min<std::uint64_t>(count_valence_electrons(cell_molecule, model) / 2, n);
    // Held for the whole run: the workspace (P, F and H stacks, the 2n x 2n
    // embedding and its eigensolver), the translations and k-points (the
    // whole grid before its pairs fold), the cluster of atoms, the pair
    // records of the cell and its kept images, the near field, the new H
    // stack while the old one lives, the phase tables, the Bloch parts of D in and out, F(k) and the
    // commutators, the extrapolated F stack and the n x n scratch.
    MemoryPlan plan;
    plan.add_matrices(4, n_t, block)
        .add_matrices(5, saturating_product(2, n), saturating_product(2, n))
        .add_items(n_t, sizeof(TranslationIndex))
        .add_items(saturating_product(3, n_k), sizeof(KPoint))
        .add_items(saturating_product(saturating_sum(n_t, n_near), m), 3 * sizeof(double) + 2 + sizeof(std::size_t))
        .add_items(saturating_sum(image_pairs, saturating_product(m, 2 * m)),
                   sizeof(double) * image_pair_doubles(cell_molecule))
        .add(BlochTransform::plan(n_k, n_t, n))
        .add_matrices(4, k_rows, block)
        .add_matrices(1, n_t, block)
        .add_matrices(16, n, n);
    // Then either the Pulay history (F stacks and weighted commutators) or,
    // while a solution is checked and after the last check, the stability
    // check's workspace with the band structure: the path's bands and the
    // levels met by the band-edge search (a map node per k-point).
    MemoryPlan history;
    history.add_matrices(MAX_DIIS_CAPACITY, n_t, block).add_matrices(MAX_DIIS_CAPACITY, k_rows, block);
    MemoryPlan check = BlochStabilityWorkspace::plan(n, n_occ, n_t, n_k);
    check.add_items(n_path, sizeof(KPoint) + sizeof(std::vector<double>) + sizeof(double) * n)
        .add_items(saturating_sum(n_k, kBandSearchPoints), kLevelMapNodeBytes);
    plan.add(history.bytes() > check.bytes() ? history : check);
    const std::uint64_t bytes = plan.bytes();
    if (bytes > kPbcMemoryBudgetBytes) {
        return "Periodic calculation too large: " + size_text(n_t) + " translations x " + std::to_string(n) +
               " orbitals per cell, " + size_text(n_k) + " k-points and " + size_text(n_path) +
               " band-path points need " + size_text(bytes) + " bytes (limit " +
               std::to_string(kPbcMemoryBudgetBytes) + ")";
    }
    return PbcSizes{static_cast<std::size_t>(n_t), static_cast<std::size_t>(n_k), static_cast<std::size_t>(n_path),
                    bytes};
}

PbcSampling pbc_sampling(const MolecularBatch& cell_molecule, const PbcConfig& config) {
    PbcSampling sampling;
    sampling.reduced = reduced_cell(config.cell);
    sampling.positions = images_near_first(sampling.reduced, coordinate_triples(cell_molecule));
    Counts resolving{};
    if (config.mers) {
        sampling.translations = UnitCell::generate_translation_indices(sampling.reduced, *config.mers);
        resolving = mers_resolving_divisions(config.cell.dimension, *config.mers);
    } else {
        sampling.translations = radius_translations(compact_cell(cell_molecule, sampling.reduced), config,
                                                    sampling.reduced);
        resolving = resolving_divisions(sampling.translations);
    }
    sampling.kpoints = fold_inversion_pairs(
        UnitCell::generate_monkhorst_pack_grid(sampling.reduced, run_divisions(config, resolving, sampling.reduced)));
    if (const auto fine = refined_divisions(config, resolving, sampling.reduced)) {
        sampling.refined_kpoints = fold_inversion_pairs(UnitCell::generate_monkhorst_pack_grid(sampling.reduced, *fine));
    }
    return sampling;
}

namespace {

// Iterates the SCF on the k-points `kpoints` (phases `transform`) from the
// levels of the Fock matrix of the density stack in ws.density_r, until a
// stable solution settles or the run's iterations (result.iterations so far)
// reach config.max_iter. Leaves the last state's stack in ws.density_r and
// its Fock blocks in ws.fock_r; sets result's energies, iterations and
// `converged`.
void iterate_on_grid(const MolecularBatch& cell_molecule, const ParameterModel& model, const PbcConfig& config,
                     PeriodicOperators& operators, std::span<const KPoint> kpoints, const BlochTransform& transform,
                     std::size_t n_occ, PbcWorkspace& ws, PbcResult& result) {
    result.converged = false;
    if (result.iterations >= config.max_iter) return;
    const std::size_t n = ws.n_orbitals;
    const std::size_t size = n * n;
    const std::size_t n_t = ws.n_translations;
    const std::size_t n_k = kpoints.size();
    // The state of the iterations is the Bloch density at every k-point
    // (real parts in rows 0..N_k-1, imaginary parts below); the real-space
    // blocks follow from it by the k-point sum.
    Matrix density_k = Matrix::zeros(2 * n_k, size);
    Matrix new_density_k = Matrix::zeros(2 * n_k, size);
    Matrix fock_k = Matrix::zeros(2 * n_k, size);
    Matrix errors = Matrix::zeros(2 * n_k, size);
    Matrix extrapolated = Matrix::zeros(n_t, size);
    DiisWorkspace diis = periodic_diis(n, n_t, n_k);
    CommutatorScratch scratch = CommutatorScratch::allocate(n);

    // Diagonalises F(k) (less `shift` (I - D/2) over the state) at every
    // k-point into `out`; returns the largest change from the state.
    const auto solve_kpoints = [&](double shift, Matrix& out) {
        double change = 0.0;
        for (std::size_t k = 0; k < n_k; ++k) {
            check_interruption();
            const BlochParts f = parts_of(fock_k, n_k, k);
            const BlochParts d = parts_of(density_k, n_k, k);
            const BlochParts d_new = parts_of(out, n_k, k);
            diagonalize_bloch_parts(f.re, f.im, shift, d.re, d.im, ws);
            bloch_density_from_embedding(ws.eigenvectors, ws.eigenvalues, n, n_occ, ws.occupied_products, d_new.re,
                                         d_new.im);
            for (std::size_t e = 0; e < size; ++e) {
                change = std::max({change, std::fabs(d_new.re[e] - d.re[e]), std::fabs(d_new.im[e] - d.im[e])});
            }
        }
        return change;
    };

    // The start: the levels of the Fock matrix of the density stack given.
    build_periodic_fock(cell_molecule, model, operators, ws.hcore_r, ws.density_r, ws.fock_r);
    transform.to_kpoints(ws.fock_r, fock_k);
    solve_kpoints(0.0, density_k);

    // Pulay extrapolation of the Fock blocks on the commutators F(k) D(k) -
    // D(k) F(k) over the grid, damping until it has two entries, and from
    // kLateIteration on the molecular SCF's level shift and lighter damping.
    // The iterations run in stages: the first from the guess, each later one
    // from a state stepped down from an unstable solution of the stage
    // before. A settled stage is checked: its occupied bands must be the
    // lowest levels of its own Fock matrices (else the stage goes on from
    // those levels), and the solution stable (else the way down along the
    // unstable rotation starts the next stage). The run converges only on a
    // stable solution; the iteration cap counts every stage's iterations and
    // one for each line search.
    const BlochRun bloch_run{cell_molecule, model, operators, ws.hcore_r, transform, kpoints};
    std::optional<BlochStabilityWorkspace> stability;
    double previous_total = 0.0;
    std::uint64_t stage_iteration = 0;
    std::size_t descents = 0;
    bool guarded = false;  // the stage watches Pulay extrapolation for climbing
    bool pulay = true;
    double pulay_below = 0.0;
    double lowest_stage = std::numeric_limits<double>::infinity();
    double halving_error = std::numeric_limits<double>::infinity();  // commutators at the last halving
    std::uint64_t halved_at = 0;
    const auto start_stage = [&](bool watched) {
        stability.reset();
        diis = periodic_diis(n, n_t, n_k);
        guarded = watched;
        pulay = !watched;
        pulay_below = kDescentPulayErrorEv;
        lowest_stage = std::numeric_limits<double>::infinity();
        halving_error = std::numeric_limits<double>::infinity();
        halved_at = 0;
        stage_iteration = 0;
    };
    for (std::uint64_t iter = result.iterations + 1; iter <= config.max_iter; ++iter) {
        check_interruption();
        ++stage_iteration;
        result.iterations = iter;
        transform.to_cells(density_k, ws.density_r);
        build_periodic_fock(cell_molecule, model, operators, ws.hcore_r, ws.density_r, ws.fock_r);
        result.electronic_energy = electronic_energy_per_cell(ws);
        result.total_energy = result.electronic_energy + result.core_repulsion;

        transform.to_kpoints(ws.fock_r, fock_k);
        const double largest_error = write_commutators(fock_k, density_k, kpoints, scratch, errors);
        // Down from a saddle point, Pulay extrapolation (which finds any
        // stationary point, the saddle point too) waits until the lightly
        // damped steps, which leave a saddle point along its unstable
        // rotations, have brought the commutators below
        // kDescentPulayErrorEv; when its energy climbs above the stage's
        // lowest, the damped steps take over again until the commutators
        // are ten times smaller.
        if (guarded) {
            if (pulay && result.total_energy > lowest_stage + kClimbEv) {
                pulay = false;
                pulay_below = 0.1 * largest_error;
                diis.reset();
            }
            if (!pulay && largest_error < pulay_below) pulay = true;
            lowest_stage = std::min(lowest_stage, result.total_energy);
        }
        std::size_t used = 0;
        std::array<double, MAX_DIIS_CAPACITY> c{};
        if (pulay) {
            push_periodic_entry(diis, ws.fock_r, errors);
            used = diis.solve_coefficients(c);
        }
        if (used > 0) {
            combine_history(diis, c, used, extrapolated);
            transform.to_kpoints(extrapolated, fock_k);
        }

        const bool late = stage_iteration >= kLateIteration;
        const double change = solve_kpoints(late && !guarded ? kLateLevelShiftEv : 0.0, new_density_k);
        if (largest_error < 0.5 * halving_error) {
            halving_error = largest_error;
            halved_at = stage_iteration;
        }
        // Settled: energy, density and commutators all below their tolerances.
        const bool settled = stage_iteration >= 2 &&
                             std::fabs(result.total_energy - previous_total) < config.energy_tol &&
                             change < config.density_tol && largest_error < config.density_tol;
        // Iterations that no longer halve the commutators are stuck,
        // typically circling a saddle point: the check looks for a way down.
        const bool stalled = !settled && descents < kMaxDescents && stage_iteration >= kStallFrom &&
                             stage_iteration - halved_at >= kStallIterations;
        if (settled || stalled) {
            // Every way on starts a new Pulay history: its room goes to the check.
            diis = DiisWorkspace{};
            stability.emplace(BlochStabilityWorkspace::allocate(n, n_occ, n_t, n_k));
            transform.to_kpoints(ws.fock_r, fock_k);
            const double off_aufbau = prepare_bloch_orbitals(fock_k, density_k, kpoints, *stability);
            if (settled && off_aufbau >= config.density_tol) {
                // Not filled from the bottom of its own levels (a level
                // shift can settle such a state): on from those levels.
                solve_kpoints(0.0, density_k);
                start_stage(false);
                continue;
            }
            const StabilityCheck check = check_bloch_stability(bloch_run, *stability);
            if (settled && check.stable) {
                result.converged = true;
                break;
            }
            if (settled && (!check.decided || descents == kMaxDescents || iter == config.max_iter)) break;
            if (!check.stable && check.decided && iter < config.max_iter) {
                ++iter;
                result.iterations = iter;
                const double lowered =
                    descend_along_bloch_rotation(bloch_run, result.electronic_energy, *stability, density_k);
                if (settled && !(lowered < result.electronic_energy - kEnergyNoiseEv)) {
                    // Nowhere lower along the rotation: the solution stands.
                    result.converged = true;
                    break;
                }
            }
            // A new stage, watched: from a way down, or from a stall on no
            // saddle point, whose Pulay history has lost its use.
            ++descents;
            start_stage(true);
            continue;
        }
        if (used > 0) {
            density_k.copy_from(new_density_k);
        } else if (guarded) {
            // The optimal damping step: towards the levels filled from the
            // bottom of this Fock matrix, D1, as far along D + l (D1 - D) as
            // the energy, quadratic in l, keeps falling. It never raises the
            // energy, so it cannot climb back to a saddle point or circle.
            double* delta = errors.data().data();
            const double* p = density_k.data().data();
            const double* p_new = new_density_k.data().data();
            for (std::size_t e = 0; e < 2 * n_k * size; ++e) delta[e] = p_new[e] - p[e];
            transform.to_cells(errors, extrapolated);
            build_periodic_fock(cell_molecule, model, operators, ws.hcore_r, extrapolated, ws.density_r);
            double slope = 0.0, curvature = 0.0;
            const double* step = extrapolated.data().data();
            const double* f = ws.fock_r.data().data();
            const double* f_step = ws.density_r.data().data();
            const double* h = ws.hcore_r.data().data();
            for (std::size_t e = 0; e < extrapolated.data().size(); ++e) {
                slope += step[e] * f[e];
                curvature += 0.5 * step[e] * (f_step[e] - h[e]);
            }
            const double length = curvature > 0.0 ? std::clamp(-0.5 * slope / curvature, 0.0, 1.0) : 1.0;
            double* state = density_k.data().data();
            for (std::size_t e = 0; e < 2 * n_k * size; ++e) state[e] += length * delta[e];
        } else {
            const double old_weight =
                late && std::fabs(config.damping - 0.5) < 1e-4 ? kLateDamping : config.damping;
            double* p = density_k.data().data();
            const double* p_new = new_density_k.data().data();
            for (std::size_t e = 0; e < 2 * n_k * size; ++e) p[e] = old_weight * p[e] + (1.0 - old_weight) * p_new[e];
        }
        previous_total = result.total_energy;
    }
}

}  // namespace

std::variant<PbcResult, std::string> run_pbc_scf(const MolecularBatch& given_cell, const ParameterModel& model,
                                                 const PbcConfig& config, PbcWorkspace& ws) {
    if (given_cell.n_atoms == 0) return std::string("Periodic calculation requires at least 1 atom in unit cell");
    const auto planned = plan_pbc_sizes(given_cell, model, config);
    if (const auto* refusal = std::get_if<std::string>(&planned)) return *refusal;

    const std::size_t n = given_cell.n_basis;
    const std::size_t size = n * n;
    const PbcSampling sampling = pbc_sampling(given_cell, config);
    MolecularBatch cell_molecule = given_cell;
    set_coordinates(cell_molecule, sampling.positions);
    const std::vector<TranslationIndex>& translations = sampling.translations;
    const std::vector<KPoint>& kpoints = sampling.kpoints;
    const std::size_t n_t = translations.size();
    const std::size_t n_k = std::max(kpoints.size(), sampling.refined_kpoints.size());
    if (ws.n_orbitals != n || ws.n_translations != n_t || ws.n_kpoints != n_k) {
        ws = PbcWorkspace::allocate(n, n_t, n_k);
    }

    PbcResult result;
    const std::size_t n_occ = count_valence_electrons(cell_molecule, model) / 2;
    if (n_occ > n) {
        throw EngineStop("Occupied levels (" + std::to_string(n_occ) + ") exceed unit cell orbitals (" +
                         std::to_string(n) + ")");
    }
    PeriodicOperators operators =
        build_periodic_operators(cell_molecule, model, sampling.reduced, translations, config.use_nddo, ws.hcore_r);
    result.core_repulsion = operators.core_repulsion;

    // Guess: the orbitals of the Fock matrix of neutral, unbonded atoms, as
    // in the molecular SCF.
    ws.density_r.fill(0.0);
    ws.fock_r.fill(0.0);
    Matrix atoms = Matrix::zeros(n, n);
    build_atomic_guess_density(cell_molecule, model, atoms);
    std::copy(atoms.row(0), atoms.row(0) + size, ws.density_r.row(0));
    {
        const BlochTransform transform = BlochTransform::build(kpoints, translations, n);
        iterate_on_grid(cell_molecule, model, config, operators, kpoints, transform, n_occ, ws, result);
    }
    double sampled_gap = compute_bands_and_dos(config.cell, sampling.reduced, translations, kpoints, n_occ,
                                               config.band_points, config.dos_sigma, ws, result);
    std::span<const KPoint> grid = kpoints;
    // A sheet's gap set by states near the zone corner (graphene's, opened by
    // the charges its sublattices take) comes out too large on the first
    // grid: below kSheetRefineGapEv the run goes on over the finer grid from
    // the solution it has.
    const bool refine = !sampling.refined_kpoints.empty() && result.iterations < config.max_iter &&
                        !(result.converged && result.direct_gap >= kSheetRefineGapEv);
    if (refine) {
        grid = sampling.refined_kpoints;
        {
            const BlochTransform transform = BlochTransform::build(grid, translations, n);
            iterate_on_grid(cell_molecule, model, config, operators, grid, transform, n_occ, ws, result);
        }
        sampled_gap = compute_bands_and_dos(config.cell, sampling.reduced, translations, grid, n_occ,
                                            config.band_points, config.dos_sigma, ws, result);
    }
    result.heat_of_formation = compute_heat_of_formation_kcal_mol(cell_molecule, model, result.total_energy);
    // The stability check examined the grid's points only. Where the
    // band-edge search finds the gap closing between them (a grid that misses
    // the zone corner of graphene), the rotations that would open it there
    // went unexamined: such a solution is not certified.
    if (result.converged && result.direct_gap < kClosingGapEv && sampled_gap >= result.direct_gap + kClosingGapEv) {
        result.converged = false;
    }
    return result;
}

}  // namespace quorin
