// Field and point charges in the SCF. For a converged SCF the derivative of
// the energy with respect to a perturbation strength is the expectation value
// of the perturbation (Hellmann-Feynman), so finite differences of SCF
// energies must equal tr(P dH) + dE_core computed from the density alone.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "core/hamiltonian/external_charges.h"
#include "core/hamiltonian/hcore.h"
#include "core/scf/scf_loop.h"
#include "core/types/constants.h"
#include "common/molecules.h"

namespace quorin {
namespace {

const MndoModel kMndo;
const Am1Model kAm1;
const Pm6Model kPm6;

struct Converged {
    double energy;
    Matrix density;
};

Converged run(const MolecularBatch& m, const ParameterModel& model, ScfOptions o) {
    o.energy_tolerance = 1e-11;
    o.density_tolerance = 1e-10;
    o.max_iterations = 300;
    ScfWorkspace ws = ScfWorkspace::allocate(m.n_basis);
    const ScfResult r = run_rhf_scf_with_options(m, model, ws, o);
    EXPECT_TRUE(r.converged);
    return {r.total_energy, ws.density};
}

double central_difference(const std::function<double(double)>& energy, double x0) {
    const double h = 2e-3;
    return (energy(x0 + h) - energy(x0 - h)) / (2.0 * h);
}

TEST(ScfPerturbations, FieldDerivativeIsTheFieldExpectationValue) {
    struct Case {
        fixtures::Geometry geometry;
        const ParameterModel* model;
    };
    for (const Case& c : {Case{fixtures::formaldehyde(), &kAm1}, Case{fixtures::ammonia(), &kPm6}}) {
        const MolecularBatch m = fixtures::make_molecule(c.geometry, *c.model);
        for (const std::array<double, 3>& base : {std::array<double, 3>{0, 0, 0}, std::array<double, 3>{0.05, -0.02, 0.08}}) {
            ScfOptions at_base;
            at_base.electric_field = base;
            const Converged ref = run(m, *c.model, at_base);
            for (int axis = 0; axis < 3; ++axis) {
                std::array<double, 3> unit{0, 0, 0};
                unit[axis] = 1.0;
                Matrix dh = Matrix::zeros(m.n_basis, m.n_basis);
                double analytic = apply_electric_field_to_hcore(m, *c.model, dh, unit);  // H is linear in the field
                for (std::size_t i = 0; i < dh.data().size(); ++i) analytic += ref.density.data()[i] * dh.data()[i];
                const double numeric = central_difference(
                    [&](double f) {
                        ScfOptions o = at_base;
                        (*o.electric_field)[axis] = f;
                        return run(m, *c.model, o).energy;
                    },
                    base[axis]);
                EXPECT_NEAR(numeric, analytic, 2e-5) << "axis " << axis;
            }
        }
    }
}

TEST(ScfPerturbations, PointChargeDerivativeIsThePotentialItFeels) {
    const MolecularBatch m = fixtures::make_molecule(fixtures::formaldehyde(), kMndo);
    const std::array<double, 3> probe = {1.3, -0.4, 3.1};
    auto with_probe = [&](double q) {
        ScfOptions o;
        o.external_charges = std::vector<PointCharge>{{-2.5, 0.3, 0.2, -0.3}, {probe[0], probe[1], probe[2], q}};
        return o;
    };
    for (double q0 : {0.0, 0.4}) {
        const Converged ref = run(m, kMndo, with_probe(q0));
        // dE/dq = sum_A [ -(electrons on A) e2 / sqrt(R^2 + rho_A^2) + Z_A e2 / R ].
        double analytic = 0.0;
        for (std::size_t a = 0; a < m.n_atoms; ++a) {
            const ElementParams e = *kMndo.get_element(m.atomic_numbers[a]);
            const double rho = kCoulombEvAngstrom / (2.0 * e.g_ss);
            const double r2 = std::pow(m.x[a] - probe[0], 2) + std::pow(m.y[a] - probe[1], 2) + std::pow(m.z[a] - probe[2], 2);
            double electrons = 0.0;
            for (std::size_t k = 0; k < m.orbitals_per_atom[a]; ++k) {
                electrons += ref.density(m.first_orbital[a] + k, m.first_orbital[a] + k);
            }
            analytic += kCoulombEvAngstrom * (e.core_charge / std::sqrt(r2) - electrons / std::sqrt(r2 + rho * rho));
        }
        const double numeric = central_difference([&](double q) { return run(m, kMndo, with_probe(q)).energy; }, q0);
        EXPECT_NEAR(numeric, analytic, 2e-5) << "q0 " << q0;
    }
}

}  // namespace
}  // namespace quorin
