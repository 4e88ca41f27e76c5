// Audits CI root gradients against the derivative of the energy each root
// reports: roots 1-4 of formaldehyde, butadiene, pyridine and nitrosomethane
// under AM1 and MNDO with 2 and 4 active orbitals. The reference is a central
// difference at 2e-5 angstrom, used where it agrees with the one at 1e-4 to
// 0.01 eV/angstrom (the energy is smooth there). Prints the worst error per
// root, the count above 0.01 eV/angstrom and the time of the gradients.
//
// usage: audit_ci_gradients
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "bench/ci_gradient_cases.h"
#include "core/types/errors.h"

int main() {
    using namespace quorin;
    constexpr double kTolerance = 0.01;  // eV/angstrom
    std::size_t compared = 0, above = 0;
    double worst = 0.0, seconds = 0.0;
    std::printf("%-15s %-5s %s %s %8s %6s %10s\n", "molecule", "model", "n", "root", "compared", "above",
                "worst eV/A");
    for (const bench::CiCase& c : bench::ci_gradient_molecules()) {
        for (const std::string method : {"AM1", "MNDO"}) {
            const auto model = bench::model_named(method);
            for (const std::size_t n : {2, 4}) {
                std::vector<bench::RootGradientAudit> audits;
                try {
                    audits = bench::audit_root_gradients(c, *model, n, true, 4, kTolerance);
                } catch (const RequestError& refused) {
                    std::printf("%-15s %-5s %zu: %s\n", c.name.c_str(), method.c_str(), n, refused.what());
                    continue;
                }
                if (audits.empty()) {
                    std::printf("%-15s %-5s %zu: SCF not converged\n", c.name.c_str(), method.c_str(), n);
                }
                for (const bench::RootGradientAudit& a : audits) {
                    std::printf("%-15s %-5s %zu %4zu %8zu %6zu %10.5f  %s\n", c.name.c_str(), method.c_str(), n,
                                a.root, a.compared, a.above, a.worst, a.worst_at.c_str());
                    compared += a.compared;
                    above += a.above;
                    worst = std::max(worst, a.worst);
                    seconds += a.seconds;
                }
            }
        }
    }
    std::printf("all: %zu coordinates compared, %zu above %.2f eV/A, worst %.5f eV/A; gradients %.3f s\n", compared,
                above, kTolerance, worst, seconds);
    return 0;
}
