#include "core/varnex/locmin.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <span>
#include <tuple>

#include <cblas.h>

#include "core/scf/blas.h"
#include "core/varnex/orthogonalize.h"
#include "core/varnex/solver.h"

namespace quorin {

namespace {

std::array<double, 3> centroid(const MolecularBatch& molecule, const Lmo& lmo) {
    std::array<double, 3> c{0.0, 0.0, 0.0};
    if (lmo.atom_indices.empty()) return c;
    for (const std::size_t a : lmo.atom_indices) {
        c[0] += molecule.x[a];
        c[1] += molecule.y[a];
        c[2] += molecule.z[a];
    }
    for (double& v : c) v /= static_cast<double>(lmo.atom_indices.size());
    return c;
}

bool share_an_atom(const Lmo& a, const Lmo& b) {
    for (const std::size_t i : a.atom_indices) {
        if (std::find(b.atom_indices.begin(), b.atom_indices.end(), i) != b.atom_indices.end()) return true;
    }
    return false;
}

double quadratic_form(const Lmo& a, const Lmo& b, const Matrix& fock) {
    double sum = 0.0;
    for (std::size_t k = 0; k < a.ao_indices.size(); ++k) {
        const double* row = fock.row(a.ao_indices[k]);
        double inner = 0.0;
        for (std::size_t l = 0; l < b.ao_indices.size(); ++l) inner += row[b.ao_indices[l]] * b.coefficients[l];
        sum += a.coefficients[k] * inner;
    }
    return sum;
}

// An orbital's AO indices and coefficients in ascending AO order: the
// orbital's own lists when already sorted (as the SCF keeps them), else a
// sorted copy in `storage`.
struct SortedView {
    std::span<const std::size_t> indices;
    std::span<const double> coefficients;
};

SortedView sorted_view(const Lmo& lmo, std::vector<std::pair<std::size_t, double>>& storage,
                       std::vector<std::size_t>& indices, std::vector<double>& coefficients) {
    if (std::is_sorted(lmo.ao_indices.begin(), lmo.ao_indices.end())) return {lmo.ao_indices, lmo.coefficients};
    storage.resize(lmo.ao_indices.size());
    for (std::size_t k = 0; k < storage.size(); ++k) storage[k] = {lmo.ao_indices[k], lmo.coefficients[k]};
    std::sort(storage.begin(), storage.end());
    indices.resize(storage.size());
    coefficients.resize(storage.size());
    for (std::size_t k = 0; k < storage.size(); ++k) std::tie(indices[k], coefficients[k]) = storage[k];
    return {indices, coefficients};
}

}  // namespace

FockElements evaluate_fock_elements(const Lmo& a, const Lmo& b, const Matrix& fock) {
    return {quadratic_form(a, a, fock), quadratic_form(b, b, fock), quadratic_form(a, b, fock)};
}

namespace {

// What a rotation did, in terms of the orbitals before it: the new occupied
// orbital is c a + s b and the new virtual c b - s a, with a = o / norm_o and
// b = (v - ab a) / norm_b.
struct RotationDone {
    double norm_o = 1.0;  // 1 when o was left unscaled
    double ab = 0.0;
    double norm_b = 1.0;
    double c = 1.0;
    double s = 0.0;
};

// The rotation as one linear map of the old pair: new occupied = alpha o +
// beta v, new virtual = gamma o + delta v. The F c rows follow the same map.
void apply_rotation(const RotationDone& done, double* o, double* v, std::size_t n) {
    const double ia = 1.0 / done.norm_o, ib = 1.0 / done.norm_b;
    const double alpha = (done.c - done.s * ib * done.ab) * ia, beta = done.s * ib;
    const double gamma = -(done.c * ib * done.ab + done.s) * ia, delta = done.c * ib;
    for (std::size_t k = 0; k < n; ++k) {
        const double ok = o[k], vk = v[k];
        o[k] = alpha * ok + beta * vk;
        v[k] = gamma * ok + delta * vk;
    }
}

// The rotation for two orbitals on one ascending AO list, in place, with
// |v - ab a|^2 from the three dot products unless that loses digits (then
// from the residual, as on a union).
std::optional<RotationDone> rotate_on_shared_list(Lmo& occ, Lmo& virt, RotationDone done,
                                                  std::vector<double>& residual) {
    double* o = occ.coefficients.data();
    double* v = virt.coefficients.data();
    const std::size_t n = occ.coefficients.size();
    const auto length = static_cast<blasint>(n);
    const double oo = scipy_cblas_ddot(length, o, 1, o, 1);
    const double norm_a = std::sqrt(oo);
    if (norm_a > 1e-14) done.norm_o = norm_a;
    const double ab = scipy_cblas_ddot(length, o, 1, v, 1) / done.norm_o;
    const double vv = scipy_cblas_ddot(length, v, 1, v, 1);
    double bb = vv - 2.0 * ab * ab + ab * ab * oo / (done.norm_o * done.norm_o);
    if (bb < 1e-6 * vv) {
        residual.resize(n);
        for (std::size_t k = 0; k < n; ++k) residual[k] = v[k] - ab * (o[k] / done.norm_o);
        bb = scipy_cblas_ddot(length, residual.data(), 1, residual.data(), 1);
    }
    const double norm_b = std::sqrt(bb);
    if (norm_b < 1e-12) return std::nullopt;
    done.ab = ab;
    done.norm_b = norm_b;
    apply_rotation(done, o, v, n);
    return done;
}

// The rotation on the ascending union of the two AO lists, using the
// workspace's scratch lists (in place when `same_list`: both orbitals on one
// ascending list). Nothing happens when it returns nothing.
std::optional<RotationDone> rotate_on_union(Lmo& occ, Lmo& virt, double f_oo, double f_vv, double f_ov,
                                            double damping, JacobiWorkspace& scratch, bool same_list = false) {
    if (std::abs(f_ov) < 1e-12) return std::nullopt;
    // The denominator is held at -0.05 eV or below, also when the occupied
    // orbital lies above the virtual one.
    const double delta = std::min(f_oo - f_vv, -0.05);
    const double theta = 0.5 * std::atan(2.0 * f_ov / delta) * damping;
    RotationDone done;
    done.c = std::cos(theta);
    done.s = std::sin(theta);
    if (same_list) return rotate_on_shared_list(occ, virt, done, scratch.expanded_virtual);

    std::vector<std::pair<std::size_t, double>> storage;
    std::vector<std::size_t> sorted_indices_o, sorted_indices_v;
    std::vector<double> sorted_coefficients_o, sorted_coefficients_v;
    const SortedView o = sorted_view(occ, storage, sorted_indices_o, sorted_coefficients_o);
    const SortedView v = sorted_view(virt, storage, sorted_indices_v, sorted_coefficients_v);
    std::vector<std::size_t>& common = scratch.union_indices;
    std::vector<double>& a = scratch.expanded_occupied;
    std::vector<double>& b = scratch.expanded_virtual;
    common.clear();
    a.clear();
    b.clear();
    const std::size_t no = o.indices.size(), nv = v.indices.size();
    if (std::equal(o.indices.begin(), o.indices.end(), v.indices.begin(), v.indices.end())) {
        // Already on one list, as delocalised orbitals mostly are.
        common.assign(o.indices.begin(), o.indices.end());
        a.assign(o.coefficients.begin(), o.coefficients.end());
        b.assign(v.coefficients.begin(), v.coefficients.end());
    } else {
        std::size_t io = 0, iv = 0;
        while (io < no || iv < nv) {
            const bool take_o = io < no && (iv == nv || o.indices[io] <= v.indices[iv]);
            const bool take_v = iv < nv && (io == no || v.indices[iv] <= o.indices[io]);
            common.push_back(take_o ? o.indices[io] : v.indices[iv]);
            a.push_back(take_o ? o.coefficients[io++] : 0.0);
            b.push_back(take_v ? v.coefficients[iv++] : 0.0);
        }
    }
    if (common.empty()) return std::nullopt;
    const std::size_t n = common.size();
    double norm_a = 0.0;
    for (const double x : a) norm_a += x * x;
    norm_a = std::sqrt(norm_a);
    if (norm_a > 1e-14) {
        for (double& x : a) x /= norm_a;
        done.norm_o = norm_a;
    }
    double ab = 0.0;
    for (std::size_t k = 0; k < n; ++k) ab += a[k] * b[k];
    double norm_b = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        b[k] -= ab * a[k];
        norm_b += b[k] * b[k];
    }
    norm_b = std::sqrt(norm_b);
    if (norm_b < 1e-12) return std::nullopt;
    done.ab = ab;
    done.norm_b = norm_b;
    for (double& x : b) x /= norm_b;

    occ.coefficients.resize(n);
    virt.coefficients.resize(n);
    for (std::size_t k = 0; k < n; ++k) {
        occ.coefficients[k] = done.c * a[k] + done.s * b[k];
        virt.coefficients[k] = done.c * b[k] - done.s * a[k];
    }
    occ.ao_indices.assign(common.begin(), common.end());
    virt.ao_indices.assign(common.begin(), common.end());
    return done;
}

}  // namespace

void rotate_lmo_pair(Lmo& occ, Lmo& virt, double f_oo, double f_vv, double f_ov, double damping) {
    JacobiWorkspace scratch;
    rotate_on_union(occ, virt, f_oo, f_vv, f_ov, damping, scratch);
}

std::vector<std::vector<std::size_t>> find_jacobi_candidates(const MolecularBatch& molecule,
                                                             const std::vector<Lmo>& occupied,
                                                             const std::vector<Lmo>& virtuals, double cutoff_angstrom) {
    std::vector<std::array<double, 3>> virtual_centroids;
    virtual_centroids.reserve(virtuals.size());
    for (const Lmo& v : virtuals) virtual_centroids.push_back(centroid(molecule, v));
    std::vector<std::vector<std::size_t>> candidates(occupied.size());
    for (std::size_t oi = 0; oi < occupied.size(); ++oi) {
        const std::array<double, 3> co = centroid(molecule, occupied[oi]);
        for (std::size_t vi = 0; vi < virtuals.size(); ++vi) {
            const auto& cv = virtual_centroids[vi];
            const double d = std::sqrt((co[0] - cv[0]) * (co[0] - cv[0]) + (co[1] - cv[1]) * (co[1] - cv[1]) +
                                       (co[2] - cv[2]) * (co[2] - cv[2]));
            if (d <= cutoff_angstrom || share_an_atom(occupied[oi], virtuals[vi])) candidates[oi].push_back(vi);
        }
    }
    return candidates;
}

void compute_fock_products(const std::vector<Lmo>& occupied, const std::vector<Lmo>& virtuals, const Matrix& fock,
                           JacobiWorkspace& workspace) {
    const std::size_t n = fock.rows();
    // F symmetric: row i of C F is F c_i.
    const auto fill = [&](const std::vector<Lmo>& lmos, Matrix& coefficients, Matrix& rows) {
        fill_dense_rows(lmos, n, coefficients);
        if (rows.rows() != lmos.size() || rows.cols() != n) rows = Matrix::zeros(lmos.size(), n);
        multiply(coefficients, fock, rows);
    };
    fill(occupied, workspace.occupied_coefficients, workspace.occupied_products);
    fill(virtuals, workspace.virtual_coefficients, workspace.virtual_products);
    // Which AO lists are one ascending run of indices (delocalised orbitals
    // mostly are): their products with a dense row need no index lookups.
    // Only rotations change the lists until the next call, and the sweeps
    // keep these flags.
    workspace.occupied_runs.resize(occupied.size());
    workspace.virtual_runs.resize(virtuals.size());
    for (std::size_t i = 0; i < occupied.size(); ++i) {
        workspace.occupied_runs[i] = is_ascending_run(occupied[i].ao_indices);
    }
    for (std::size_t i = 0; i < virtuals.size(); ++i) {
        workspace.virtual_runs[i] = is_ascending_run(virtuals[i].ao_indices);
    }
    // Every coupling read before this Fock matrix is stale.
    const std::size_t now = ++workspace.stamp;
    workspace.occupied_changed.assign(occupied.size(), now);
    workspace.virtual_changed.assign(virtuals.size(), now);
}

std::pair<std::size_t, double> execute_jacobi_sweep(std::vector<Lmo>& occupied, std::vector<Lmo>& virtuals,
                                                    const std::vector<std::vector<std::size_t>>& candidates,
                                                    JacobiWorkspace& workspace, const VarnexConfig& config) {
    if (occupied.empty() || virtuals.empty()) return {0, 0.0};
    Matrix& occupied_products = workspace.occupied_products;
    Matrix& virtual_products = workspace.virtual_products;
    const std::size_t n = occupied_products.cols();
    // <o|F|o> and <v|F|v> from the F c rows at the start of the sweep, then
    // carried through each rotation by the 2 x 2 transformation.
    std::vector<double>& f_occ = workspace.occupied_diagonal;
    std::vector<double>& f_virt = workspace.virtual_diagonal;
    f_occ.resize(occupied.size());
    f_virt.resize(virtuals.size());
    std::vector<char>& occupied_runs = workspace.occupied_runs;
    std::vector<char>& virtual_runs = workspace.virtual_runs;
    const auto dot = [](const Lmo& lmo, bool run, const double* dense) {
        return run ? dot_over_run(lmo, dense) : dot_with_dense(lmo, dense);
    };
    const SingleThreadedBlas serial;
    for (std::size_t i = 0; i < occupied.size(); ++i) {
        f_occ[i] = dot(occupied[i], occupied_runs[i], occupied_products.row(i));
    }
    for (std::size_t i = 0; i < virtuals.size(); ++i) {
        f_virt[i] = dot(virtuals[i], virtual_runs[i], virtual_products.row(i));
    }
    // A pair's coupling depends on the virtual's coefficients and the
    // occupied orbital's F c row only, so it is read again only after a
    // rotation has changed either orbital (or a new Fock matrix came).
    std::size_t pair_count = 0;
    for (const auto& list : candidates) pair_count += list.size();
    if (workspace.pair_read.size() != pair_count) {
        workspace.pair_coupling.assign(pair_count, 0.0);
        workspace.pair_read.assign(pair_count, 0);
    }
    workspace.occupied_changed.resize(occupied.size(), ++workspace.stamp);
    workspace.virtual_changed.resize(virtuals.size(), workspace.stamp);
    std::size_t pair = 0;
    std::size_t rotations = 0;
    double max_coupling = 0.0;
    for (std::size_t oi = 0; oi < occupied.size(); ++oi) {
        Lmo& o = occupied[oi];
        double* fo = occupied_products.row(oi);
        for (const std::size_t vi : candidates[oi]) {
            Lmo& v = virtuals[vi];
            double* fv = virtual_products.row(vi);
            const std::size_t read = workspace.pair_read[pair];
            if (read <= workspace.occupied_changed[oi] || read <= workspace.virtual_changed[vi]) {
                workspace.pair_coupling[pair] = dot(v, virtual_runs[vi], fo);
                workspace.pair_read[pair] = ++workspace.stamp;
            }
            const double f_ov = workspace.pair_coupling[pair++];
            if (std::abs(f_ov) > config.jacobi_tol) {
                const bool same_list = occupied_runs[oi] && virtual_runs[vi] &&
                                       o.ao_indices.front() == v.ao_indices.front() &&
                                       o.ao_indices.size() == v.ao_indices.size();
                const auto done =
                    rotate_on_union(o, v, f_occ[oi], f_virt[vi], f_ov, config.damping, workspace, same_list);
                if (done && !same_list) {
                    occupied_runs[oi] = is_ascending_run(o.ao_indices);
                    virtual_runs[vi] = occupied_runs[oi];
                }
                if (done) {
                    workspace.occupied_changed[oi] = workspace.virtual_changed[vi] = ++workspace.stamp;
                    // The same linear combinations of the F c rows and of the
                    // 2 x 2 Fock block in the orthonormal pair (a, b).
                    apply_rotation(*done, fo, fv, n);
                    const double f_aa = f_occ[oi] / (done->norm_o * done->norm_o);
                    const double f_ab = (f_ov / done->norm_o - done->ab * f_aa) / done->norm_b;
                    const double f_bb = (f_virt[vi] - 2.0 * done->ab * f_ov / done->norm_o + done->ab * done->ab * f_aa) /
                                        (done->norm_b * done->norm_b);
                    const double cc = done->c * done->c, ss = done->s * done->s, cs = done->c * done->s;
                    f_occ[oi] = cc * f_aa + 2.0 * cs * f_ab + ss * f_bb;
                    f_virt[vi] = cc * f_bb - 2.0 * cs * f_ab + ss * f_aa;
                }
                ++rotations;
            }
            max_coupling = std::max(max_coupling, std::abs(f_ov));
        }
    }
    return {rotations, max_coupling};
}

std::pair<std::size_t, double> execute_jacobi_sweep(const MolecularBatch& molecule, std::vector<Lmo>& occupied,
                                                    std::vector<Lmo>& virtuals, const Matrix& fock,
                                                    const VarnexConfig& config) {
    if (occupied.empty() || virtuals.empty()) return {0, 0.0};
    const auto candidates = find_jacobi_candidates(molecule, occupied, virtuals, config.cutoff_distance);
    JacobiWorkspace workspace;
    compute_fock_products(occupied, virtuals, fock, workspace);
    return execute_jacobi_sweep(occupied, virtuals, candidates, workspace, config);
}

}  // namespace quorin
