#include "core/integrals/overlap.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "core/integrals/d_rotation.h"
#include "core/types/constants.h"

namespace quorin {

namespace {

// Highest power of either spheroidal coordinate in an overlap integrand;
// principal quantum numbers with nA + nB above this give no overlap.
constexpr std::size_t kMaxDegree = 20;
constexpr std::size_t kMaxQuantumNumber = 10;

// (n_s, n_p, n_d) by atomic number; 0 marks an absent shell.
struct ShellQuantumNumbers {
    std::uint8_t s, p, d;
};

constexpr std::size_t kQuantumTableSize = 108;

constexpr std::array<ShellQuantumNumbers, kQuantumTableSize> make_quantum_table() {
    std::array<ShellQuantumNumbers, kQuantumTableSize> t{};
    const auto set = [&t](std::size_t lo, std::size_t hi, std::uint8_t s, std::uint8_t p, std::uint8_t d) {
        for (std::size_t z = lo; z <= hi; ++z) t[z] = {s, p, d};
    };
    set(1, 1, 1, 1, 0);
    set(2, 2, 1, 2, 0);
    set(3, 9, 2, 2, 0);
    set(10, 10, 3, 2, 0);
    set(11, 17, 3, 3, 3);
    set(18, 18, 4, 3, 4);
    set(19, 29, 4, 4, 3);
    set(30, 35, 4, 4, 4);
    set(36, 36, 5, 4, 5);
    set(37, 47, 5, 5, 4);
    set(48, 53, 5, 5, 5);
    set(54, 54, 6, 5, 6);
    set(55, 79, 6, 6, 5);
    set(80, 85, 6, 6, 6);
    set(86, 86, 7, 6, 7);
    set(98, 98, 1, 0, 0);
    set(102, 102, 3, 0, 0);
    return t;
}

constexpr std::array<ShellQuantumNumbers, kQuantumTableSize> kQuantumNumbers = make_quantum_table();

// Quantum number used for shell l: the table entry, at least l + 1.
std::size_t shell_quantum_number(std::uint8_t z, std::size_t l) {
    const ShellQuantumNumbers q = kQuantumNumbers[z];
    const std::size_t entry = l == 0 ? q.s : (l == 1 ? q.p : q.d);
    return std::max(entry, l + 1);
}

double factorial(std::size_t n) {
    double f = 1.0;
    for (std::size_t k = 2; k <= n; ++k) f *= static_cast<double>(k);
    return f;
}

// B_k(x), k = 0..kmax, by the power series for small |x| and upward
// recursion otherwise. The series is summed until its terms no longer change
// the sum: a fixed short cut-off (or the x = 0 limit used for tiny |x|) leaves
// relative errors of up to a few 1e-6, which reach the overlaps and energies.
void bfn_to(double* out, std::size_t kmax, double x) {
    const double ax = std::abs(x);
    if (ax <= 3.0) {
        // The surviving terms of one B_k all have the same sign, so the sum is
        // complete once a term drops below the last bit; |x|^i / i! does so
        // before i = 40 for |x| <= 3.
        constexpr std::size_t kLastTerm = 40;
        for (std::size_t k = 0; k <= kmax; ++k) {
            double sum = 0.0;
            double term = 1.0;  // (-x)^i / i!
            for (std::size_t i = 0; i <= kLastTerm; ++i) {
                if ((k + i) % 2 == 0) {
                    const double add = term * 2.0 / static_cast<double>(k + i + 1);
                    sum += add;
                    if (static_cast<double>(i) > ax && std::abs(add) <= 1e-17 * std::abs(sum)) break;
                }
                term *= -x / static_cast<double>(i + 1);
            }
            out[k] = sum;
        }
        return;
    }
    const double ep = std::exp(x);
    const double em = std::exp(-x);
    out[0] = (ep - em) / x;
    for (std::size_t k = 1; k <= kmax; ++k) {
        const double sign = k % 2 == 0 ? 1.0 : -1.0;
        out[k] = (static_cast<double>(k) * out[k - 1] + sign * ep - em) / x;
    }
}

// A_k(p) = integral of s^k exp(-p s) over [1, inf), k = 0..kmax.
void afn_to(double* out, std::size_t kmax, double p) {
    const double a0 = std::exp(-p) / p;
    out[0] = a0;
    for (std::size_t k = 1; k <= kmax; ++k) out[k] = a0 + static_cast<double>(k) / p * out[k - 1];
}

// Polynomial in the prolate spheroidal coordinates xi (first index) and eta.
template <std::size_t D>
struct SpheroidalPolynomial {
    double c[D + 1][D + 1]{};
    std::size_t deg_xi = 0;
    std::size_t deg_eta = 0;

    constexpr void set_one() {
        deg_xi = 0;
        deg_eta = 0;
        c[0][0] = 1.0;
    }
};

struct Monomial {
    std::size_t i;  // power of xi
    std::size_t j;  // power of eta
    double coef;
};

// In-place product with a short sum of monomials; walking the coefficients
// downwards reads every old value before it is overwritten.
template <std::size_t D, std::size_t K>
constexpr void multiply(SpheroidalPolynomial<D>& poly, const Monomial (&factor)[K]) {
    std::size_t fi = 0, fj = 0;
    for (const Monomial& m : factor) {
        fi = std::max(fi, m.i);
        fj = std::max(fj, m.j);
    }
    const std::size_t new_xi = poly.deg_xi + fi;
    const std::size_t new_eta = poly.deg_eta + fj;
    for (std::size_t i = new_xi + 1; i-- > 0;) {
        for (std::size_t j = new_eta + 1; j-- > 0;) {
            double sum = 0.0;
            for (const Monomial& m : factor) {
                if (i < m.i || j < m.j) continue;
                const std::size_t si = i - m.i, sj = j - m.j;
                if (si <= poly.deg_xi && sj <= poly.deg_eta) sum += m.coef * poly.c[si][sj];
            }
            poly.c[i][j] = sum;
        }
    }
    poly.deg_xi = new_xi;
    poly.deg_eta = new_eta;
}

// Integrand of the local overlap in units of R/2: r^(n-1) and the angular
// factor of each function (A with sign +1, B with sign -1 and its z axis
// towards A), rho^(2m), and the volume factor xi^2 - eta^2. With
// r = xi +- eta, z = 1 +- xi eta, rho^2 = (xi^2 - 1)(1 - eta^2).
template <std::size_t D>
constexpr void multiply_orbital(SpheroidalPolynomial<D>& poly, std::size_t n, std::size_t l,
                                std::size_t m, double sign) {
    const Monomial radial[] = {{1, 0, 1.0}, {0, 1, sign}};
    const Monomial axial[] = {{0, 0, 1.0}, {1, 1, sign}};
    // 3 z^2 - r^2
    const Monomial d_sigma[] = {{0, 0, 3.0}, {1, 1, 4.0 * sign}, {2, 2, 3.0}, {2, 0, -1.0}, {0, 2, -1.0}};
    for (std::size_t k = 0; k + l + 1 < n; ++k) multiply(poly, radial);
    if ((l == 1 && m == 0) || (l == 2 && m == 1)) multiply(poly, axial);
    if (l == 2 && m == 0) multiply(poly, d_sigma);
}

template <std::size_t D>
constexpr SpheroidalPolynomial<D> overlap_integrand(std::size_t na, std::size_t nb, std::size_t la,
                                                    std::size_t lb, std::size_t m) {
    SpheroidalPolynomial<D> poly;
    poly.set_one();
    multiply_orbital(poly, na, la, m, 1.0);
    multiply_orbital(poly, nb, lb, m, -1.0);
    const Monomial xi_part[] = {{2, 0, 1.0}, {0, 0, -1.0}};
    const Monomial eta_part[] = {{0, 0, 1.0}, {0, 2, -1.0}};
    for (std::size_t k = 0; k < m; ++k) {
        multiply(poly, xi_part);
        multiply(poly, eta_part);
    }
    const Monomial volume[] = {{2, 0, 1.0}, {0, 2, -1.0}};
    multiply(poly, volume);
    return poly;
}

template <std::size_t D>
double contract(const SpheroidalPolynomial<D>& poly, const double* a_fn, const double* b_fn) {
    double integral = 0.0;
    for (std::size_t i = 0; i <= poly.deg_xi; ++i) {
        double row = 0.0;
        for (std::size_t j = 0; j <= poly.deg_eta; ++j) row += poly.c[i][j] * b_fn[j];
        integral += row * a_fn[i];
    }
    return integral;
}

// Angular normalisation of the real harmonic (l, |m|) as written in terms of
// z, rho = r sin(theta) and r (the cos(m phi) factor kept apart).
double angular_norm(std::size_t l, std::size_t m) {
    constexpr double pi = std::numbers::pi;
    if (l == 0) return std::sqrt(1.0 / (4.0 * pi));
    if (l == 1) return std::sqrt(3.0 / (4.0 * pi));
    if (m == 0) return std::sqrt(5.0 / (16.0 * pi));
    if (m == 1) return std::sqrt(15.0 / (4.0 * pi));
    return std::sqrt(15.0 / (16.0 * pi));
}

// Radial normalisation (2 zeta)^(n + 1/2) / sqrt((2n)!) of a Slater function.
double slater_norm(std::size_t n, double zeta) {
    return std::pow(2.0 * zeta, static_cast<double>(n) + 0.5) / std::sqrt(factorial(2 * n));
}

// Normalisation, azimuthal integral and (R/2)^(nA+nB+1) of a local overlap;
// norm_a and norm_b are the slater_norm of the two functions.
double overlap_prefactor(std::size_t na, std::size_t nb, std::size_t la, std::size_t lb, std::size_t m,
                         double norm_a, double norm_b, double r_bohr) {
    const double azimuthal = m == 0 ? 2.0 * std::numbers::pi : std::numbers::pi;
    return norm_a * norm_b * angular_norm(la, m) * angular_norm(lb, m) * azimuthal *
           std::pow(0.5 * r_bohr, static_cast<double>(na + nb + 1));
}

// Local overlap from precomputed A_k(p) and B_k(t); arguments already checked.
double local_overlap(std::size_t na, std::size_t nb, std::size_t la, std::size_t lb, std::size_t m,
                     double norm_a, double norm_b, double r_bohr, const double* a_fn, const double* b_fn) {
    const SpheroidalPolynomial<kMaxDegree> poly = overlap_integrand<kMaxDegree>(na, nb, la, lb, m);
    return overlap_prefactor(na, nb, la, lb, m, norm_a, norm_b, r_bohr) * contract(poly, a_fn, b_fn);
}

bool overlap_arguments_valid(std::size_t na, std::size_t nb, std::size_t la, std::size_t lb, std::size_t m,
                             double zeta_a, double zeta_b) {
    if (la > 2 || lb > 2 || m > la || m > lb) return false;
    if (na < la + 1 || nb < lb + 1 || na > kMaxQuantumNumber || nb > kMaxQuantumNumber) return false;
    if (na + nb > kMaxDegree) return false;
    return zeta_a > 0.0 && zeta_b > 0.0;
}

// Sign taking B's local harmonic (l, |m|), defined with B's axis towards A,
// into the common A->B frame.
double reflection_sign(std::size_t l, std::size_t m) { return (l + m) % 2 == 0 ? 1.0 : -1.0; }

// Least-squares expansions of the unit-exponent Slater functions 1s, 2s, 3s
// (in s-type Gaussians exp(-a r^2)) and 2p, 3p (in p-type Gaussians
// x exp(-a r^2)) in six normalised primitives each: the exponents and
// coefficients maximise the overlap of the normalised expansion with the
// Slater function (1 - S is 1.2e-6, 3.3e-7, 2.7e-7, 2.0e-8 and 4.0e-8). A
// function of exponent zeta uses a zeta^2. The s and p overlaps among H,
// Li..F and Na..Cl are taken over these expansions, as the methods'
// established energies are; d shells and all other pairs keep the exact
// Slater overlaps of the general path.
constexpr std::size_t kGaussians = 6;
constexpr SlaterGaussianExpansion kSixGaussian[5] = {
    {{23.1030850458, 4.23591302534, 1.18505428835, 0.407098114207, 0.158088168338, 0.0651094663625},
     {0.00916358414934, 0.0493616029302, 0.168538708582, 0.370563156292, 0.416491120855, 0.130333638805}},
    {{27.6851530552, 5.0771566951, 1.42678867047, 0.204033345976, 0.092602879795, 0.0441617918137},
     {-0.00415125321548, -0.0206701975786, -0.051503048383, 0.334627900062, 0.562105907986, 0.171298856088}},
    {{5.86828276139, 1.53032983971, 0.547566700724, 0.228893285192, 0.104665589814, 0.0494821966814},
     {0.00792423835564, 0.0514410103334, 0.189839964495, 0.404986418458, 0.401236290721, 0.105185489653}},
    {{3.27303193712, 0.920061130425, 0.359334976346, 0.0863668699489, 0.047973738157, 0.0272474114547},
     {-0.00677559695699, -0.0563932578478, -0.158785608589, 0.553452764419, 0.501535102544, 0.0722363369958}},
    {{5.07797360964, 1.34078694, 0.224843485002, 0.11317418493, 0.0607640889883, 0.0331542426855},
     {-0.00332992983855, -0.0141948833978, 0.163939576809, 0.448535825034, 0.390881305443, 0.0741145626668}},
};

// Slot of kSixGaussian for the Slater function (n, l), n = 1..3, l = 0..1.
std::size_t expansion_slot(std::size_t n, std::size_t l) {
    if (l == 1) return n <= 2 ? 2 : 4;
    return n == 1 ? 0 : (n == 2 ? 1 : 3);
}

// The Slater shell (n, l) of an expanded atom for the exponent zeta.
GaussianShell scale_shell(std::size_t n, std::size_t l, double zeta) {
    GaussianShell s{};
    s.present = zeta > 0.0;
    const bool p = l == 1;
    const SlaterGaussianExpansion& e = kSixGaussian[expansion_slot(n, l)];
    for (std::size_t i = 0; i < kGaussians; ++i) {
        const double a = e.exponent[i] * zeta * zeta;
        const double x = 2.0 * a / std::numbers::pi;
        const double norm = std::sqrt(x * std::sqrt(x)) * (p ? 2.0 * std::sqrt(a) : 1.0);
        s.exponent[i] = a;
        s.coefficient[i] = e.coefficient[i] * norm;
    }
    return s;
}

// Atoms whose s and p overlaps go through the Gaussian expansions.
bool is_expanded(std::uint8_t z) { return z == 1 || (z >= 3 && z <= 9) || (z >= 11 && z <= 17); }

// Sigma (value[0]) and pi (value[1]) overlaps of two expanded shells at
// r_bohr, each p function with its local axis pointing at the other atom.
// `p_a`, `p_b`: whether each shell is a p shell.
void gaussian_local_overlap(const GaussianShell& sa, bool p_a, const GaussianShell& sb, bool p_b, double r_bohr,
                            double (&value)[2]) {
    value[0] = value[1] = 0.0;
    if (!sa.present || !sb.present) return;
    const double r2 = r_bohr * r_bohr;
    for (std::size_t i = 0; i < kGaussians; ++i) {
        for (std::size_t j = 0; j < kGaussians; ++j) {
            const double a = sa.exponent[i], b = sb.exponent[j], p = a + b;
            const double exponent = a * b / p * r2;
            if (exponent > 36.0) continue;  // exp(-36) = 2e-16: the term is below rounding
            const double q = std::numbers::pi / p;
            const double s00 = sa.coefficient[i] * sb.coefficient[j] * q * std::sqrt(q) * std::exp(-exponent);
            if (!p_a && !p_b) {
                value[0] += s00;
            } else if (!p_a) {
                value[0] += a / p * r_bohr * s00;
            } else if (!p_b) {
                value[0] += b / p * r_bohr * s00;
            } else {
                value[0] += (a * b / (p * p) * r2 - 0.5 / p) * s00;
                value[1] += 0.5 / p * s00;
            }
        }
    }
}

// The sp block of two expanded atoms from their Gaussian expansions.
void expanded_overlap_block(const SlaterNorms& norms_a, const SlaterNorms& norms_b, double cos_x, double cos_y,
                         double cos_z, std::span<double, 16> out, double r) {
    std::fill(out.begin(), out.end(), 0.0);
    const double r_bohr = r / kBohrToAngstrom;
    const GaussianShell& s_a = norms_a.gaussian[0];
    const GaussianShell& p_a = norms_a.gaussian[1];
    const GaussianShell& s_b = norms_b.gaussian[0];
    const GaussianShell& p_b = norms_b.gaussian[1];
    double ss[2], sp[2], ps[2], pp[2];
    gaussian_local_overlap(s_a, false, s_b, false, r_bohr, ss);
    gaussian_local_overlap(s_a, false, p_b, true, r_bohr, sp);
    gaussian_local_overlap(p_a, true, s_b, false, r_bohr, ps);
    gaussian_local_overlap(p_a, true, p_b, true, r_bohr, pp);

    // B's p functions point at A in the local integrals: its sigma part
    // changes sign in the common frame, its pi part does not.
    const double dir[3] = {cos_x, cos_y, cos_z};
    out[0] = ss[0];
    for (std::size_t k = 0; k < 3; ++k) {
        out[k + 1] = -dir[k] * sp[0];
        out[(k + 1) * 4] = dir[k] * ps[0];
        for (std::size_t l = 0; l < 3; ++l) {
            const double sigma = dir[k] * dir[l];
            out[(k + 1) * 4 + l + 1] = -sigma * pp[0] + ((k == l ? 1.0 : 0.0) - sigma) * pp[1];
        }
    }
}

}  // namespace

void bfn(std::span<double, 13> out, double x) { bfn_to(out.data(), 12, x); }

const SlaterGaussianExpansion& slater_gaussian_expansion(std::size_t n, std::size_t l) {
    return kSixGaussian[expansion_slot(n, l)];
}

SlaterNorms slater_norms(std::uint8_t z, const ElementParams& params) {
    SlaterNorms norms;
    if (z >= kQuantumTableSize) return norms;
    norms.shell = {slater_norm(shell_quantum_number(z, 0), params.zeta_s),
                   slater_norm(shell_quantum_number(z, 1), params.zeta_p),
                   slater_norm(shell_quantum_number(z, 2), std::max(params.zeta_d, 0.3))};
    if (is_expanded(z))
        norms.gaussian = {scale_shell(shell_quantum_number(z, 0), 0, params.zeta_s),
                          scale_shell(shell_quantum_number(z, 1), 1, params.zeta_p)};
    return norms;
}

void compute_diatomic_overlap_block_analytical(std::uint8_t z_a, std::uint8_t z_b,
                                               const ElementParams& params_a,
                                               const ElementParams& params_b, double cos_x,
                                               double cos_y, double cos_z, std::span<double, 16> out,
                                               double r) {
    expanded_overlap_block(slater_norms(z_a, params_a), slater_norms(z_b, params_b), cos_x, cos_y, cos_z, out, r);
}

double slater_overlap_ss(std::size_t n_a, std::size_t n_b, std::size_t l_a_plus_1,
                         std::size_t l_b_plus_1, std::size_t m_plus_1, double zeta_a, double zeta_b,
                         double r) {
    const double r_bohr = r / kBohrToAngstrom;
    if (!(r_bohr >= 1e-12)) return 0.0;
    if (l_a_plus_1 == 0 || l_b_plus_1 == 0 || m_plus_1 == 0) return 0.0;
    const std::size_t la = l_a_plus_1 - 1, lb = l_b_plus_1 - 1, m = m_plus_1 - 1;
    if (!overlap_arguments_valid(n_a, n_b, la, lb, m, zeta_a, zeta_b)) return 0.0;
    const std::size_t kmax = n_a + n_b;
    double a_fn[kMaxDegree + 1];
    double b_fn[kMaxDegree + 1];
    afn_to(a_fn, kmax, 0.5 * (zeta_a + zeta_b) * r_bohr);
    bfn_to(b_fn, kmax, 0.5 * (zeta_a - zeta_b) * r_bohr);
    return local_overlap(n_a, n_b, la, lb, m, slater_norm(n_a, zeta_a), slater_norm(n_b, zeta_b), r_bohr, a_fn,
                         b_fn);
}

double diatomic_rotation_coe(std::size_t norb_a, std::size_t norb_b,
                             OverlapRotationCoefficients& coefficients, double& distance, double dx,
                             double dy, double dz) {
    coefficients = {};
    const double rxy = std::sqrt(dx * dx + dy * dy);
    const double r = std::sqrt(dx * dx + dy * dy + dz * dz);
    distance = r;
    double sin_theta, cos_theta, sin_phi, cos_phi;
    if (rxy >= 1e-10) {
        cos_phi = dx / rxy;
        sin_phi = dy / rxy;
        sin_theta = rxy / r;
        cos_theta = dz / r;
    } else {
        sin_theta = 0.0;
        cos_theta = dz > 0.0 ? 1.0 : (dz < 0.0 ? -1.0 : 0.0);
        sin_phi = 0.0;
        cos_phi = cos_theta;
    }
    coefficients[1][1][1] = 1.0;
    const std::size_t norb = std::max(norb_a, norb_b);
    const std::array<double, 3> ez = {sin_theta * cos_phi, sin_theta * sin_phi, cos_theta};
    const std::array<double, 3> ex = {cos_theta * cos_phi, cos_theta * sin_phi, -sin_theta};
    const std::array<double, 3> ey = {-sin_phi, cos_phi, 0.0};
    if (norb >= 2) {
        for (std::size_t k = 0; k < 3; ++k) {
            coefficients[2][k + 1][1] = ez[k];
            coefficients[2][k + 1][2] = ex[k];
            coefficients[2][k + 1][3] = ey[k];
        }
    }
    if (norb >= 5) {
        const auto d_block = d_rotation_block(ex, ey, ez);
        for (std::size_t mu = 0; mu < 5; ++mu) {
            for (std::size_t k = 0; k < 5; ++k) coefficients[3][mu + 1][k + 1] = d_block[k][mu];
        }
    }
    return 1.0;
}

void compute_diatomic_overlap_matrix_9x9(std::uint8_t z_a, std::uint8_t z_b, std::size_t norb_a,
                                         std::size_t norb_b, const ElementParams& params_a,
                                         const ElementParams& params_b, std::span<double, 81> out,
                                         double dx, double dy, double dz, double r) {
    compute_diatomic_overlap_matrix_9x9(z_a, z_b, norb_a, norb_b, params_a, params_b, slater_norms(z_a, params_a),
                                        slater_norms(z_b, params_b), out, dx, dy, dz, r);
}

void compute_diatomic_overlap_matrix_9x9(std::uint8_t z_a, std::uint8_t z_b, std::size_t norb_a,
                                         std::size_t norb_b, const ElementParams& params_a,
                                         const ElementParams& params_b, const SlaterNorms& norms_a,
                                         const SlaterNorms& norms_b, std::span<double, 81> out, double dx,
                                         double dy, double dz, double r) {
    std::fill(out.begin(), out.end(), 0.0);
    if (!(r >= 1e-10) || r > 20.0) return;

    // Two expanded atoms: the sp block from the Gaussian expansions, then the
    // shell pairs with a d shell (9-orbital atoms) from the general path.
    const bool expanded_sp = is_expanded(z_a) && is_expanded(z_b);
    if (expanded_sp) {
        std::array<double, 16> block{};
        expanded_overlap_block(norms_a, norms_b, dx / r, dy / r, dz / r, block, r);
        for (std::size_t i = 0; i < std::min<std::size_t>(norb_a, 4); ++i)
            for (std::size_t j = 0; j < std::min<std::size_t>(norb_b, 4); ++j) out[i * 9 + j] = block[i * 4 + j];
        if (norb_a <= 4 && norb_b <= 4) return;
    }

    if (z_a >= kQuantumTableSize || z_b >= kQuantumTableSize) return;
    if (kQuantumNumbers[z_a].s == 0 || kQuantumNumbers[z_b].s == 0) return;

    OverlapRotationCoefficients coe;
    double distance = 0.0;
    diatomic_rotation_coe(norb_a, norb_b, coe, distance, dx, dy, dz);
    if (distance < 0.001) return;

    const double zeta_a[3] = {params_a.zeta_s, params_a.zeta_p, std::max(params_a.zeta_d, 0.3)};
    const double zeta_b[3] = {params_b.zeta_s, params_b.zeta_p, std::max(params_b.zeta_d, 0.3)};
    // Shells present: those allowed by the quantum-number table and by the AO count.
    const auto shell_limit = [](std::uint8_t z, std::size_t norb) {
        const std::size_t by_table = std::min<std::size_t>(kQuantumNumbers[z].s, 2);
        const std::size_t by_count = norb >= 9 ? 2 : (norb >= 4 ? 1 : 0);
        return std::min(by_table, by_count);
    };
    const std::size_t max_la = shell_limit(z_a, norb_a);
    const std::size_t max_lb = shell_limit(z_b, norb_b);
    const double r_bohr = r / kBohrToAngstrom;
    constexpr std::size_t kFirstAo[3] = {0, 1, 4};

    for (std::size_t la = 0; la <= max_la; ++la) {
        const std::size_t na = shell_quantum_number(z_a, la);
        for (std::size_t lb = 0; lb <= max_lb; ++lb) {
            if (expanded_sp && la < 2 && lb < 2) continue;
            const std::size_t nb = shell_quantum_number(z_b, lb);
            const std::size_t m_max = std::min(la, lb);
            double local[3] = {0.0, 0.0, 0.0};
            if (overlap_arguments_valid(na, nb, la, lb, 0, zeta_a[la], zeta_b[lb])) {
                double a_fn[kMaxDegree + 1];
                double b_fn[kMaxDegree + 1];
                afn_to(a_fn, na + nb, 0.5 * (zeta_a[la] + zeta_b[lb]) * r_bohr);
                bfn_to(b_fn, na + nb, 0.5 * (zeta_a[la] - zeta_b[lb]) * r_bohr);
                for (std::size_t m = 0; m <= m_max; ++m)
                    local[m] = reflection_sign(lb, m) *
                               local_overlap(na, nb, la, lb, m, norms_a.shell[la], norms_b.shell[lb], r_bohr,
                                             a_fn, b_fn);
            }
            // Local harmonic k of shell l: 1 sigma, 2-3 pi, 4-5 delta.
            const auto m_of = [](std::size_t k) { return k == 1 ? 0 : (k <= 3 ? 1 : 2); };
            for (std::size_t ia = 1; ia <= 2 * la + 1; ++ia) {
                const std::size_t mu = kFirstAo[la] + ia - 1;
                for (std::size_t ib = 1; ib <= 2 * lb + 1; ++ib) {
                    const std::size_t nu = kFirstAo[lb] + ib - 1;
                    double sum = 0.0;
                    for (std::size_t k = 1; k <= 2 * m_max + 1; ++k)
                        sum += coe[la + 1][ia][k] * coe[lb + 1][ib][k] * local[m_of(k)];
                    out[mu * 9 + nu] += sum;
                }
            }
        }
    }
}

}  // namespace quorin
