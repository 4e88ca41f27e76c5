#include "core/solvation/cosmo.h"

#include <cmath>
#include <span>
#include <string>

#include "core/integrals/multipole_params.h"
#include "core/integrals/pair_integrals.h"
#include "core/ri/cholesky.h"
#include "core/types/constants.h"
#include "core/types/errors.h"
#include "core/types/interruption.h"

namespace quorin {
namespace {

constexpr double kHalfCoulombEvAngstrom = 0.5 * kCoulombEvAngstrom;

std::span<double> as_span(Vec64& v) { return {v.data(), v.size()}; }

void check_square(const Matrix& m, std::size_t n) {
    if (m.rows() != n) stop_assert_eq("Matrix rows must equal the basis size", m.rows(), n);
    if (m.cols() != n) stop_assert_eq("Matrix columns must equal the basis size", m.cols(), n);
}

// M += -e^2 * sum_s B(mu nu, s) q(s) over every one-centre pair; pairs of
// orbitals on different atoms have no potential and leave M as it is.
void add_reaction_field(const CosmoState& state, const Vec64& q, Matrix& m) {
    const std::size_t n_seg = q.size();
    const double* qs = q.data();
    for (std::size_t a = 0; a < state.atom_orbitals.size(); ++a) {
        const std::size_t k = state.atom_orbitals[a];
        const std::size_t first = state.atom_first_orbital[a];
        for (std::size_t mu = 0; mu < k; ++mu) {
            for (std::size_t nu = 0; nu <= mu; ++nu) {
                const double* b = state.b_matrix.row(state.atom_pair_row[a] + packed_pair_index(mu, nu));
                double sum = 0.0;
                for (std::size_t s = 0; s < n_seg; ++s) sum += b[s] * qs[s];
                const double v = -kCoulombEvAngstrom * sum;
                m(first + mu, first + nu) += v;
                if (nu != mu) m(first + nu, first + mu) += v;
            }
        }
    }
}

double distance(const CavitySegment& s, const CavitySegment& t) {
    const double dx = s.position[0] - t.position[0];
    const double dy = s.position[1] - t.position[1];
    const double dz = s.position[2] - t.position[2];
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

double self_term(const CavitySegment& s) { return kSegmentSelfInteraction / std::sqrt(s.area); }

// A_st for s != t.
double coupling_of(const CavitySegment& s, const CavitySegment& t) {
    return segment_coupling(s, t, distance(s, t)).value;
}

// The refusal of an A that cannot be factorised names the pair of segments
// whose interaction is largest against their self terms.
std::string describe_closest_pair(const std::vector<CavitySegment>& seg) {
    double worst = -1.0;
    std::size_t first = 0, second = 0;
    for (std::size_t s = 0; s < seg.size(); ++s) {
        for (std::size_t t = 0; t < s; ++t) {
            const double ratio = coupling_of(seg[s], seg[t]) / std::sqrt(self_term(seg[s]) * self_term(seg[t]));
            if (ratio > worst) {
                worst = ratio;
                first = t;
                second = s;
            }
        }
    }
    if (worst < 0.0) return "";
    return "; segments " + std::to_string(first) + " and " + std::to_string(second) + " (atoms " +
           std::to_string(seg[first].atom) + " and " + std::to_string(seg[second].atom) + ") lie " +
           std::to_string(distance(seg[first], seg[second])) + " angstrom apart";
}

}  // namespace

double cosmo_dielectric_factor(double epsilon) {
    return epsilon > 1.0 ? -(epsilon - 1.0) / (epsilon + 0.5) : 0.0;
}

CosmoState CosmoState::initialize(const MolecularBatch& molecule, const ParameterModel& model,
                                  double epsilon, double solvent_radius_angstrom) {
    if (!std::isfinite(epsilon)) throw EngineStop("COSMO dielectric constant must be a finite number");
    if (!std::isfinite(solvent_radius_angstrom)) throw EngineStop("COSMO solvent radius must be a finite number");

    CosmoState st;
    st.epsilon = epsilon;
    st.solvent_radius = solvent_radius_angstrom;
    st.n_basis = molecule.n_basis;
    st.cavity = CosmoCavity::construct(molecule, solvent_radius_angstrom);
    const std::vector<CavitySegment>& seg = st.cavity.segments;
    const std::size_t n_seg = seg.size();
    if (n_seg == 0) throw RequestError("COSMO cavity must contain at least one segment");

    // Segment interaction matrix A: the self term on the diagonal, the
    // interaction of the segments' charges below it. The factorisation reads
    // only the lower triangle.
    st.cholesky_factor = Matrix::zeros(n_seg, n_seg);
    Matrix& a = st.cholesky_factor;
    for (std::size_t s = 0; s < n_seg; ++s) {
        if (s % 256 == 0) check_interruption();
        double* a_row = a.row(s);
        for (std::size_t t = 0; t < s; ++t) a_row[t] = coupling_of(seg[s], seg[t]);
        a_row[s] = self_term(seg[s]);
    }
    // A screening solved from a singular A would be meaningless; refuse it
    // rather than quietly returning the gas-phase energy.
    if (const auto failure = cholesky_decompose(a)) {
        throw RequestError("COSMO segment interaction matrix is not positive definite (pivot " +
                           std::to_string(failure->index) + ", value " + std::to_string(failure->value) + ")" +
                           describe_closest_pair(seg));
    }

    // Orbital layout and element data of the atoms that take part.
    const std::size_t n_atoms = molecule.n_atoms;
    st.atom_first_orbital.assign(n_atoms, 0);
    st.atom_orbitals.assign(n_atoms, 0);
    st.atom_pair_row.assign(n_atoms, 0);
    st.atom_core_charge.assign(n_atoms, 0.0);
    st.atom_d1_angstrom.assign(n_atoms, 0.0);
    st.atom_d2_angstrom.assign(n_atoms, 0.0);
    std::vector<double>& core_charge = st.atom_core_charge;
    std::vector<double>& d1_angstrom = st.atom_d1_angstrom;
    std::vector<double>& d2_angstrom = st.atom_d2_angstrom;
    std::size_t n_rows = 0;
    for (std::size_t at = 0; at < n_atoms; ++at) {
        st.atom_first_orbital[at] = molecule.first_orbital[at];
        const std::optional<ElementParams> el = model.get_element(molecule.atomic_numbers[at]);
        if (!el) continue;
        const std::size_t k = molecule.orbitals_per_atom[at];
        st.atom_orbitals[at] = k;
        st.atom_pair_row[at] = n_rows;
        n_rows += n_pairs(k);
        core_charge[at] = el->core_charge;
        if (k >= 4) {
            const DerivedMultipoleParams mp = DerivedMultipoleParams::from_element(*el);
            d1_angstrom[at] = mp.d1 * kBohrToAngstrom;
            d2_angstrom[at] = mp.d2 * kBohrToAngstrom;
        }
    }

    // Potentials of the one-centre charge distributions at each segment: a
    // monopole for every orbital product mu = nu, and for s,p atoms the point
    // dipole (s p) and quadrupole (p p) of the multipole model.
    st.b_matrix = Matrix::zeros(n_rows, n_seg);
    st.phi_nuclear = Vec64::zeros(n_seg);
    for (std::size_t s = 0; s < n_seg; ++s) {
        if (s % 256 == 0) check_interruption();
        double phi = 0.0;
        for (std::size_t at = 0; at < n_atoms; ++at) {
            const std::size_t k = st.atom_orbitals[at];
            if (k == 0) continue;
            const double d[3] = {seg[s].position[0] - molecule.x[at], seg[s].position[1] - molecule.y[at],
                                 seg[s].position[2] - molecule.z[at]};
            const double r = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
            const double g1 = r > 1e-12 ? 1.0 / r : 0.0;
            const double g3 = g1 * g1 * g1;
            const double g5 = g3 * g1 * g1;
            const std::size_t row0 = st.atom_pair_row[at];
            const auto b = [&](std::size_t mu, std::size_t nu) -> double& {
                return st.b_matrix(row0 + packed_pair_index(mu, nu), s);
            };
            for (std::size_t mu = 0; mu < k; ++mu) b(mu, mu) = g1;
            if (k >= 4) {
                const double d1 = d1_angstrom[at];
                const double d2sq = d2_angstrom[at] * d2_angstrom[at];
                for (std::size_t al = 0; al < 3; ++al) {
                    b(al + 1, al + 1) = g1 + d2sq * (3.0 * d[al] * d[al] * g5 - g3);
                    b(al + 1, 0) = d1 * d[al] * g3;
                    for (std::size_t be = 0; be < al; ++be) b(al + 1, be + 1) = 3.0 * d2sq * d[al] * d[be] * g5;
                }
            }
            phi += core_charge[at] * g1;
        }
        st.phi_nuclear[s] = phi;
    }

    st.q_nuclear = Vec64::zeros(n_seg);
    st.phi_electronic = Vec64::zeros(n_seg);
    st.solution = Vec64::zeros(n_seg);
    st.q_electronic = Vec64::zeros(n_seg);
    st.scratch = Vec64::zeros(n_seg);
    solve_cholesky_system(st.cholesky_factor, as_span(st.phi_nuclear), as_span(st.solution), as_span(st.scratch));
    const double f = cosmo_dielectric_factor(epsilon);
    double energy = 0.0;
    for (std::size_t s = 0; s < n_seg; ++s) {
        st.q_nuclear[s] = f * st.solution[s];
        energy += st.q_nuclear[s] * st.phi_nuclear[s];
    }
    st.nuclear_energy = kHalfCoulombEvAngstrom * energy;
    return st;
}

void CosmoState::apply_nuclear_reaction_field_to_hcore(Matrix& hcore) const {
    check_square(hcore, n_basis);
    add_reaction_field(*this, q_nuclear, hcore);
}

double CosmoState::apply_electronic_reaction_field_to_fock(const Matrix& density, Matrix& fock) {
    check_square(fock, n_basis);
    const double energy = update_electronic_charges(density);
    add_reaction_field(*this, q_electronic, fock);
    return energy;
}

double CosmoState::update_electronic_charges(const Matrix& density) {
    check_square(density, n_basis);
    const std::size_t n_seg = phi_electronic.size();
    double* phi = phi_electronic.data();

    // phi_el(s) = -sum_{mu nu} P(mu nu) B(mu nu, s); terms are added to each
    // segment in the order of the density's rows and columns.
    phi_electronic.fill(0.0);
    for (std::size_t at = 0; at < atom_orbitals.size(); ++at) {
        const std::size_t k = atom_orbitals[at];
        const std::size_t first = atom_first_orbital[at];
        for (std::size_t mu = 0; mu < k; ++mu) {
            const double* p_row = density.row(first + mu) + first;
            for (std::size_t nu = 0; nu < k; ++nu) {
                const double p = p_row[nu];
                if (std::abs(p) <= 1e-12) continue;
                const double* b = b_matrix.row(atom_pair_row[at] + packed_pair_index(mu, nu));
                for (std::size_t s = 0; s < n_seg; ++s) phi[s] += p * b[s];
            }
        }
    }
    for (std::size_t s = 0; s < n_seg; ++s) phi[s] = -phi[s];

    solve_cholesky_system(cholesky_factor, as_span(phi_electronic), as_span(solution), as_span(scratch));
    const double f = cosmo_dielectric_factor(epsilon);
    double energy = 0.0;
    for (std::size_t s = 0; s < n_seg; ++s) {
        q_electronic[s] = f * solution[s];
        energy += (q_nuclear[s] + q_electronic[s]) * (phi_nuclear[s] + phi[s]);
    }
    return kHalfCoulombEvAngstrom * energy;
}

double CosmoState::b_element(std::size_t mu, std::size_t nu, std::size_t segment) const {
    for (std::size_t at = 0; at < atom_orbitals.size(); ++at) {
        const std::size_t first = atom_first_orbital[at];
        const std::size_t k = atom_orbitals[at];
        if (mu < first || mu >= first + k) continue;
        if (nu < first || nu >= first + k) return 0.0;
        return b_matrix(atom_pair_row[at] + packed_pair_index(mu - first, nu - first), segment);
    }
    return 0.0;
}

}  // namespace quorin
