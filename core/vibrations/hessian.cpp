#include "core/vibrations/hessian.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <string>

#include "core/fock/one_center.h"
#include "core/gradients/nuclear_gradients.h"
#include "core/hamiltonian/hcore.h"
#include "core/integrals/multipoles.h"
#include "core/integrals/pair_integrals.h"
#include "core/parameters/atomic_mass.h"
#include "core/scf/blas.h"
#include "core/scf/fock_of_density.h"
#include "core/scf/stability.h"
#include "core/types/constants.h"
#include "core/types/errors.h"

namespace quorin {

namespace {

// The NDDO pair table and core Hamiltonian of geometries that differ from a
// base geometry in the position of one atom at a time. Only the records and
// resonance blocks of the atom that moved (and of the one moved last, back
// at its base position) are computed anew; the one-centre blocks are summed
// from the table as the full build sums them. Same numbers as the full
// build, bit for bit.
class OneAtomMoves {
public:
    // Set up at the base geometry, whose table the workspace holds. Null
    // when the table lacks a pair (coincident atoms) or two atoms are within
    // 2 `step` of each other, so that a step could make them coincide.
    static std::unique_ptr<OneAtomMoves> at_base(const MolecularBatch& molecule, const ParameterModel& model,
                                                 const ScfWorkspace& scf, double step) {
        std::unique_ptr<OneAtomMoves> moves(new OneAtomMoves(molecule, model));
        std::size_t with_parameters = 0;
        for (const auto& record : moves->records_) with_parameters += record ? 1 : 0;
        if (scf.pairs.size() != (with_parameters > 1 ? with_parameters * (with_parameters - 1) / 2 : 0)) return nullptr;
        for (const DiatomicPairIntegrals& rec : scf.pairs) {
            const double dx = molecule.x[rec.atom_a] - molecule.x[rec.atom_b];
            const double dy = molecule.y[rec.atom_a] - molecule.y[rec.atom_b];
            const double dz = molecule.z[rec.atom_a] - molecule.z[rec.atom_b];
            if (!(dx * dx + dy * dy + dz * dz > 4.0 * step * step)) return nullptr;
            moves->records_of_atom_[rec.atom_a].push_back(&rec - scf.pairs.data());
            moves->records_of_atom_[rec.atom_b].push_back(&rec - scf.pairs.data());
        }
        moves->one_center_and_resonance_ = Matrix::zeros(molecule.n_basis, molecule.n_basis);
        build_hcore_nddo(molecule, model, {}, moves->one_center_and_resonance_);
        return moves;
    }

    // The tables of the current geometry, in which only `atom` has left its
    // base position, into the workspace.
    void fill(std::size_t atom, ScfWorkspace& scf) {
        if (last_moved_ && *last_moved_ != atom) refresh_records(*last_moved_, scf);
        refresh_records(atom, scf);
        last_moved_ = atom;
        scf.hcore.copy_from(one_center_and_resonance_);
        std::array<double, 81> block;
        for (std::size_t other = 0; other < molecule_.n_atoms; ++other) {
            const std::size_t a = std::min(atom, other), b = std::max(atom, other);
            if (a == b || !records_[a] || !records_[b]) continue;
            if (!resonance_block(molecule_, a, b, *records_[a], *records_[b], norms_[a], norms_[b], block)) continue;
            const std::size_t fa = molecule_.first_orbital[a], fb = molecule_.first_orbital[b];
            const std::size_t na = molecule_.orbitals_per_atom[a], nb = molecule_.orbitals_per_atom[b];
            for (std::size_t mu = 0; mu < na; ++mu) {
                for (std::size_t nu = 0; nu < nb; ++nu) {
                    scf.hcore(fa + mu, fb + nu) = block[mu * nb + nu];
                    scf.hcore(fb + nu, fa + mu) = block[mu * nb + nu];
                }
            }
        }
        apply_electron_nuclear_attractions(scf.pairs, scf.hcore);
    }

private:
    OneAtomMoves(const MolecularBatch& molecule, const ParameterModel& model)
        : molecule_(molecule),
          model_(model),
          pair_atoms_(prepare_pair_atoms(molecule, model)),
          records_(molecule.n_atoms),
          norms_(molecule.n_atoms),
          records_of_atom_(molecule.n_atoms),
          scratch_(std::make_unique_for_overwrite<PairIntegralScratch>()) {
        for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
            records_[a] = model.get_element(molecule.atomic_numbers[a]);
            if (records_[a]) norms_[a] = slater_norms(molecule.atomic_numbers[a], *records_[a]);
        }
    }

    void refresh_records(std::size_t atom, ScfWorkspace& scf) {
        for (const std::size_t index : records_of_atom_[atom]) {
            DiatomicPairIntegrals& rec = scf.pairs[index];
            const std::size_t a = rec.atom_a, b = rec.atom_b;
            compute_diatomic_pair(molecule_, model_, a, b, pair_atoms_[a], pair_atoms_[b], rec, *scratch_);
        }
    }

    const MolecularBatch& molecule_;
    const ParameterModel& model_;
    std::vector<PairAtomData> pair_atoms_;
    std::vector<std::optional<ElementParams>> records_;
    std::vector<SlaterNorms> norms_;
    std::vector<std::vector<std::size_t>> records_of_atom_;  // indices into the pair table
    std::unique_ptr<PairIntegralScratch> scratch_;
    Matrix one_center_and_resonance_;  // the base core Hamiltonian without the attractions
    std::optional<std::size_t> last_moved_;
};

// The density at a displaced geometry to first order in the step: the base
// density plus the change of a rotation K of the base orbitals that solves
// the linear response (A + B) K = -f to the displaced Fock matrix of the base
// density, f its occupied-virtual block in the base orbitals (zero at the
// base geometry), by preconditioned conjugate gradients. The SCF started
// there needs about four iterations fewer than from the base density, for a
// few Hessian products. Gas phase without external terms only: their
// geometry dependence is not in the pair tables.
class FirstOrderStart {
public:
    FirstOrderStart(const MolecularBatch& molecule, const ParameterModel& model, const ScfWorkspace& base,
                    std::size_t n_occ)
        : one_center_(OneCenterTables::build(molecule, model)),
          coefficients_(base.coefficients),
          transposed_(Matrix::zeros(molecule.n_basis, molecule.n_basis)),
          energies_(base.orbital_energies),
          n_occ_(n_occ) {
        const std::size_t n = molecule.n_basis;
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j) transposed_(i, j) = coefficients_(j, i);
        }
        for (std::vector<double>* vector : {&rotation_, &residual_, &direction_, &image_}) {
            vector->assign(n_occ * (n - n_occ), 0.0);
        }
    }

    // start := the first-order density at the geometry whose pair table and
    // core Hamiltonian `scf` holds; its Fock matrix, new density and DIIS
    // product serve as scratch, as in the SCF that follows. False, `start`
    // untouched, when the solve meets a Hessian that is not positive or gives
    // a large rotation.
    bool predict(const MolecularBatch& molecule, const ParameterModel& model, ScfWorkspace& scf,
                 const Matrix& base_density, Matrix& start) {
        const std::size_t o = n_occ_, v = molecule.n_basis - n_occ_, len = o * v;
        if (len == 0) return false;
        Matrix& half = scf.new_density;
        Matrix& block = scf.diis_product;
        const FockOfDensity fock{molecule, model, one_center_, scf.pairs, true, scf.hcore, nullptr};
        fock.build(base_density, scf.fock);
        multiply(transposed_, scf.fock, half);
        multiply(half, coefficients_, block);
        // The residual starts as -f.
        double gradient_norm = 0.0;
        for (std::size_t i = 0; i < o; ++i) {
            for (std::size_t a = 0; a < v; ++a) {
                if (!(energies_[o + a] > energies_[i])) return false;
                residual_[i * v + a] = -block(i, o + a);
                gradient_norm += block(i, o + a) * block(i, o + a);
            }
        }
        if (!(gradient_norm > 0.0)) return false;
        const auto precondition = [&](std::size_t k) { return residual_[k] / (energies_[o + k % v] - energies_[k / v]); };
        double rz = 0.0;
        for (std::size_t k = 0; k < len; ++k) {
            rotation_[k] = 0.0;
            direction_[k] = precondition(k);
            rz += residual_[k] * direction_[k];
        }
        for (std::size_t product = 0; product < kMaxProducts; ++product) {
            apply_orbital_hessian(coefficients_, energies_, o, 0.0, fock, direction_.data(), image_.data(), scf.stability);
            double curvature = 0.0;
            for (std::size_t k = 0; k < len; ++k) curvature += direction_[k] * image_[k];
            if (!(curvature > 0.0)) return false;
            const double alpha = rz / curvature;
            double residual_norm = 0.0;
            for (std::size_t k = 0; k < len; ++k) {
                rotation_[k] += alpha * direction_[k];
                residual_[k] -= alpha * image_[k];
                residual_norm += residual_[k] * residual_[k];
            }
            if (residual_norm <= kRelativeResidual * kRelativeResidual * gradient_norm) break;
            double next_rz = 0.0;
            for (std::size_t k = 0; k < len; ++k) next_rz += residual_[k] * precondition(k);
            for (std::size_t k = 0; k < len; ++k) direction_[k] = precondition(k) + next_rz / rz * direction_[k];
            rz = next_rz;
        }
        // The density change 2 (C_o K C_v^T + its transpose), K placed in the
        // occupied-virtual block of an n x n matrix.
        block.fill(0.0);
        for (std::size_t i = 0; i < o; ++i) {
            for (std::size_t a = 0; a < v; ++a) {
                if (!(std::fabs(rotation_[i * v + a]) <= kLargestRotation)) return false;
                block(i, o + a) = rotation_[i * v + a];
            }
        }
        multiply(coefficients_, block, half);
        multiply(half, transposed_, block);
        for (std::size_t i = 0; i < molecule.n_basis; ++i) {
            for (std::size_t j = 0; j < molecule.n_basis; ++j) {
                start(i, j) = base_density(i, j) + 2.0 * (block(i, j) + block(j, i));
            }
        }
        return true;
    }

private:
    // Products per solve, and the residual (relative to f) it stops at:
    // tighter solves cost more products than they save SCF iterations.
    static constexpr std::size_t kMaxProducts = 10;
    static constexpr double kRelativeResidual = 1e-3;
    // A rotation angle beyond which the linear response is no guide.
    static constexpr double kLargestRotation = 0.05;

    OneCenterTables one_center_;
    Matrix coefficients_;  // base orbitals, one per column
    Matrix transposed_;
    Vec64 energies_;
    // Over the occupied-virtual pairs: the rotation and the solver's vectors.
    std::vector<double> rotation_, residual_, direction_, image_;
    std::size_t n_occ_;
};

}  // namespace

std::vector<double> hessian_masses(const MolecularBatch& molecule, const HessianOptions& options) {
    const std::size_t n = molecule.n_atoms;
    if (options.custom_masses) {
        const std::vector<double>& custom = *options.custom_masses;
        if (custom.size() != n) {
            throw EngineStop("custom_masses must hold one mass per atom: got " + std::to_string(custom.size()) +
                             " for " + std::to_string(n) + " atoms");
        }
        for (std::size_t a = 0; a < n; ++a) {
            if (!(custom[a] > 0.0) || !std::isfinite(custom[a])) {
                throw EngineStop("custom_masses[" + std::to_string(a) + "] must be a positive finite mass in amu");
            }
        }
        return custom;
    }
    require_tabulated_masses(molecule, "; supply custom_masses");
    std::vector<double> masses(n);
    for (std::size_t a = 0; a < n; ++a) masses[a] = atomic_mass(molecule.atomic_numbers[a]);
    return masses;
}

Matrix central_difference_hessian(MolecularBatch& molecule, double h,
                                  std::optional<std::span<const std::uint8_t>> frozen_mask, double frozen_curvature,
                                  const DisplacedGradient& gradient_at, ScfWorkspace& scf, const Matrix& base_density,
                                  std::span<std::array<double, 3>> plus, std::span<std::array<double, 3>> minus) {
    const std::size_t dim = 3 * molecule.n_atoms;
    Matrix hessian = Matrix::zeros(dim, dim);
    // eV/angstrom per angstrom to kcal/(mol angstrom^2), central difference over 2h.
    const double scale = (1.0 / (h + h)) * kEvToKcalMol;
    for (std::size_t i = 0; i < dim; ++i) {
        if (frozen_mask && !(*frozen_mask)[i]) {
            hessian(i, i) = frozen_curvature;
            continue;
        }
        const std::size_t atom = i / 3, axis = i % 3;
        double& coordinate = molecule.axis(axis)[atom];
        const double saved = coordinate;
        try {
            coordinate = saved + h;
            gradient_at(atom, axis, plus);
            coordinate = saved - h;
            gradient_at(atom, axis, minus);
        } catch (...) {
            // Leave the caller's molecule and base density intact.
            coordinate = saved;
            scf.density.copy_from(base_density);
            throw;
        }
        coordinate = saved;
        for (std::size_t r = 0; r < dim; ++r) hessian(r, i) = (plus[r / 3][r % 3] - minus[r / 3][r % 3]) * scale;
    }
    scf.density.copy_from(base_density);
    symmetrize_by_averaging(hessian);
    return hessian;
}

HessianResult compute_hessian_and_frequencies(MolecularBatch& molecule, const ParameterModel& model,
                                              ScfWorkspace& scf, const ScfOptions& scf_options,
                                              const HessianOptions& options) {
    const std::size_t n_atoms = molecule.n_atoms;
    if (n_atoms == 0) throw EngineStop("MolecularBatch must contain at least 1 atom");
    const double h = options.step_size_angstrom;
    if (!(h > 0.0) || !std::isfinite(h)) {
        throw EngineStop("Hessian step_size_angstrom must be a positive finite number");
    }
    // Checked up front: the thermochemistry would refuse them only after the
    // whole Hessian had been computed.
    require_valid_thermochemistry_conditions(options.temperature_k, options.pressure_atm,
                                             options.rotational_symmetry_number, molecule.n_atoms);
    const std::vector<double> masses = hessian_masses(molecule, options);

    const ScfResult base = run_rhf_scf_with_options(molecule, model, scf, scf_options);
    if (!base.converged) throw EngineStop("Base SCF must converge before computing Hessian");
    const Matrix base_density = scf.density;
    // Every displaced SCF starts from the base solution: its density, and
    // for the stability check its lowest rotation.
    Matrix base_rotation = Matrix::zeros(molecule.n_basis, molecule.n_basis);
    const std::size_t n_occ = count_valence_electrons(molecule, model) / 2;
    lowest_rotation(scf.coefficients, n_occ, scf.stability, base_rotation);
    ScfOptions displaced_options = scf_options;
    displaced_options.initial_rotation = &base_rotation;
    const std::unique_ptr<OneAtomMoves> moves =
        options.reconverge_scf && scf_options.use_nddo ? OneAtomMoves::at_base(molecule, model, scf, h) : nullptr;
    displaced_options.core_tables_ready = moves != nullptr;
    std::unique_ptr<FirstOrderStart> first_order;
    if (moves && !scf_options.cosmo && !scf_options.electric_field && !scf_options.external_charges) {
        first_order = std::make_unique<FirstOrderStart>(molecule, model, scf, n_occ);
    }

    GradientWorkspace gradient_ws = GradientWorkspace::allocate(molecule.n_basis);
    // Each displaced geometry moves one atom: every other pair keeps its
    // term derivatives from the base geometry.
    const PairTermDerivatives base_derivatives = compute_pair_term_derivatives(molecule, model, options.use_nddo);
    std::vector<std::array<double, 3>> g_plus(n_atoms), g_minus(n_atoms);
    Matrix start = Matrix::zeros(molecule.n_basis, molecule.n_basis);
    static constexpr std::array<char, 3> kAxisName{'x', 'y', 'z'};
    auto gradient_at = [&](std::size_t atom, std::size_t axis, std::span<std::array<double, 3>> g) {
        if (options.reconverge_scf) {
            if (moves) moves->fill(atom, scf);
            // The step to +h starts from the first-order density when it can,
            // else from the base density. The step to -h follows it and
            // starts from 2 P(0) - P(+h), the density there to second order.
            displaced_options.initial_density = &base_density;
            if (g.data() == g_minus.data()) {
                const double* p0 = base_density.data().data();
                const double* p_plus = scf.density.data().data();
                double* s = start.data().data();
                for (std::size_t k = 0; k < start.data().size(); ++k) s[k] = 2.0 * p0[k] - p_plus[k];
                displaced_options.initial_density = &start;
            } else if (first_order && first_order->predict(molecule, model, scf, base_density, start)) {
                displaced_options.initial_density = &start;
            }
            const ScfResult displaced = run_rhf_scf_with_options(molecule, model, scf, displaced_options);
            if (!displaced.converged) {
                throw EngineStop("SCF did not converge at the displaced geometry of atom " + std::to_string(atom) +
                                 " along " + kAxisName[axis] + "; the Hessian would be unreliable");
            }
        }
        compute_cartesian_gradients_after_move(molecule, model, scf.density, gradient_ws, g, base_derivatives, atom);
    };
    HessianResult result;
    result.cartesian_hessian =
        central_difference_hessian(molecule, h, std::nullopt, 0.0, gradient_at, scf, base_density, g_plus, g_minus);

    NormalModeAnalysis modes =
        analyze_normal_modes(molecule, result.cartesian_hessian, masses, options.project_external);
    result.mass_weighted_hessian = std::move(modes.mass_weighted_hessian);
    result.all_frequencies_cm1 = std::move(modes.all_frequencies_cm1);
    result.vibrational_frequencies_cm1 = std::move(modes.vibrational_frequencies_cm1);
    result.normal_modes = std::move(modes.normal_modes);
    result.thermo = compute_thermochemistry(molecule, masses, result.vibrational_frequencies_cm1, options.temperature_k,
                                            options.pressure_atm, options.rotational_symmetry_number);
    result.zpve_kcal_mol = result.thermo.zpve_kcal_mol;
    return result;
}

}  // namespace quorin
