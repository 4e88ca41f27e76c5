#include "core/vibrations/lowest_mode.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "common/frequencies.h"
#include "common/geometry.h"
#include "common/minimum.h"
#include "core/parameters/atomic_mass.h"
#include "core/vibrations/hessian.h"
#include "core/opt/lbfgs.h"
#include "core/vibrations/model_hessian.h"

namespace quorin {
namespace {

const Pm6Model kPm6;
const Am1Model kAm1;

using fixtures::Geometry;

void compare(const char* name, const Geometry& g, const ParameterModel& model) {
    MolecularBatch m = fixtures::make_molecule(g, model);
    ScfWorkspace scf = ScfWorkspace::allocate(m.n_basis);
    GradientWorkspace gw = GradientWorkspace::allocate(m.n_basis);
    ScfOptions o = fixtures::frequency_scf_options();
    o.max_iterations = 60;
    auto t0 = std::chrono::steady_clock::now();
    HessianResult exact = compute_hessian_and_frequencies(m, model, scf, o, fixtures::frequency_options());
    auto t1 = std::chrono::steady_clock::now();
    std::vector<double> masses(m.n_atoms);
    for (std::size_t a = 0; a < m.n_atoms; ++a) masses[a] = atomic_mass(m.atomic_numbers[a]);
    run_rhf_scf_with_options(m, model, scf, o);
    LowestModeOptions lo;
    LowestMode low = find_lowest_vibration(m, model, scf, gw, o, masses, lo);
    auto t2 = std::chrono::steady_clock::now();
    std::printf("%-20s N=%3zu exact %9.2f (%6.2fs)  search %9.2f verdict %d gradients %zu (%6.2fs)\n", name,
                m.n_atoms, exact.vibrational_frequencies_cm1.front(), std::chrono::duration<double>(t1 - t0).count(),
                low.frequency_cm1, static_cast<int>(low.verdict), low.gradients,
                std::chrono::duration<double>(t2 - t1).count());
}

TEST(LowestMode, Explore78) {
    for (const char* name : {"end78_0", "end78_1"}) {
        bench::Molecule mol;
        bench::read_named("/tmp/i57", name, mol);
        Geometry g{mol.atomic_numbers, mol.coordinates};
        MolecularBatch m = fixtures::make_molecule(g, kPm6);
        ScfWorkspace scf = ScfWorkspace::allocate(m.n_basis);
        GradientWorkspace gw = GradientWorkspace::allocate(m.n_basis);
        ScfOptions o = fixtures::frequency_scf_options();
        o.max_iterations = 60;
        std::vector<double> masses(m.n_atoms);
        for (std::size_t a = 0; a < m.n_atoms; ++a) masses[a] = atomic_mass(m.atomic_numbers[a]);
        auto t1 = std::chrono::steady_clock::now();
        std::printf("scf %d\n", (int)run_rhf_scf_with_options(m, kPm6, scf, o).converged);
        LowestModeOptions lo;
        lo.max_products = 200;
        LowestMode low = find_lowest_vibration(m, kPm6, scf, gw, o, masses, lo);
        auto t2 = std::chrono::steady_clock::now();
        std::printf("%s search %9.2f verdict %d gradients %zu (%6.2fs)\n", name, low.frequency_cm1,
                    static_cast<int>(low.verdict), low.gradients, std::chrono::duration<double>(t2 - t1).count());
        if (low.verdict != EigenvalueVerdict::below) continue;
        const auto origin = coordinate_triples(m);
        for (double etol : {1e-9}) {
            set_coordinates(m, origin);
            for (std::size_t a = 0; a < m.n_atoms; ++a) {
                const double w = 0.1 / std::sqrt(masses[a]);
                m.x[a] += w * low.mode[3 * a];
                m.y[a] += w * low.mode[3 * a + 1];
                m.z[a] += w * low.mode[3 * a + 2];
            }
            OptimizationOptions oo;
            oo.max_cycles = 3000;
            oo.grad_rms_tol = 0.01;
            oo.grad_max_tol = 0.02;
            oo.energy_tol = etol;
            oo.use_nddo = true;
            oo.memory = 20;
            auto t3 = std::chrono::steady_clock::now();
            const OptimizationResult r = optimize_geometry_lbfgs(m, kPm6, scf, gw, oo);
            auto t4 = std::chrono::steady_clock::now();
            std::printf("  etol %g converged %d cycles %zu rms %.4f max %.4f dE %.6f (%6.2fs)\n", etol, (int)r.converged,
                        r.cycles, r.final_grad_rms, r.final_grad_max, r.final_energy - r.initial_energy,
                        std::chrono::duration<double>(t4 - t3).count());
        }
    }
}

TEST(LowestMode, Explore) {
    compare("water", fixtures::tight_minimum({{8, 1, 1}, {{0, 0, 0}, {0.96, 0, 0}, {-0.24, 0.93, 0}}}, kPm6).geometry, kPm6);
    const double a = 1.11 / std::sqrt(3.0);
    compare("methane", {{6, 1, 1, 1, 1}, {{0, 0, 0}, {a, a, a}, {-a, -a, a}, {-a, a, -a}, {a, -a, -a}}}, kPm6);
    compare("planar NH3", {{7, 1, 1, 1}, {{0, 0, 0}, {1.0, 0, 0}, {-0.5, 0.866, 0}, {-0.5, -0.866, 0}}}, kPm6);
    for (const char* name : {"benzene", "aspirin", "caffeine", "reactions/butane_syn_ts", "decane"}) {
        Geometry g = fixtures::ladder_molecule(name);
        compare(name, g, kPm6);
    }
    compare("aspirin min", fixtures::tight_minimum(fixtures::ladder_molecule("aspirin"), kPm6).geometry, kPm6);
}

}  // namespace
}  // namespace quorin
#include "core/reactions/irc.h"
namespace quorin {
namespace {
TEST(LowestMode, ExploreIrc) {
    for (const char* name : {"ethane_rotation_ts", "ammonia_inversion_ts", "hcn_isomerisation_ts", "methyl_isocyanide_ts",
                             "formamide_h_shift_ts", "butane_syn_ts", "malonaldehyde_ts", "claisen_ts",
                             "pentadiene_h_shift_ts", "diels_alder_ts"}) {
        Geometry g = fixtures::ladder_molecule(std::string("reactions/") + name);
        for (std::size_t limit : {std::size_t{0}}) {
            double best = 1e30;
            IrcResult r;
            for (int rep = 0; rep < 3; ++rep) {
                MolecularBatch m = fixtures::make_molecule(g, kPm6);
                ScfWorkspace scf = ScfWorkspace::allocate(m.n_basis);
                GradientWorkspace gw = GradientWorkspace::allocate(m.n_basis);
                IrcWorkspace ws = IrcWorkspace::allocate(m);
                IrcOptions o;
                auto t0 = std::chrono::steady_clock::now();
                r = trace_intrinsic_reaction_coordinate(m, kPm6, scf, gw, ws, o);
                best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
            }
            std::printf("%-24s limit %2zu  %.3f s  points %zu  %d/%d  E %.6f %.6f\n", name, limit, best, r.points.size(),
                        (int)r.reverse_converged, (int)r.forward_converged, r.points.front().energy_ev, r.points.back().energy_ev);
        }
    }
}
}  // namespace
}  // namespace quorin
