#include "core/integrals/multipoles.h"

#include <cmath>

#include "core/integrals/d_rotation.h"
#include "core/types/constants.h"
#include "core/types/errors.h"

namespace quorin {

namespace {

// Klopman-Ohno interaction (eV) of a distribution on A with one on B, B at
// r_bohr along z'.
double interaction(const ChargeSet& a, const ChargeSet& b, double r_bohr) {
    double sum = 0.0;
    for (int i = 0; i < a.count; ++i) {
        const MultipoleCharge& ca = a.charges[static_cast<std::size_t>(i)];
        for (int j = 0; j < b.count; ++j) {
            const MultipoleCharge& cb = b.charges[static_cast<std::size_t>(j)];
            const double dx = cb.x - ca.x;
            const double dy = cb.y - ca.y;
            const double dz = cb.z + r_bohr - ca.z;
            const double rho = ca.rho + cb.rho;
            sum += ca.q * cb.q / std::sqrt(dx * dx + dy * dy + dz * dz + rho * rho);
        }
    }
    return kHartreeToEv * sum;
}

// Local pair index (s, x', y', z' as 0..3) for the local pairs used below.
constexpr std::size_t kSS = 0, kXS = 1, kXX = 2, kYS = 3, kYX = 4, kYY = 5, kZS = 6, kZX = 7, kZY = 8,
                      kZZ = 9;

// Local two-electron block over packed local pairs from the 22 values.
void fill_local_block(std::span<const double, 22> s, double (&l)[10][10]) {
    for (auto& row : l)
        for (double& v : row) v = 0.0;
    l[kSS][kSS] = s[0];
    l[kSS][kZS] = s[4];
    l[kSS][kZZ] = s[10];
    l[kSS][kXX] = l[kSS][kYY] = s[11];
    l[kZS][kSS] = s[1];
    l[kZS][kZS] = s[5];
    l[kZS][kZZ] = s[12];
    l[kZS][kXX] = l[kZS][kYY] = s[13];
    l[kXS][kXS] = l[kYS][kYS] = s[6];
    l[kXS][kZX] = l[kYS][kZY] = s[14];
    l[kZZ][kSS] = s[2];
    l[kZZ][kZS] = s[7];
    l[kZZ][kZZ] = s[15];
    l[kZZ][kXX] = l[kZZ][kYY] = s[17];
    l[kXX][kSS] = l[kYY][kSS] = s[3];
    l[kXX][kZS] = l[kYY][kZS] = s[8];
    l[kXX][kZZ] = l[kYY][kZZ] = s[16];
    l[kXX][kXX] = l[kYY][kYY] = s[18];
    l[kXX][kYY] = l[kYY][kXX] = s[20];
    l[kZX][kXS] = l[kZY][kYS] = s[9];
    l[kZX][kZX] = l[kZY][kZY] = s[19];
    l[kYX][kYX] = s[21];
}

std::size_t sp_pair_count(std::size_t norb) { return norb >= 4 ? 10 : 1; }

}  // namespace

double feathering_weight(double r_angstrom) {
    if (r_angstrom >= 7.0) return 0.0;
    const double d = r_angstrom - 7.0;
    return 1.0 - std::exp(-0.22 * d * d);
}

DiatomicRotation3D DiatomicRotation3D::from_direction(double dx, double dy, double dz, double r) {
    DiatomicRotation3D rot;
    rot.axes = pair_frame(dx, dy, dz, r).axes;

    // t[mu][a]: component of molecular orbital mu (s, px, py, pz) along local
    // orbital a (s, x', y', z').
    double t[4][4] = {};
    t[0][0] = 1.0;
    for (std::size_t k = 0; k < 3; ++k) {
        t[k + 1][1] = rot.axes[1][k];
        t[k + 1][2] = rot.axes[2][k];
        t[k + 1][3] = rot.axes[0][k];
    }
    for (std::size_t mu = 0; mu < 4; ++mu) {
        for (std::size_t nu = 0; nu <= mu; ++nu) {
            auto& row = rot.pair_transform[packed_pair_index(mu, nu)];
            for (std::size_t a = 0; a < 4; ++a) {
                for (std::size_t b = 0; b <= a; ++b) {
                    row[packed_pair_index(a, b)] =
                        a == b ? t[mu][a] * t[nu][a] : t[mu][a] * t[nu][b] + t[mu][b] * t[nu][a];
                }
            }
        }
    }
    return rot;
}

void compute_22_multipoles(std::span<double, 22> out, const DerivedMultipoleParams& a,
                           const DerivedMultipoleParams& b, const AtomDistributions& da,
                           const AtomDistributions& db, double r) {
    for (double& v : out) v = 0.0;
    const double r_bohr = r / kBohrToAngstrom;
    const bool a_full = a.atomic_number >= 3;
    const bool b_full = b.atomic_number >= 3;

    out[0] = interaction(da.ss, db.ss, r_bohr);
    if (a_full) {
        out[1] = interaction(da.sp_sigma, db.ss, r_bohr);
        out[2] = interaction(da.pp_sigma, db.ss, r_bohr);
        out[3] = interaction(da.pp_pi, db.ss, r_bohr);
    }
    if (b_full) {
        out[4] = interaction(da.ss, db.sp_sigma, r_bohr);
        out[10] = interaction(da.ss, db.pp_sigma, r_bohr);
        out[11] = interaction(da.ss, db.pp_pi, r_bohr);
    }
    if (!a_full || !b_full) return;
    out[5] = interaction(da.sp_sigma, db.sp_sigma, r_bohr);
    out[6] = interaction(da.sp_pi, db.sp_pi, r_bohr);
    out[7] = interaction(da.pp_sigma, db.sp_sigma, r_bohr);
    out[8] = interaction(da.pp_pi, db.sp_sigma, r_bohr);
    out[9] = interaction(da.pp_pisigma, db.sp_pi, r_bohr);
    out[12] = interaction(da.sp_sigma, db.pp_sigma, r_bohr);
    out[13] = interaction(da.sp_sigma, db.pp_pi, r_bohr);
    out[14] = interaction(da.sp_pi, db.pp_pisigma, r_bohr);
    out[15] = interaction(da.pp_sigma, db.pp_sigma, r_bohr);
    out[16] = interaction(da.pp_pi, db.pp_sigma, r_bohr);
    out[17] = interaction(da.pp_sigma, db.pp_pi, r_bohr);
    out[18] = interaction(da.pp_pi, db.pp_pi, r_bohr);
    out[19] = interaction(da.pp_pisigma, db.pp_pisigma, r_bohr);
    out[20] = interaction(da.pp_pi, db.pp_pi2, r_bohr);
    out[21] = 0.5 * (out[18] - out[20]);
}

void rotate_multipoles_to_w(std::size_t norb_a, std::size_t norb_b,
                            std::span<const double, 22> local, const DiatomicRotation3D& rotation,
                            double* w, std::size_t w_len) {
    const std::size_t pa = sp_pair_count(norb_a);
    const std::size_t pb = sp_pair_count(norb_b);
    if (w_len < pa * pb) throw EngineStop("Pair integral buffer too short");
    for (std::size_t i = 0; i < w_len; ++i) w[i] = 0.0;

    double l[10][10];
    fill_local_block(local, l);
    const auto& pt = rotation.pair_transform;
    // Half transformation over A's pair index, then over B's.
    double half[10][10];
    for (std::size_t p = 0; p < pa; ++p) {
        for (std::size_t cd = 0; cd < 10; ++cd) {
            double sum = 0.0;
            for (std::size_t ab = 0; ab < 10; ++ab) sum += pt[p][ab] * l[ab][cd];
            half[p][cd] = sum;
        }
    }
    for (std::size_t p = 0; p < pa; ++p) {
        for (std::size_t q = 0; q < pb; ++q) {
            double sum = 0.0;
            for (std::size_t cd = 0; cd < 10; ++cd) sum += half[p][cd] * pt[q][cd];
            w[p * pb + q] = sum;
        }
    }
}

void compute_electron_nuclear_attraction(std::size_t norb_a, std::size_t norb_b,
                                         const DerivedMultipoleParams& a,
                                         const DerivedMultipoleParams& b, const AtomDistributions& da,
                                         const AtomDistributions& db, const DiatomicRotation3D& rotation,
                                         double* e1b, std::size_t e1b_len, double* e2a, std::size_t e2a_len,
                                         bool use_feathering, double core_charge_a,
                                         double core_charge_b, double r) {
    const std::size_t pa = sp_pair_count(norb_a);
    const std::size_t pb = sp_pair_count(norb_b);
    if (e1b_len < pa || e2a_len < pb) throw EngineStop("Pair integral buffer too short");
    for (std::size_t i = 0; i < e1b_len; ++i) e1b[i] = 0.0;
    for (std::size_t i = 0; i < e2a_len; ++i) e2a[i] = 0.0;

    const double r_bohr = r / kBohrToAngstrom;
    const double weight = use_feathering ? feathering_weight(r) : 1.0;
    const double point_charge = kCoulombEvAngstrom / r;

    // Local (distribution | partner core) values: ss, s-p sigma, p sigma p sigma, p pi p pi.
    const auto local_values = [&](const AtomDistributions& own, const ChargeSet& core, bool own_is_b,
                                  double (&v)[4]) {
        if (own_is_b) {
            v[0] = interaction(core, own.ss, r_bohr);
            v[1] = interaction(core, own.sp_sigma, r_bohr);
            v[2] = interaction(core, own.pp_sigma, r_bohr);
            v[3] = interaction(core, own.pp_pi, r_bohr);
        } else {
            v[0] = interaction(own.ss, core, r_bohr);
            v[1] = interaction(own.sp_sigma, core, r_bohr);
            v[2] = interaction(own.pp_sigma, core, r_bohr);
            v[3] = interaction(own.pp_pi, core, r_bohr);
        }
        if (use_feathering) {
            v[0] = weight * v[0] + (1.0 - weight) * point_charge;
            v[1] = weight * v[1];
            v[2] = weight * v[2] + (1.0 - weight) * point_charge;
            v[3] = weight * v[3] + (1.0 - weight) * point_charge;
        }
    };
    const auto rotate = [&](const double (&v)[4], std::size_t n_pairs_own, bool full, double core,
                            double* e) {
        e[0] = -core * v[0];
        if (!full || n_pairs_own < 10) return;
        for (std::size_t p = 0; p < 10; ++p) {
            const auto& row = rotation.pair_transform[p];
            e[p] = -core * (row[kSS] * v[0] + row[kZS] * v[1] + row[kZZ] * v[2] +
                            (row[kXX] + row[kYY]) * v[3]);
        }
    };

    double va[4];
    double vb[4];
    local_values(da, db.ss, false, va);
    local_values(db, da.ss, true, vb);
    rotate(va, pa, a.atomic_number >= 3, core_charge_b, e1b);
    rotate(vb, pb, b.atomic_number >= 3, core_charge_a, e2a);
}

namespace {

// Orbital pair (mu, nu), mu >= nu, of each packed index, for up to nine orbitals.
struct PairOrbitals {
    std::array<std::uint8_t, 45> mu{};
    std::array<std::uint8_t, 45> nu{};
};

constexpr PairOrbitals make_pair_orbitals() {
    PairOrbitals t;
    for (std::size_t mu = 0; mu < 9; ++mu)
        for (std::size_t nu = 0; nu <= mu; ++nu) {
            t.mu[packed_pair_index(mu, nu)] = static_cast<std::uint8_t>(mu);
            t.nu[packed_pair_index(mu, nu)] = static_cast<std::uint8_t>(nu);
        }
    return t;
}

constexpr PairOrbitals kPairOrbitals = make_pair_orbitals();

bool record_fits(const DiatomicPairIntegrals& rec, std::size_t n, bool fock) {
    const std::size_t pa = n_pairs(rec.norb_a);
    const std::size_t pb = n_pairs(rec.norb_b);
    if (rec.first_orbital_a + rec.norb_a > n || rec.first_orbital_b + rec.norb_b > n) return false;
    if (rec.e1b.size() < pa || rec.e2a.size() < pb) return false;
    return !fock || rec.w.size() >= pa * pb;
}

void check_square(const Matrix& m, std::size_t n) {
    if (m.rows() != n || m.cols() != n) throw EngineStop("Matrix shape does not match the basis");
}

template <std::size_t N>
void add_attraction_block(const double* e, std::size_t first, Matrix& h) {
    for (std::size_t mu = 0; mu < N; ++mu) {
        for (std::size_t nu = 0; nu <= mu; ++nu) {
            double& entry = h(first + mu, first + nu);
            entry += e[packed_pair_index(mu, nu)];
            if (mu != nu) h(first + nu, first + mu) = entry;
        }
    }
}

void add_attraction(const double* e, std::size_t norb, std::size_t first, Matrix& h) {
    switch (norb) {
        case 1: add_attraction_block<1>(e, first, h); break;
        case 4: add_attraction_block<4>(e, first, h); break;
        case 9: add_attraction_block<9>(e, first, h); break;
        default: break;
    }
}

// Coulomb and exchange terms of one record; NA and NB fixed so that the sp
// combinations unroll with constant packed indices.
template <std::size_t NA, std::size_t NB>
void add_pair_fock(const DiatomicPairIntegrals& rec, const Matrix& p, Matrix& f) {
    constexpr std::size_t kPA = n_pairs(NA);
    constexpr std::size_t kPB = n_pairs(NB);
    const double* w = rec.w.data();
    const std::size_t a = rec.first_orbital_a;
    const std::size_t b = rec.first_orbital_b;

    // Densities over packed pairs, both orders of an off-diagonal pair summed.
    double pa[kPA];
    double pb[kPB];
    for (std::size_t k = 0; k < kPA; ++k) {
        const std::size_t mu = kPairOrbitals.mu[k], nu = kPairOrbitals.nu[k];
        pa[k] = mu == nu ? p(a + mu, a + mu) : p(a + mu, a + nu) + p(a + nu, a + mu);
    }
    for (std::size_t k = 0; k < kPB; ++k) {
        const std::size_t la = kPairOrbitals.mu[k], si = kPairOrbitals.nu[k];
        pb[k] = la == si ? p(b + la, b + la) : p(b + la, b + si) + p(b + si, b + la);
    }

    // Coulomb on A.
    for (std::size_t k = 0; k < kPA; ++k) {
        const double* row = w + k * kPB;
        double sum = 0.0;
        for (std::size_t q = 0; q < kPB; ++q) sum += row[q] * pb[q];
        const std::size_t mu = kPairOrbitals.mu[k], nu = kPairOrbitals.nu[k];
        double& entry = f(a + mu, a + nu);
        entry += sum;
        f(a + nu, a + mu) = entry;
    }
    // Coulomb on B.
    for (std::size_t q = 0; q < kPB; ++q) {
        double sum = 0.0;
        for (std::size_t k = 0; k < kPA; ++k) sum += w[k * kPB + q] * pa[k];
        const std::size_t la = kPairOrbitals.mu[q], si = kPairOrbitals.nu[q];
        double& entry = f(b + la, b + si);
        entry += sum;
        f(b + si, b + la) = entry;
    }
    // Exchange between A and B.
    for (std::size_t mu = 0; mu < NA; ++mu) {
        for (std::size_t la = 0; la < NB; ++la) {
            double sum = 0.0;
            for (std::size_t nu = 0; nu < NA; ++nu) {
                const double* row = w + packed_pair_index(mu, nu) * kPB;
                const double* prow = p.row(a + nu) + b;
                for (std::size_t si = 0; si < NB; ++si) sum += prow[si] * row[packed_pair_index(la, si)];
            }
            double& entry = f(a + mu, b + la);
            entry -= 0.5 * sum;
            f(b + la, a + mu) = entry;
        }
    }
}

}  // namespace

void apply_electron_nuclear_attractions(std::span<const DiatomicPairIntegrals> pairs,
                                        Matrix& core_hamiltonian) {
    const std::size_t n = core_hamiltonian.rows();
    check_square(core_hamiltonian, n);
    for (const DiatomicPairIntegrals& rec : pairs) {
        if (!record_fits(rec, n, false)) throw EngineStop("Pair record does not match the basis");
        add_attraction(rec.e1b.data(), rec.norb_a, rec.first_orbital_a, core_hamiltonian);
        add_attraction(rec.e2a.data(), rec.norb_b, rec.first_orbital_b, core_hamiltonian);
    }
}

void assemble_nddo_two_center_fock(std::span<const DiatomicPairIntegrals> pairs,
                                   const Matrix& density, Matrix& fock) {
    const std::size_t n = fock.rows();
    check_square(fock, n);
    check_square(density, n);
    for (const DiatomicPairIntegrals& rec : pairs) {
        if (!record_fits(rec, n, true)) throw EngineStop("Pair record does not match the basis");
        switch (rec.norb_a * 16 + rec.norb_b) {
            case 1 * 16 + 1: add_pair_fock<1, 1>(rec, density, fock); break;
            case 1 * 16 + 4: add_pair_fock<1, 4>(rec, density, fock); break;
            case 4 * 16 + 1: add_pair_fock<4, 1>(rec, density, fock); break;
            case 4 * 16 + 4: add_pair_fock<4, 4>(rec, density, fock); break;
            case 1 * 16 + 9: add_pair_fock<1, 9>(rec, density, fock); break;
            case 9 * 16 + 1: add_pair_fock<9, 1>(rec, density, fock); break;
            case 4 * 16 + 9: add_pair_fock<4, 9>(rec, density, fock); break;
            case 9 * 16 + 4: add_pair_fock<9, 4>(rec, density, fock); break;
            case 9 * 16 + 9: add_pair_fock<9, 9>(rec, density, fock); break;
            default: break;
        }
    }
}

}  // namespace quorin
