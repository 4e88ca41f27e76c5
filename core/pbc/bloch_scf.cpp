#include "core/pbc/bloch_scf.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>

#include "core/fock/fock_builder.h"
#include "core/gradients/heat_of_formation.h"
#include "core/hamiltonian/hcore.h"
#include "core/integrals/pair_integrals.h"
#include "core/pbc/bands.h"
#include "core/scf/blas.h"
#include "core/scf/eigensolver.h"
#include "core/scf/scf_loop.h"
#include "core/types/errors.h"
#include "core/types/interruption.h"
#include "core/types/memory_plan.h"

namespace quorin {

namespace {

constexpr std::uint64_t kSizeMax = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kTranslationCountLimit = std::uint64_t{1} << 31;

std::string size_text(std::uint64_t value) {
    return value == kSizeMax ? "more than " + std::to_string(kSizeMax) : std::to_string(value);
}

// E_core per cell: half the pair repulsion of every home atom with every atom
// of every copy, through the model's own pair form.
double core_repulsion_per_cell(const MolecularBatch& cell, const ParameterModel& model,
                               std::span<const TranslationIndex> translations) {
    std::vector<std::optional<ElementParams>> records(cell.n_atoms);
    for (std::size_t i = 0; i < cell.n_atoms; ++i) records[i] = model.get_element(cell.atomic_numbers[i]);
    double energy = 0.0;
    for (std::size_t i = 0; i < cell.n_atoms; ++i) {
        if (!records[i]) continue;
        for (std::size_t t = 0; t < translations.size(); ++t) {
            const Vec3& shift = translations[t].cartesian;
            for (std::size_t j = 0; j < cell.n_atoms; ++j) {
                if (!records[j] || (t == 0 && j == i)) continue;
                const double dx = cell.x[i] - cell.x[j] - shift[0];
                const double dy = cell.y[i] - cell.y[j] - shift[1];
                const double dz = cell.z[i] - cell.z[j] - shift[2];
                energy += 0.5 * model.pair_core_repulsion(*records[i], *records[j],
                                                          std::sqrt(dx * dx + dy * dy + dz * dz));
            }
        }
    }
    return energy;
}

constexpr const char* kAxis[] = {"a1", "a2", "a3"};

std::string triple_text(const std::array<std::uint64_t, 3>& t) {
    std::string text = "(";
    for (int d = 0; d < 3; ++d) text += std::to_string(t[d]) + (d < 2 ? ", " : ")");
    return text;
}

// A k-point sum over n points per direction cannot tell copies n cells apart:
// with fewer points than copies the density of far copies folds onto near ones.
std::optional<std::string> aliasing_refusal(std::uint8_t dimension, const std::array<std::uint64_t, 3>& mers,
                                            const std::array<std::uint64_t, 3>& k_grid) {
    std::string directions;
    std::array<std::uint64_t, 3> enough = k_grid;
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

// Doubles held by the largest pair-integral record the cell's atoms can form.
std::uint64_t largest_pair_record_doubles(const MolecularBatch& cell) {
    std::uint64_t pairs_per_atom = 0;
    for (const std::uint8_t orbitals : cell.orbitals_per_atom) {
        pairs_per_atom = std::max<std::uint64_t>(pairs_per_atom, n_pairs(orbitals));
    }
    return pairs_per_atom * pairs_per_atom + 2 * pairs_per_atom;
}

}  // namespace

PbcWorkspace PbcWorkspace::allocate(std::size_t n_orbitals, std::size_t n_translations, std::size_t n_kpoints) {
    PbcWorkspace ws;
    ws.n_orbitals = n_orbitals;
    ws.n_translations = n_translations;
    ws.n_kpoints = n_kpoints;
    for (auto* list : {&ws.density_r, &ws.fock_r, &ws.hcore_r}) {
        list->reserve(n_translations);
        for (std::size_t t = 0; t < n_translations; ++t) list->push_back(Matrix::zeros(n_orbitals, n_orbitals));
    }
    ws.bloch_matrix = Matrix::zeros(2 * n_orbitals, 2 * n_orbitals);
    ws.eigensolver = EigensolverWorkspace::allocate(2 * n_orbitals);
    ws.eigenvalues = Vec64::zeros(2 * n_orbitals);
    ws.eigenvectors = Matrix::zeros(2 * n_orbitals, 2 * n_orbitals);
    ws.occupied_products = Matrix::zeros(2 * n_orbitals, 2 * n_orbitals);
    return ws;
}

MolecularBatch build_supercell(const MolecularBatch& cell, const ParameterModel& model,
                               std::span<const TranslationIndex> translations) {
    std::vector<std::uint8_t> numbers;
    std::vector<std::array<double, 3>> positions;
    numbers.reserve(translations.size() * cell.n_atoms);
    positions.reserve(translations.size() * cell.n_atoms);
    for (const TranslationIndex& t : translations) {
        for (std::size_t i = 0; i < cell.n_atoms; ++i) {
            numbers.push_back(cell.atomic_numbers[i]);
            positions.push_back({cell.x[i] + t.cartesian[0], cell.y[i] + t.cartesian[1], cell.z[i] + t.cartesian[2]});
        }
    }
    return MolecularBatch::new_for_model(std::move(numbers), positions, model);
}

void add_kpoint_density(const KPoint& k, std::span<const TranslationIndex> translations, const Matrix& d_re,
                        const Matrix& d_im, std::vector<Matrix>& blocks) {
    const std::size_t size = d_re.data().size();
    for (std::size_t t = 0; t < translations.size(); ++t) {
        const double phase = dot(k.cartesian, translations[t].cartesian);
        const double c = k.weight * std::cos(phase);
        const double s = k.weight * std::sin(phase);
        double* p = blocks[t].data().data();
        const double* re = d_re.data().data();
        const double* im = d_im.data().data();
        for (std::size_t e = 0; e < size; ++e) p[e] += c * re[e] + s * im[e];
    }
}

std::vector<std::size_t> copy_pair_translations(std::span<const TranslationIndex> translations,
                                                const std::array<std::uint64_t, 3>& counts) {
    const std::size_t n_t = translations.size();
    std::array<std::int64_t, 3> half{}, side{};
    for (int d = 0; d < 3; ++d) {
        half[d] = translation_half_count(counts[d]);
        side[d] = 2 * half[d] + 1;
    }
    // Position of (n1, n2, n3) in the list, through a dense box index.
    auto box = [&](std::int64_t n1, std::int64_t n2, std::int64_t n3) {
        return static_cast<std::size_t>(((n1 + half[0]) * side[1] + (n2 + half[1])) * side[2] + (n3 + half[2]));
    };
    std::vector<std::size_t> position_of_box(n_t, n_t);
    for (std::size_t t = 0; t < n_t; ++t) {
        position_of_box[box(translations[t].n1, translations[t].n2, translations[t].n3)] = t;
    }

    auto wrap = [&](std::int64_t diff, int d) -> std::int64_t {
        const auto count = static_cast<std::int64_t>(counts[d]);
        if (count <= 1) return 0;
        return ((diff + half[d]) % count + count) % count - half[d];
    };
    std::vector<std::size_t> table(n_t * n_t, n_t);
    for (std::size_t a = 0; a < n_t; ++a) {
        for (std::size_t b = 0; b < n_t; ++b) {
            const std::int64_t d1 = wrap(std::int64_t{translations[b].n1} - translations[a].n1, 0);
            const std::int64_t d2 = wrap(std::int64_t{translations[b].n2} - translations[a].n2, 1);
            const std::int64_t d3 = wrap(std::int64_t{translations[b].n3} - translations[a].n3, 2);
            if (d1 > half[0] || d2 > half[1] || d3 > half[2]) continue;
            table[a * n_t + b] = position_of_box[box(d1, d2, d3)];
        }
    }
    return table;
}

void extract_home_blocks(const Matrix& supercell, std::size_t n, std::vector<Matrix>& blocks) {
    for (std::size_t t = 0; t < blocks.size(); ++t) {
        for (std::size_t mu = 0; mu < n; ++mu) {
            const double* source = supercell.row(mu) + t * n;
            std::copy(source, source + n, blocks[t].row(mu));
        }
    }
}

void assemble_supercell_density(const std::vector<Matrix>& density_r, std::span<const std::size_t> pair_translation,
                                std::size_t n, Matrix& p_s) {
    const std::size_t n_t = density_r.size();
    p_s.fill(0.0);
    for (std::size_t a = 0; a < n_t; ++a) {
        for (std::size_t b = 0; b < n_t; ++b) {
            const std::size_t t = pair_translation[a * n_t + b];
            if (t == n_t) continue;
            for (std::size_t mu = 0; mu < n; ++mu) {
                const double* source = density_r[t].row(mu);
                std::copy(source, source + n, p_s.row(a * n + mu) + b * n);
            }
        }
    }
}

std::array<std::uint64_t, 3> default_mers(std::uint8_t dimension) {
    if (dimension == 3) return {3, 3, 3};
    if (dimension == 2) return {5, 5, 1};
    return {5, 1, 1};
}

std::array<std::uint64_t, 3> default_k_grid(std::uint8_t dimension) {
    if (dimension == 3) return {4, 4, 4};
    if (dimension == 2) return {8, 8, 1};
    return {16, 1, 1};
}

std::variant<PbcSizes, std::string> plan_pbc_sizes(const MolecularBatch& cell_molecule, const PbcConfig& config) {
    const std::uint8_t dimension = config.cell.dimension;
    const auto counts = counts_within_dimension(dimension, config.mers);
    const auto divisions = counts_within_dimension(dimension, config.k_grid);
    std::uint64_t n_t = 1;
    std::uint64_t n_k = 1;
    for (int d = 0; d < 3; ++d) {
        if (counts[d] >= kTranslationCountLimit) {
            return "Translation count " + std::to_string(counts[d]) + " along " + kAxis[d] +
                   " is too large (must be below " + std::to_string(kTranslationCountLimit) + ")";
        }
        n_t = saturating_product(n_t, 2 * static_cast<std::uint64_t>(translation_half_count(counts[d])) + 1);
        n_k = saturating_product(n_k, std::max<std::uint64_t>(divisions[d], 1));
    }
    if (auto refusal = aliasing_refusal(dimension, config.mers, config.k_grid)) return *refusal;
    const std::vector<Vec3> positions = coordinate_triples(cell_molecule);
    if (const auto close = find_close_image(config.cell, positions, kMinImageDistance)) {
        return overlap_refusal(cell_molecule, *close);
    }
    const std::uint64_t n = cell_molecule.n_basis;
    const std::uint64_t n_path = band_path_length(config.cell, config.band_points);
    const std::uint64_t supercell_orbitals = saturating_product(n_t, n);
    const std::uint64_t supercell_atoms = saturating_product(n_t, cell_molecule.n_atoms);

    // H_s, P_s, F_s; four block lists (P, F, H, new P); the 2n x 2n matrices
    // with eigenvalues and the Bloch density; band energies; the k-points,
    // translations and their index table; the supercell and its pair table.
    MemoryPlan plan;
    plan.add_matrices(3, supercell_orbitals, supercell_orbitals)
        .add_matrices(saturating_product(4, n_t), n, n)
        .add_matrices(14, n, n)
        .add_doubles(saturating_product(2, n))
        .add_matrices(1, n_path, n)
        .add_items(n_k, sizeof(KPoint))
        .add_items(n_path, sizeof(KPoint) + sizeof(std::vector<double>))
        .add_items(n_t, sizeof(TranslationIndex))
        .add_items(saturating_product(n_t, n_t), sizeof(std::size_t))
        .add_items(supercell_atoms, 3 * sizeof(double) + 2 + sizeof(std::size_t));
    if (config.use_nddo) {
        const std::uint64_t pair_count =
            supercell_atoms <= 1 ? 0 : saturating_product(supercell_atoms, supercell_atoms - 1) / 2;
        plan.add_items(pair_count,
                       sizeof(DiatomicPairIntegrals) + sizeof(double) * largest_pair_record_doubles(cell_molecule));
    }
    const std::uint64_t bytes = plan.bytes();
    if (bytes > kPbcMemoryBudgetBytes) {
        return "Periodic calculation too large: " + size_text(n_t) + " translations x " + std::to_string(n) +
               " orbitals per cell, " + size_text(n_k) + " k-points and " + size_text(n_path) +
               " band-path points need " + size_text(bytes) + " bytes (limit " +
               std::to_string(kPbcMemoryBudgetBytes) + ")";
    }
    return PbcSizes{static_cast<std::size_t>(n_t), static_cast<std::size_t>(n_k), static_cast<std::size_t>(n_path)};
}

void diagonalize_bloch_matrix(std::span<const Matrix> blocks, std::span<const TranslationIndex> translations,
                              const Vec3& k, PbcWorkspace& ws) {
    const std::size_t n = ws.n_orbitals;
    Matrix& m = ws.bloch_matrix;
    m.fill(0.0);
    for (std::size_t t = 0; t < translations.size(); ++t) {
        const double phase = dot(k, translations[t].cartesian);
        const double c = std::cos(phase);
        const double s = std::sin(phase);
        for (std::size_t mu = 0; mu < n; ++mu) {
            const double* f = blocks[t].row(mu);
            double* top = m.row(mu);
            double* bottom = m.row(n + mu);
            for (std::size_t nu = 0; nu < n; ++nu) {
                top[nu] += c * f[nu];          // Re
                top[n + nu] -= s * f[nu];      // -Im
                bottom[nu] += s * f[nu];       // Im
                bottom[n + nu] += c * f[nu];   // Re
            }
        }
    }
    diagonalize_symmetric(m, ws.eigensolver, ws.eigenvalues, ws.eigenvectors);
}

void bloch_density_from_embedding(const Matrix& v, std::size_t n, std::size_t n_occ, Matrix& products, Matrix& d_re,
                                  Matrix& d_im) {
    // Both members (a, b) and (-b, a) of every occupied level enter with
    // weight 1: with G = V_occ V_occ^T in blocks [[A A^T, A B^T], [B A^T, B B^T]],
    // 2 Re(c c^H) = A A^T + B B^T and 2 Im(c c^H) = B A^T - A B^T.
    leading_columns_gram(v, 2 * n_occ, 1.0, products);
    for (std::size_t mu = 0; mu < n; ++mu) {
        const double* top = products.row(mu);
        const double* bottom = products.row(n + mu);
        double* re = d_re.row(mu);
        double* im = d_im.row(mu);
        for (std::size_t nu = 0; nu < n; ++nu) {
            re[nu] = top[nu] + bottom[n + nu];
            im[nu] = bottom[nu] - top[n + nu];
        }
    }
}

std::variant<PbcResult, std::string> run_pbc_scf(const MolecularBatch& cell_molecule, const ParameterModel& model,
                                                 const PbcConfig& config, PbcWorkspace& ws) {
    if (cell_molecule.n_atoms == 0) return std::string("Periodic calculation requires at least 1 atom in unit cell");
    const auto planned = plan_pbc_sizes(cell_molecule, config);
    if (const auto* refusal = std::get_if<std::string>(&planned)) return *refusal;

    const std::size_t n = cell_molecule.n_basis;
    const std::vector<TranslationIndex> translations =
        UnitCell::generate_translation_indices(config.cell, config.mers);
    const std::vector<KPoint> kpoints = UnitCell::generate_monkhorst_pack_grid(config.cell, config.k_grid);
    const std::size_t n_t = translations.size();
    if (ws.n_orbitals != n || ws.n_translations != n_t || ws.n_kpoints != kpoints.size()) {
        ws = PbcWorkspace::allocate(n, n_t, kpoints.size());
    }

    const MolecularBatch supercell = build_supercell(cell_molecule, model, translations);
    const std::size_t n_s = supercell.n_basis;
    Matrix h_s = Matrix::zeros(n_s, n_s);
    Matrix p_s = Matrix::zeros(n_s, n_s);
    Matrix f_s = Matrix::zeros(n_s, n_s);
    std::vector<DiatomicPairIntegrals> pairs;
    if (config.use_nddo) pairs = precompute_diatomic_pairs(supercell, model);
    build_hcore_with_options(supercell, model, pairs, config.use_nddo, h_s);
    const OneCenterTables one_center = OneCenterTables::build(supercell, model);
    extract_home_blocks(h_s, n, ws.hcore_r);
    const std::vector<std::size_t> pair_translation = copy_pair_translations(
        translations, counts_within_dimension(config.cell.dimension, config.mers));

    PbcResult result;
    result.core_repulsion = core_repulsion_per_cell(cell_molecule, model, translations);
    const std::size_t n_occ = count_valence_electrons(cell_molecule, model) / 2;
    if (n_occ > n) {
        throw EngineStop("Occupied levels (" + std::to_string(n_occ) + ") exceed unit cell orbitals (" +
                         std::to_string(n) + ")");
    }

    // Guess: each atom's valence electrons spread evenly over its orbitals.
    for (Matrix& block : ws.density_r) block.fill(0.0);
    for (Matrix& block : ws.fock_r) block.fill(0.0);
    for (std::size_t i = 0; i < cell_molecule.n_atoms; ++i) {
        const auto element = model.get_element(cell_molecule.atomic_numbers[i]);
        if (!element) continue;
        const std::size_t count = cell_molecule.orbitals_per_atom[i];
        for (std::size_t mu = 0; mu < count; ++mu) {
            const std::size_t index = cell_molecule.first_orbital[i] + mu;
            ws.density_r[0](index, index) = element->core_charge / static_cast<double>(count);
        }
    }

    std::vector<Matrix> new_density(n_t);
    for (Matrix& block : new_density) block = Matrix::zeros(n, n);
    Matrix d_re = Matrix::zeros(n, n);
    Matrix d_im = Matrix::zeros(n, n);
    double previous_total = 0.0;
    for (std::uint64_t iter = 1; iter <= config.max_iter; ++iter) {
        check_interruption();
        result.iterations = iter;
        assemble_supercell_density(ws.density_r, pair_translation, n, p_s);
        build_fock_with_options(supercell, model, one_center, pairs, config.use_nddo, h_s, p_s, f_s);
        extract_home_blocks(f_s, n, ws.fock_r);

        for (Matrix& block : new_density) block.fill(0.0);
        for (const KPoint& k : kpoints) {
            diagonalize_bloch_matrix(ws.fock_r, translations, k.cartesian, ws);
            bloch_density_from_embedding(ws.eigenvectors, n, n_occ, ws.occupied_products, d_re, d_im);
            add_kpoint_density(k, translations, d_re, d_im, new_density);
        }

        double electronic = 0.0;
        double density_change = 0.0;
        for (std::size_t t = 0; t < n_t; ++t) {
            const double* p = ws.density_r[t].data().data();
            const double* h = ws.hcore_r[t].data().data();
            const double* f = ws.fock_r[t].data().data();
            const double* p_new = new_density[t].data().data();
            for (std::size_t e = 0; e < n * n; ++e) {
                electronic += 0.5 * p[e] * (h[e] + f[e]);
                density_change = std::max(density_change, std::fabs(p_new[e] - p[e]));
            }
        }
        result.electronic_energy = electronic;
        result.total_energy = electronic + result.core_repulsion;
        if (iter >= 3 && std::fabs(result.total_energy - previous_total) < config.energy_tol &&
            density_change < config.density_tol) {
            result.converged = true;
            break;
        }

        const double old_weight = iter <= 5 ? config.damping : iter <= 10 ? 0.6 : iter <= 20 ? 0.75 : 0.85;
        for (std::size_t t = 0; t < n_t; ++t) {
            double* p = ws.density_r[t].data().data();
            const double* p_new = new_density[t].data().data();
            for (std::size_t e = 0; e < n * n; ++e) p[e] = old_weight * p[e] + (1.0 - old_weight) * p_new[e];
        }
        previous_total = result.total_energy;
    }

    result.heat_of_formation = compute_heat_of_formation_kcal_mol(cell_molecule, model, result.total_energy);
    compute_bands_and_dos(config.cell, translations, kpoints, n_occ, config.band_points, config.dos_sigma, ws,
                          result);
    return result;
}

}  // namespace quorin
