#pragma once
// Constant parameter tables of the six methods, generated from data/params
// by tools/gen_params.py (parameter_tables.generated.cpp). Lookups are a
// 256-entry index into constant arrays: no allocation, no search.
#include <cstddef>
#include <cstdint>

#include "core/parameters/parameter_model.h"

namespace quorin::tables {

// Diatomic core-core parameters: exponent alpha_AB (1/angstrom), scale x_AB.
struct PairParams {
    double alpha = 0.0;
    double x = 0.0;
};

// One d-element row: the exponents of the one-centre integrals and the
// published Slater-Condon values and core term (0 where the row gives none).
struct DElementRow {
    double zeta_s_one_center = 0.0;  // bohr^-1
    double zeta_p_one_center = 0.0;
    double zeta_d_one_center = 0.0;
    double f0_sd = 0.0;  // eV
    double g2_sd = 0.0;  // eV
    std::uint64_t atomic_number = 0;
    double rho_core = 0.0;  // bohr
};

// Element records by Z; nullptr when the method has no record.
const ElementParams* mndo_record(std::uint8_t z);
const ElementParams* am1_record(std::uint8_t z);
const ElementParams* pm3_record(std::uint8_t z);
const ElementParams* rm1_record(std::uint8_t z);
const ElementParams* pm6_record(std::uint8_t z);
const ElementParams* pm7_record(std::uint8_t z);

// PM6 pair entry for hi >= lo; nullptr when the pair has none.
const PairParams* pm6_pair(std::uint8_t hi, std::uint8_t lo);
// Whether the PM7 pair (hi >= lo) has an entry of its own, with or without an
// available value.
bool pm7_pair_has_own_entry(std::uint8_t hi, std::uint8_t lo);
// Value of the PM7 pair's own entry (hi >= lo); nullptr when there is none or
// its value is not available.
const PairParams* pm7_pair(std::uint8_t hi, std::uint8_t lo);

// PM6 d-element row by Z; nullptr when the element has none.
const DElementRow* pm6_d_row(std::uint8_t z);

}  // namespace quorin::tables
