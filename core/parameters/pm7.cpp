#include "core/parameters/pm7.h"

#include <algorithm>

#include "core/parameters/d_element_params.h"
#include "core/parameters/parameter_tables.h"
#include "core/types/constants.h"

namespace quorin {

namespace {

bool in_pm7_pair_set(std::uint8_t z) { return (z >= 1 && z <= 57) || (z >= 71 && z <= 83); }

}  // namespace

std::pair<double, double> get_pm7_pair_params(std::uint8_t za, std::uint8_t zb) {
    const std::uint8_t lo = std::min(za, zb);
    const std::uint8_t hi = std::max(za, zb);
    if (!in_pm7_pair_set(hi)) return {0.0, 0.0};
    if (tables::pm7_pair_has_own_entry(hi, lo)) {
        // An own entry whose published value is not in the tables has no
        // parameters here; the repulsion then falls back to its default form.
        if (const tables::PairParams* p = tables::pm7_pair(hi, lo)) return {p->alpha, p->x};
        return {0.0, 0.0};
    }
    if (!in_pm7_pair_set(lo)) return {0.0, 0.0};
    const tables::PairParams* hh = tables::pm7_pair(hi, hi);
    const tables::PairParams* ll = tables::pm7_pair(lo, lo);
    if (hh == nullptr || ll == nullptr || !(hh->x > 1e-5)) return {0.0, 0.0};
    return {(hh->alpha + ll->alpha) / 2.0, (hh->x + ll->x) / 2.0};
}

double pm7_core_radius_angstrom(const ElementParams& element) {
    if (element.zeta_d > 1e-8) {
        for (const tables::DElementRow& row : pm7_d_element_rows()) {
            if (row.atomic_number == element.atomic_number && row.rho_core > 1e-5) {
                return row.rho_core * kBohrToAngstrom;
            }
        }
    }
    return kCoulombEvAngstrom / (2.0 * element.g_ss);
}

}  // namespace quorin
