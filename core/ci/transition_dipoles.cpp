#include "core/ci/transition_dipoles.h"

#include <cmath>

#include "core/integrals/multipole_params.h"
#include "core/types/constants.h"
#include "core/types/interruption.h"

namespace quorin {

namespace {

// Oscillator strength per eV of excitation and Debye^2 of transition dipole:
// f = (2/3) dE |mu|^2 in atomic units.
constexpr double kOscillatorPerEvDebye2 = 0.0037922207906861114;

}  // namespace

std::array<Matrix, 3> build_mo_dipole_matrices(const MolecularBatch& molecule, const ParameterModel& model,
                                               const Matrix& c, std::span<const std::size_t> active) {
    const std::size_t n = active.size();
    std::array<Matrix, 3> mu{Matrix::zeros(n, n), Matrix::zeros(n, n), Matrix::zeros(n, n)};
    for (std::size_t atom = 0; atom < molecule.n_atoms; ++atom) {
        const std::size_t f = molecule.first_orbital[atom];
        const std::size_t norb = molecule.orbitals_per_atom[atom];
        const std::array<double, 3> position{molecule.x[atom], molecule.y[atom], molecule.z[atom]};
        OnAtomDipoleIntegrals integrals;  // s-p and p-d pairs, bohr
        if (const auto element = model.get_element(molecule.atomic_numbers[atom])) {
            integrals = on_atom_dipole_integrals(*element, norb);
        }
        for (std::size_t a = 0; a < n; ++a) {
            for (std::size_t b = 0; b < n; ++b) {
                double population = 0.0;
                for (std::size_t k = 0; k < norb; ++k) population += c(f + k, active[a]) * c(f + k, active[b]);
                for (std::size_t axis = 0; axis < 3; ++axis) mu[axis](a, b) += position[axis] * population;
                for (std::size_t k = 0; k < integrals.count; ++k) {
                    const OnAtomDipoleIntegral& e = integrals.entries[k];
                    const std::size_t i = f + e.i, j = f + e.j;
                    mu[e.axis](a, b) += e.value * kBohrToAngstrom *
                                        (c(i, active[a]) * c(j, active[b]) + c(j, active[a]) * c(i, active[b]));
                }
            }
        }
    }
    return mu;
}

void apply_one_electron_operator(std::span<const Microstate> microstates, const Matrix& o,
                                 std::span<const double> w, std::span<double> out) {
    const std::size_t n = o.rows();
    for (std::size_t i = 0; i < microstates.size(); ++i) {
        const Microstate& si = microstates[i];
        double diagonal = 0.0;
        for (std::size_t k = 0; k < n; ++k) diagonal += (si.alpha[k] + si.beta[k]) * o(k, k);
        out[i] = diagonal * w[i];
    }
    for (std::size_t i = 0; i < microstates.size(); ++i) {
        check_interruption();
        const Microstate& si = microstates[i];
        for (std::size_t j = 0; j < i; ++j) {
            const Microstate& sj = microstates[j];
            const std::size_t na = count_differences(si.alpha, sj.alpha);
            const std::size_t nb = count_differences(si.beta, sj.beta);
            double element = 0.0;
            if (na == 2 && nb == 0) {
                const OrbitalPair pq = first_two_differences(si.alpha, sj.alpha);
                element = alpha_move_sign(si.alpha, si.beta, pq.p, pq.q) * o(pq.p, pq.q);
            } else if (na == 0 && nb == 2) {
                const OrbitalPair pq = first_two_differences(si.beta, sj.beta);
                element = beta_move_sign(si.alpha, si.beta, pq.p, pq.q) * o(pq.p, pq.q);
            } else {
                continue;
            }
            out[i] += element * w[j];
            out[j] += element * w[i];
        }
    }
}

void compute_transition_dipoles_and_oscillator_strengths(const MolecularBatch& molecule, const ParameterModel& model,
                                                         const Matrix& coefficients,
                                                         std::span<const std::size_t> active, MeciResult& result) {
    if (result.states.empty()) return;
    const std::array<Matrix, 3> mu = build_mo_dipole_matrices(molecule, model, coefficients, active);
    const std::size_t m = result.microstates.size();
    // mu applied once to root 1; each transition dipole is then one dot product.
    std::array<std::vector<double>, 3> mu_ground;
    for (std::size_t axis = 0; axis < 3; ++axis) {
        mu_ground[axis].assign(m, 0.0);
        apply_one_electron_operator(result.microstates, mu[axis], result.states[0].coefficients, mu_ground[axis]);
    }
    for (std::size_t r = 0; r < result.states.size(); ++r) {
        if (r % 256 == 0) check_interruption();
        CiState& state = result.states[r];
        double strength2 = 0.0;
        for (std::size_t axis = 0; axis < 3; ++axis) {
            double t = 0.0;
            if (r > 0) {
                for (std::size_t i = 0; i < m; ++i) t += mu_ground[axis][i] * state.coefficients[i];
            }
            state.polarization_angstrom2[axis] = t * t;
            state.transition_dipole_debye[axis] = std::fabs(t) * kDebyePerElectronAngstrom;
            strength2 += state.transition_dipole_debye[axis] * state.transition_dipole_debye[axis];
        }
        state.dipole_strength_debye = std::sqrt(strength2);
        state.oscillator_strength = state.excitation_energy_ev > kMinExcitationEv
                                        ? kOscillatorPerEvDebye2 * state.excitation_energy_ev * strength2
                                        : 0.0;
    }
}

}  // namespace quorin
