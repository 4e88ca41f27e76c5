// The SCF stability check against the whole orbital Hessian, over a few
// hundred solutions: the small ladder molecules, far-apart fragments (a
// stretched O2 or C2 next to an ordinary molecule, two C2) and S2 pressed
// to 1.25 angstrom (alone, beside another, beside benzene), each as given
// and randomly distorted, under MNDO, AM1, PM3, RM1 and PM6. The solutions
// of each geometry: the SCF's own, and the ones a plain Roothaan loop with
// Pulay extrapolation reaches from the neutral-atom guess and from a
// randomly rotated density (saddle points among them). For each the check's
// verdict and lowest eigenvalue are compared with the dense Hessian's,
// built column by column and diagonalised, and each SCF reported converged
// on a solution the dense Hessian finds unstable is counted. Prints one line
// per system and method and the totals; asserts nothing.
// Usage: audit_stability [molecule directory] [distortions per geometry] [icosane] [orientations=K]
// ("icosane" adds it, 3721 rotations: a dense Hessian takes seconds;
// "orientations=K" checks every solution K more times, its degenerate
// orbitals turned at random among themselves, and counts a false verdict of
// any of them).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "core/fock/one_center.h"
#include "core/scf/eigensolver.h"
#include "core/scf/fock_of_density.h"
#include "core/scf/initial_guess.h"
#include "core/scf/scf_loop.h"
#include "core/scf/stability.h"
#include "core/types/errors.h"
#include "tests/scf/roothaan.h"

using quorin::bench::Molecule;

namespace {

using namespace quorin;

struct Tally {
    std::size_t solutions = 0, unstable = 0, false_stable = 0, false_unstable = 0, undecided = 0, products = 0;
    std::size_t checks = 0;  // checks run: a solution's canonical orbitals and their turns
    std::size_t converged_unstable = 0;  // SCFs reported converged where the dense Hessian is not stable
    double worst_stable_error = 0.0;  // largest |check - dense| on a stable verdict, eV
    double worst_below = 0.0;         // largest amount the dense value lies below a stable check's, eV

    void add(const Tally& t) {
        solutions += t.solutions;
        unstable += t.unstable;
        false_stable += t.false_stable;
        false_unstable += t.false_unstable;
        undecided += t.undecided;
        products += t.products;
        checks += t.checks;
        converged_unstable += t.converged_unstable;
        worst_stable_error = std::max(worst_stable_error, t.worst_stable_error);
        worst_below = std::max(worst_below, t.worst_below);
    }
};

double dense_lowest(const Matrix& c, const Vec64& eps, std::size_t n_occ, const FockOfDensity& fock,
                    StabilityWorkspace& ws) {
    const std::size_t n = c.rows(), len = n_occ * (n - n_occ);
    Matrix h = Matrix::zeros(len, len);
    std::vector<double> unit(len, 0.0), column(len, 0.0);
    for (std::size_t k = 0; k < len; ++k) {
        unit[k] = 1.0;
        apply_orbital_hessian(c, eps, n_occ, 0.0, fock, unit.data(), column.data(), ws);
        unit[k] = 0.0;
        for (std::size_t l = 0; l < len; ++l) h(l, k) = column[l];
    }
    for (std::size_t k = 0; k < len; ++k) {
        for (std::size_t l = 0; l < k; ++l) h(k, l) = h(l, k) = 0.5 * (h(k, l) + h(l, k));
    }
    Vec64 values = Vec64::zeros(len);
    Matrix vectors = Matrix::zeros(len, len);
    diagonalize_symmetric(h, values, vectors);
    return values[0];
}

// Checks the solution whose density is p against the dense Hessian, on its
// canonical orbitals and on `orientations` random turns of their degenerate
// sets (one solution, counted false when any verdict is); `converged`: the
// SCF reported it converged.
void audit_solution(const MolecularBatch& m, const FockOfDensity& fock, std::size_t n_occ, const Matrix& p,
                    Tally& tally, int orientations, std::mt19937& rng, bool converged = false) {
    const std::size_t n = m.n_basis;
    Matrix f = Matrix::zeros(n, n), c = Matrix::zeros(n, n);
    Vec64 eps = Vec64::zeros(n);
    fock.build(p, f);
    diagonalize_symmetric(f, eps, c);
    StabilityWorkspace ws = StabilityWorkspace::allocate(n);
    const double exact = dense_lowest(c, eps, n_occ, fock, ws);
    ++tally.solutions;
    const bool exact_stable = exact >= kUnstableEigenvalueEv;
    if (!exact_stable) ++tally.unstable;
    if (!exact_stable && converged) ++tally.converged_unstable;
    bool undecided = false, false_stable = false, false_unstable = false;
    for (int turn = 0; turn <= orientations; ++turn) {
        if (turn > 0) fixtures::turn_degenerate_orbitals(c, eps, n_occ, rng);
        const StabilityCheck check = check_orbital_stability(c, eps, n_occ, 0.0, fock, ws);
        tally.products += check.products;
        if (!check.decided) {
            undecided = true;
            continue;
        }
        false_stable = false_stable || (check.stable && !exact_stable);
        false_unstable = false_unstable || (!check.stable && exact_stable);
        if (check.stable) {
            tally.worst_stable_error = std::max(tally.worst_stable_error, std::fabs(check.lowest_eigenvalue - exact));
            tally.worst_below = std::max(tally.worst_below, check.lowest_eigenvalue - check.error_bound - exact);
        }
    }
    tally.checks += orientations + 1;
    if (undecided) ++tally.undecided;
    if (false_stable) ++tally.false_stable;
    if (false_unstable) ++tally.false_unstable;
}

struct System {
    std::string name;
    Molecule molecule;
};

Molecule joined(const Molecule& a, const Molecule& b, std::array<double, 3> shift, const std::string& name) {
    Molecule m = a;
    m.name = name;
    for (std::size_t k = 0; k < b.atomic_numbers.size(); ++k) {
        m.atomic_numbers.push_back(b.atomic_numbers[k]);
        m.coordinates.push_back(
            {b.coordinates[k][0] + shift[0], b.coordinates[k][1] + shift[1], b.coordinates[k][2] + shift[2]});
    }
    return m;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = quorin::bench::molecules_dir(argc, argv);
    const int distortions = argc > 2 ? std::atoi(argv[2]) : 2;
    bool icosane = false;
    int orientations = 0;
    for (int a = 3; a < argc; ++a) {
        const std::string arg = argv[a];
        if (arg == "icosane") icosane = true;
        if (arg.rfind("orientations=", 0) == 0) orientations = std::atoi(arg.c_str() + 13);
    }
    std::vector<System> systems;
    Molecule thiophene, benzene;
    for (const Molecule& m : quorin::bench::read_ladder(dir)) {
        if (m.name == "water" || m.name == "benzene" || m.name == "aspirin" || m.name == "caffeine" ||
            m.name == "decane" || (icosane && m.name == "icosane")) {
            systems.push_back({m.name, m});
        }
        if (m.name == "benzene") benzene = m;
    }
    thiophene = {"thiophene",
                 {16, 6, 6, 6, 6, 1, 1, 1, 1},
                 {{0.0, 1.1649, 0.0}, {1.2234, 0.0151, 0.0}, {-1.2234, 0.0151, 0.0}, {0.7259, -1.2662, 0.0},
                  {-0.7259, -1.2662, 0.0}, {2.2607, 0.3157, 0.0}, {-2.2607, 0.3157, 0.0}, {1.3189, -2.1721, 0.0},
                  {-1.3189, -2.1721, 0.0}}};
    const Molecule o2{"O2", {8, 8}, {{-0.847, 0, 0}, {0.847, 0, 0}}};
    const Molecule c2{"C2", {6, 6}, {{-1.07, 0, 0}, {1.07, 0, 0}}};
    systems.push_back({"O2+thiophene", joined(thiophene, o2, {0, 12, 0}, "O2+thiophene")});
    systems.push_back({"O2+benzene", joined(benzene, o2, {0, 0, 10}, "O2+benzene")});
    systems.push_back({"C2+thiophene", joined(thiophene, c2, {20, 0, 0}, "C2+thiophene")});
    systems.push_back({"C2+C2", joined(c2, c2, {20, 0, 0}, "C2+C2")});
    // S2 compressed to 1.25 angstrom: its lowest Hessian eigenvector lies on
    // pairs whose orbital-energy differences are far from the lowest.
    const Molecule s2{"S2", {16, 16}, {{0, 0, 0}, {0.3, 0.4, 1.15}}};
    systems.push_back({"S2", s2});
    systems.push_back({"S2+S2", joined(s2, s2, {0, 10, 0}, "S2+S2")});
    systems.push_back({"S2+benzene", joined(benzene, s2, {0, 0, 12}, "S2+benzene")});

    std::printf("%-14s %-5s %9s %8s %12s %14s %10s %12s %12s %9s %13s\n", "system", "model", "solutions", "unstable",
                "false_stable", "false_unstable", "undecided", "worst_err_ev", "below_ev", "products",
                "scf_on_saddle");
    Tally total;
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> displacement(-0.1, 0.1);
    for (const char* method : {"MNDO", "AM1", "PM3", "RM1", "PM6"}) {
        const std::unique_ptr<ParameterModel> model = quorin::bench::model_named(method);
        for (const System& s : systems) {
            Tally tally;
            for (int d = 0; d <= distortions; ++d) {
                Molecule g = s.molecule;
                if (d > 0) {
                    for (auto& r : g.coordinates) {
                        for (double& q : r) q += displacement(rng);
                    }
                }
                try {
                    const MolecularBatch m = MolecularBatch::new_for_model(g.atomic_numbers, g.coordinates, *model);
                    const std::size_t n = m.n_basis, n_occ = count_valence_electrons(m, *model) / 2;
                    ScfWorkspace ws = ScfWorkspace::allocate(n);
                    const bool converged = run_rhf_scf_with_options(m, *model, ws, {}).converged;
                    const OneCenterTables one_center = OneCenterTables::build(m, *model);
                    const FockOfDensity fock{m, *model, one_center, ws.pairs, true, ws.hcore, nullptr};
                    audit_solution(m, fock, n_occ, ws.density, tally, orientations, rng, converged);
                    Matrix p = Matrix::zeros(n, n), f = Matrix::zeros(n, n), c = Matrix::zeros(n, n);
                    Vec64 eps = Vec64::zeros(n);
                    build_atomic_guess_density(m, *model, p);
                    fock.build(p, f);
                    diagonalize_symmetric(f, eps, c);
                    build_guess_orbital_density(c, eps, n_occ, p);
                    const fixtures::RoothaanSolution guess = fixtures::roothaan_from(m, *model, ws, n_occ, p);
                    if (!std::isnan(guess.electronic_energy)) {
                        audit_solution(m, fock, n_occ, guess.density, tally, orientations, rng);
                    }
                    const fixtures::RoothaanSolution rotated =
                        fixtures::roothaan_from(m, *model, ws, n_occ, fixtures::rotated_density(c, n_occ, rng));
                    if (!std::isnan(rotated.electronic_energy)) {
                        audit_solution(m, fock, n_occ, rotated.density, tally, orientations, rng);
                    }
                } catch (const EngineStop& e) {
                    std::printf("%-14s %-5s stopped: %s\n", s.name.c_str(), method, e.what());
                }
            }
            std::printf("%-14s %-5s %9zu %8zu %12zu %14zu %10zu %12.4f %12.4f %9.1f %13zu\n", s.name.c_str(), method,
                        tally.solutions, tally.unstable, tally.false_stable, tally.false_unstable, tally.undecided,
                        tally.worst_stable_error, tally.worst_below,
                        tally.checks ? static_cast<double>(tally.products) / tally.checks : 0.0,
                        tally.converged_unstable);
            std::fflush(stdout);
            total.add(tally);
        }
    }
    std::printf("%-14s %-5s %9zu %8zu %12zu %14zu %10zu %12.4f %12.4f %9.1f %13zu\n", "total", "", total.solutions,
                total.unstable, total.false_stable, total.false_unstable, total.undecided, total.worst_stable_error,
                total.worst_below, total.checks ? static_cast<double>(total.products) / total.checks : 0.0,
                total.converged_unstable);
    return 0;
}
