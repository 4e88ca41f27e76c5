#include "core/varnex/stability.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "core/scf/eigensolver.h"
#include "core/types/interruption.h"
#include "core/varnex/locmin.h"
#include "core/varnex/orthogonalize.h"

namespace quorin {

namespace {

// Davidson iterations: vectors held before a restart, and kept on one; start
// block of the lowest pairs by F_vv - F_oo and one pseudo-random vector over
// all pairs; the most products spent.
constexpr std::size_t kSubspace = 12;
constexpr std::size_t kKeptOnRestart = 4;
constexpr std::size_t kStartPairs = 4;
constexpr std::size_t kMaxProducts = 30;
// The lowest Ritz pair has converged once its residual is below
// kResidualTolerance (eV) or kRelativeResidual times its value: the sign of
// the lowest eigenvalue is then settled.
constexpr double kResidualTolerance = 5e-2;
constexpr double kRelativeResidual = 5e-2;
// Smallest |diagonal - theta| the preconditioner divides by.
constexpr double kPreconditionerFloor = 0.1;
// Entries of trial densities, and of their responses times an orbital (eV),
// below this are left out: far below what moves the eigenvalue.
constexpr double kNegligible = 1e-10;

using Vector = std::vector<double>;

double dot(const Vector& a, const Vector& b) {
    double sum = 0.0;
    for (std::size_t k = 0; k < a.size(); ++k) sum += a[k] * b[k];
    return sum;
}

// Removes from v its components along the first m basis vectors (twice, for
// orthogonality to working precision) and normalises it; returns the norm
// left, relative to the initial one.
double orthonormalize_against(const std::vector<Vector>& basis, std::size_t m, Vector& v) {
    const double initial = std::sqrt(dot(v, v));
    for (int pass = 0; pass < 2; ++pass) {
        for (std::size_t k = 0; k < m; ++k) {
            const double overlap = dot(basis[k], v);
            for (std::size_t e = 0; e < v.size(); ++e) v[e] -= overlap * basis[k][e];
        }
    }
    const double norm = std::sqrt(dot(v, v));
    if (norm > 1e-10 * std::max(initial, 1e-300)) {
        for (double& e : v) e /= norm;
    }
    return norm / std::max(initial, 1e-300);
}

// A fixed pseudo-random sequence in [-1, 1) (64-bit xorshift): the check
// gives the same answer on every run.
double next_signed_unit(std::uint64_t& state) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<double>(state >> 11) * 0x1.0p-52 - 1.0;
}

// m += a b^T + b a^T on the pattern of m (pairs out of its reach, and block
// products below kNegligible in every entry, left out).
void add_symmetric_outer(const SparseVector& a, const SparseVector& b, BlockMatrix& m) {
    const AtomNeighbours& nb = *m.pattern;
    for (std::size_t k = 0; k < a.atoms.size(); ++k) {
        const std::uint32_t atom = a.atoms[k];
        const double* x = a.block(k);
        const std::size_t na = a.block_size(k);
        std::size_t position = nb.row_start[atom];
        const std::size_t end = nb.row_start[atom + 1];
        const double largest = largest_entry(x, na);
        for (std::size_t l = 0; l < b.atoms.size(); ++l) {
            while (position < end && nb.atom[position] < b.atoms[l]) ++position;
            if (position == end) break;
            if (nb.atom[position] != b.atoms[l]) continue;
            const double* y = b.block(l);
            const std::size_t nl = b.block_size(l);
            if (largest * largest_entry(y, nl) < kNegligible) continue;
            double* ab = m.block(position);
            double* ba = m.block(nb.transpose[position]);
            for (std::size_t mu = 0; mu < na; ++mu) {
                for (std::size_t nu = 0; nu < nl; ++nu) {
                    ab[mu * nl + nu] += x[mu] * y[nu];
                    ba[nu * na + mu] += x[mu] * y[nu];
                }
            }
        }
    }
}

}  // namespace

PiStability::PiStability(const MolecularBatch& molecule, const std::vector<Lmo>& occupied,
                         const std::vector<Lmo>& virtuals, double cutoff_angstrom)
    : molecule_(molecule), accumulator_(molecule) {
    std::vector<Lmo> bonds, antibonds;
    for (std::size_t k = 0; k < occupied.size(); ++k) {
        if (occupied[k].lmo_type != LmoType::BondingPi) continue;
        occupied_.push_back(static_cast<std::uint32_t>(k));
        bonds.push_back(occupied[k]);
    }
    for (std::size_t k = 0; k < virtuals.size(); ++k) {
        if (virtuals[k].lmo_type != LmoType::AntibondingPi) continue;
        virtuals_.push_back(static_cast<std::uint32_t>(k));
        antibonds.push_back(virtuals[k]);
    }
    const JacobiCandidates pairs = find_jacobi_candidates(molecule, bonds, antibonds, cutoff_angstrom);
    start_ = pairs.start;
    partner_ = pairs.virtuals;
    pairs_ = partner_.size();
    position_.assign(virtuals_.size(), -1);
}

void PiStability::apply_hessian(SparseNddoFock& builder, const std::vector<SparseVector>& occupied,
                                const std::vector<SparseVector>& virtuals, const double* x, double* y,
                                BlockMatrix& trial, BlockMatrix& response) {
    check_interruption();
    // Fock part: sum_v' F_vv' x_ov' - sum_o' F_o'o x_o'v, with the pairs of
    // the row of o scattered into position_.
    for (std::size_t io = 0; io < occupied_.size(); ++io) {
        for (std::size_t p = start_[io]; p < start_[io + 1]; ++p) position_[partner_[p]] = static_cast<long>(p);
        for (std::size_t p = start_[io]; p < start_[io + 1]; ++p) {
            double sum = 0.0;
            for (const auto& [other, f] : virtual_fock_[partner_[p]]) {
                if (position_[other] >= 0) sum += f * x[position_[other]];
            }
            y[p] = sum;
        }
        for (const auto& [other, f] : occupied_fock_[io]) {
            for (std::size_t q = start_[other]; q < start_[other + 1]; ++q) {
                if (position_[partner_[q]] >= 0) y[position_[partner_[q]]] -= f * x[q];
            }
        }
        for (std::size_t p = start_[io]; p < start_[io + 1]; ++p) position_[partner_[p]] = -1;
    }
    // Two-electron part: 2 <o|G(D)|v>, D = sum_o (o t_o^T + t_o o^T) with
    // t_o = sum_v x_ov v.
    std::fill(trial.values.begin(), trial.values.end(), 0.0);
    for (std::size_t io = 0; io < occupied_.size(); ++io) {
        if (start_[io] == start_[io + 1]) continue;
        for (std::size_t p = start_[io]; p < start_[io + 1]; ++p) {
            if (x[p] != 0.0) accumulator_.add(x[p], virtuals[virtuals_[partner_[p]]]);
        }
        accumulator_.extract(combination_);
        add_symmetric_outer(occupied[occupied_[io]], combination_, trial);
    }
    builder.build_response(trial, response);
    block_bounds(response, bounds_);
    for (std::size_t io = 0; io < occupied_.size(); ++io) {
        if (start_[io] == start_[io + 1]) continue;
        multiply_fock(response, bounds_, occupied[occupied_[io]], kNegligible, accumulator_, product_);
        for (std::size_t p = start_[io]; p < start_[io + 1]; ++p) {
            y[p] += 2.0 * dot(product_, virtuals[virtuals_[partner_[p]]]);
        }
    }
}

PiStabilityCheck PiStability::check(BlockMatrix& fock, BlockMatrix& scratch, SparseNddoFock& builder,
                                    const std::vector<SparseVector>& occupied,
                                    const std::vector<SparseVector>& virtuals) {
    PiStabilityCheck result;
    if (empty()) {
        result.lowest_eigenvalue = std::numeric_limits<double>::infinity();
        return result;
    }
    // The Fock matrix among the pi bonds and among the antibonds, through F
    // times each and the orbitals of the same kind on the atoms it reaches.
    block_bounds(fock, bounds_);
    const auto fock_rows = [&](const std::vector<std::uint32_t>& chosen, const std::vector<SparseVector>& orbitals,
                               std::vector<std::vector<std::pair<std::uint32_t, double>>>& rows) {
        std::vector<SparseVector> subset;
        subset.reserve(chosen.size());
        for (const std::uint32_t k : chosen) subset.push_back(orbitals[k]);
        OrbitalsByAtom index;
        index.build(subset, molecule_.n_atoms);
        std::vector<std::size_t> seen(subset.size(), 0);
        rows.assign(subset.size(), {});
        for (std::size_t k = 0; k < subset.size(); ++k) {
            multiply_fock(fock, bounds_, subset[k], 0.0, accumulator_, product_);
            for (const std::uint32_t atom : product_.atoms) {
                for (const std::uint32_t* other = index.begin(atom); other != index.end(atom); ++other) {
                    if (seen[*other] == k + 1) continue;
                    seen[*other] = k + 1;
                    rows[k].emplace_back(*other, dot(product_, subset[*other]));
                }
            }
        }
    };
    fock_rows(occupied_, occupied, occupied_fock_);
    fock_rows(virtuals_, virtuals, virtual_fock_);
    const auto diagonal_of = [](const std::vector<std::pair<std::uint32_t, double>>& row, std::size_t self) {
        for (const auto& [other, f] : row) {
            if (other == self) return f;
        }
        return 0.0;
    };
    diagonal_.resize(pairs_);
    for (std::size_t io = 0; io < occupied_.size(); ++io) {
        const double f_oo = diagonal_of(occupied_fock_[io], io);
        for (std::size_t p = start_[io]; p < start_[io + 1]; ++p) {
            diagonal_[p] = diagonal_of(virtual_fock_[partner_[p]], partner_[p]) - f_oo;
        }
    }

    // Davidson iterations for the lowest eigenpair.
    const std::size_t len = pairs_;
    std::vector<Vector> basis(kSubspace, Vector(len, 0.0)), images(kSubspace, Vector(len, 0.0));
    const auto product = [&](const Vector& in, Vector& out) {
        apply_hessian(builder, occupied, virtuals, in.data(), out.data(), scratch, fock);
        ++result.products;
    };
    std::vector<std::size_t> order(len);
    for (std::size_t k = 0; k < len; ++k) order[k] = k;
    const std::size_t n_start = std::min(kStartPairs, len);
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(n_start), order.end(),
                      [&](std::size_t a, std::size_t b) { return diagonal_[a] < diagonal_[b]; });
    std::size_t m = 0;
    for (; m < n_start; ++m) {
        basis[m][order[m]] = 1.0;
        product(basis[m], images[m]);
    }
    if (len > m) {
        std::uint64_t state = 0x9e3779b97f4a7c15ULL;
        for (std::size_t k = 0; k < len; ++k) {
            basis[m][k] = next_signed_unit(state) / (1.0 + std::max(diagonal_[k] - diagonal_[order[0]], 0.0));
        }
        if (orthonormalize_against(basis, m, basis[m]) > 1e-8) {
            product(basis[m], images[m]);
            ++m;
        }
    }
    // The Hessian's diagonal lies below F_vv - F_oo by the two-electron
    // terms; the start pairs measure by how much, and the preconditioner
    // moves every pair by that offset.
    Vector precondition = diagonal_;
    double offset = 0.0;
    for (std::size_t s = 0; s < n_start; ++s) offset += images[s][order[s]] - diagonal_[order[s]];
    offset /= static_cast<double>(n_start);
    for (double& d : precondition) d += offset;

    Vector ritz(len), ritz_image(len), residual(len);
    Matrix rayleigh = Matrix::zeros(1, 1), vectors = Matrix::zeros(1, 1);
    Vec64 values;
    std::size_t corrections = 0;
    double theta = 0.0;
    while (true) {
        rayleigh = Matrix::zeros(m, m);
        for (std::size_t k = 0; k < m; ++k) {
            for (std::size_t l = 0; l <= k; ++l) {
                const double value = 0.5 * (dot(basis[k], images[l]) + dot(basis[l], images[k]));
                rayleigh(k, l) = value;
                rayleigh(l, k) = value;
            }
        }
        values = Vec64::zeros(m);
        vectors = Matrix::zeros(m, m);
        diagonalize_symmetric(rayleigh, values, vectors);
        theta = values[0];
        std::fill(ritz.begin(), ritz.end(), 0.0);
        std::fill(ritz_image.begin(), ritz_image.end(), 0.0);
        for (std::size_t k = 0; k < m; ++k) {
            for (std::size_t e = 0; e < len; ++e) {
                ritz[e] += vectors(k, 0) * basis[k][e];
                ritz_image[e] += vectors(k, 0) * images[k][e];
            }
        }
        for (std::size_t e = 0; e < len; ++e) residual[e] = ritz_image[e] - theta * ritz[e];
        const double residual_norm = std::sqrt(dot(residual, residual));
        if (theta < kUnstableCurvatureEv) break;
        if (corrections > 0 && residual_norm < std::max(kResidualTolerance, kRelativeResidual * std::abs(theta))) break;
        if (result.products >= kMaxProducts || m == len) break;
        if (m == kSubspace) {
            // Thick restart on the lowest Ritz vectors.
            std::vector<Vector> kept_basis(kKeptOnRestart, Vector(len, 0.0)), kept_images = kept_basis;
            for (std::size_t r = 0; r < kKeptOnRestart; ++r) {
                for (std::size_t k = 0; k < m; ++k) {
                    for (std::size_t e = 0; e < len; ++e) {
                        kept_basis[r][e] += vectors(k, r) * basis[k][e];
                        kept_images[r][e] += vectors(k, r) * images[k][e];
                    }
                }
            }
            for (std::size_t r = 0; r < kKeptOnRestart; ++r) {
                basis[r] = std::move(kept_basis[r]);
                images[r] = std::move(kept_images[r]);
            }
            m = kKeptOnRestart;
        }
        Vector& correction = basis[m];
        for (std::size_t e = 0; e < len; ++e) {
            double denominator = precondition[e] - theta;
            if (std::abs(denominator) < kPreconditionerFloor) {
                denominator = denominator < 0.0 ? -kPreconditionerFloor : kPreconditionerFloor;
            }
            correction[e] = -residual[e] / denominator;
        }
        if (orthonormalize_against(basis, m, correction) < 1e-8) break;
        product(correction, images[m]);
        ++corrections;
        ++m;
    }
    result.lowest_eigenvalue = theta;
    result.stable = !(theta < kUnstableCurvatureEv);
    if (!result.stable) unstable_ = ritz;
    return result;
}

void PiStability::rotate(double t, const std::vector<double>& x, std::vector<SparseVector>& occupied,
                         std::vector<SparseVector>& virtuals) const {
    SparseVector new_occupied, new_virtual;
    for (std::size_t io = 0; io < occupied_.size(); ++io) {
        for (std::size_t p = start_[io]; p < start_[io + 1]; ++p) {
            const double angle = t * x[p];
            if (angle == 0.0) continue;
            SparseVector& o = occupied[occupied_[io]];
            SparseVector& v = virtuals[virtuals_[partner_[p]]];
            const double c = std::cos(angle), s = std::sin(angle);
            combine(c, o, s, v, 0.0, new_occupied);
            combine(c, v, -s, o, 0.0, new_virtual);
            std::swap(o, new_occupied);
            std::swap(v, new_virtual);
        }
    }
}

double PiStability::descend(double energy,
                            const std::function<double(const std::vector<SparseVector>&)>& energy_of,
                            std::vector<SparseVector>& occupied, std::vector<SparseVector>& virtuals) {
    if (unstable_.size() != pairs_) return energy;
    std::vector<SparseVector> trial_occupied, trial_virtuals;
    double best_energy = energy, best_t = 0.0;
    const auto try_angle = [&](double t) {
        trial_occupied = occupied;
        trial_virtuals = virtuals;
        rotate(t, unstable_, trial_occupied, trial_virtuals);
        const double e = energy_of(trial_occupied);
        if (e < best_energy) {
            best_energy = e;
            best_t = t;
        }
        return e;
    };
    // Sense: the lower of the two at a first angle (halved while neither
    // lowers the energy); then onward in steps of that angle while the
    // energy keeps falling, up to a quarter turn, and the vertex of the
    // parabola through the last three points.
    double step = 0.2, sense = 0.0;
    for (int attempt = 0; attempt < 5 && sense == 0.0; ++attempt) {
        const double plus = try_angle(step);
        const double minus = try_angle(-step);
        if (std::min(plus, minus) < energy) {
            sense = plus <= minus ? 1.0 : -1.0;
        } else {
            step *= 0.5;
        }
    }
    if (sense != 0.0) {
        constexpr double kQuarterTurn = 1.5707963267948966;
        double e_previous = energy, e_current = best_energy, angle = step;
        while (angle + step < kQuarterTurn) {
            const double e_next = try_angle(sense * (angle + step));
            if (e_next >= e_current) {
                const double curvature = e_previous - 2.0 * e_current + e_next;
                if (curvature > 0.0) try_angle(sense * (angle + 0.5 * step * (e_previous - e_next) / curvature));
                break;
            }
            e_previous = e_current;
            e_current = e_next;
            angle += step;
        }
    }
    if (best_t != 0.0) rotate(best_t, unstable_, occupied, virtuals);
    unstable_.clear();
    return best_energy;
}

}  // namespace quorin
