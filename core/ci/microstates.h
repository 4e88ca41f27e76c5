#pragma once
// Determinants of an active window at fixed spin projection (microstates) and
// the sign rules of moving one electron between two active orbitals. Spin
// orbitals are ordered alpha 0, beta 0, alpha 1, beta 1, ... throughout the
// configuration-interaction code.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorin {

// One 0/1 entry per active orbital, window order (index 0 the lowest MO).
using OccupationString = std::vector<std::uint8_t>;

struct Microstate {
    OccupationString alpha;
    OccupationString beta;
    double diagonal_energy = 0.0;  // eV, absolute diagonal CI energy
};

// Largest number of microstates a CI may hold (8 electrons in 8 orbitals
// give 4,900): the CI, eigenvector and S^2 matrices grow as its square.
inline constexpr std::size_t kMaxMicrostates = 5000;

// Every string of length n with k ones, in lexicographic order of the sorted
// index sets; k = 0 gives one all-zero string, k > n none.
std::vector<OccupationString> generate_combinations(std::size_t n, std::size_t k);

// All determinants of n_electrons in n_active orbitals with 2 Ms = two_ms:
// alpha strings outer, beta strings inner. Empty when no determinant exists.
std::vector<Microstate> generate_microstates(std::size_t n_active, std::int32_t n_electrons, std::int32_t two_ms);

// binomial(n, ceil(N/2)) * binomial(n, floor(N/2)), or SIZE_MAX when the
// count does not fit in a size_t.
std::size_t count_microstates(std::size_t n_active, std::size_t n_electrons);

// Electrons of either spin in the orbitals strictly between p and q (p < q).
int electrons_between(const OccupationString& alpha, const OccupationString& beta, std::size_t p, std::size_t q);

// Sign of moving one alpha (or beta) electron between orbitals p < q in the
// determinant whose strings are given (the same for either end of the move).
double alpha_move_sign(const OccupationString& alpha, const OccupationString& beta, std::size_t p, std::size_t q);
double beta_move_sign(const OccupationString& alpha, const OccupationString& beta, std::size_t p, std::size_t q);

// Number of orbitals where two strings differ.
std::size_t count_differences(const OccupationString& a, const OccupationString& b);

// The first two orbitals (p < q) where two strings differing in exactly two
// places differ.
struct OrbitalPair {
    std::size_t p = 0;
    std::size_t q = 0;
};
OrbitalPair first_two_differences(const OccupationString& a, const OccupationString& b);

}  // namespace quorin
