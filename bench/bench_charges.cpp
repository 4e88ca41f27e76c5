// Times the charge models on the benchmark ladder: the SCF they start from,
// then the ESP grid and fit, and the Lewis structure with the bond charge
// corrections.
// Usage: bench_charges [molecule directory] [PM6|MNDO|AM1|PM3|RM1|PM7]
#include <cstdio>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "bench/bench_common.h"
#include "core/properties/am1_bcc.h"
#include "core/properties/esp.h"
#include "core/scf/scf_loop.h"
#include "core/types/errors.h"

using quorin::bench::Molecule;

int main(int argc, char** argv) {
    const std::string dir = quorin::bench::molecules_dir(argc, argv);
    const std::unique_ptr<quorin::ParameterModel> model = quorin::bench::model_named(argc > 2 ? argv[2] : "AM1");
    std::printf("%s, NDDO SCF; ESP with 4 shells x 64 points\n", std::string(model->name()).c_str());
    std::printf("%-14s %6s %10s %8s %10s %10s %10s %10s\n", "molecule", "atoms", "scf_ms", "points", "esp_ms",
                "esp/scf", "bcc_ms", "bcc/scf");
    for (const Molecule& m : quorin::bench::read_ladder(dir)) {
        try {
            const quorin::MolecularBatch batch =
                quorin::MolecularBatch::new_for_model(m.atomic_numbers, m.coordinates, *model);
            quorin::ScfWorkspace workspace = quorin::ScfWorkspace::allocate(batch.n_basis);
            const double scf_ms = 1000.0 * quorin::bench::best_seconds_of(
                                               [&] { quorin::run_rhf_scf_with_options(batch, *model, workspace, {}); });
            std::variant<quorin::EspResult, std::string> esp;
            const double esp_ms = 1000.0 * quorin::bench::best_seconds_of([&] {
                esp = quorin::compute_esp_charges(batch, *model, workspace.density, {{1.4, 1.6, 1.8, 2.0}, 64, 0.0});
            });
            // The corrections do not depend on the initial charges' values.
            const std::vector<double> initial(batch.n_atoms, 0.0);
            const double bcc_ms =
                1000.0 * quorin::bench::best_seconds_of([&] { quorin::compute_am1_bcc_charges(batch, initial); });
            const auto* fit = std::get_if<quorin::EspResult>(&esp);
            std::printf("%-14s %6zu %10.1f %8llu %10.2f %10.4f %10.3f %10.5f\n", m.name.c_str(), batch.n_atoms, scf_ms,
                        fit ? static_cast<unsigned long long>(fit->num_grid_points) : 0ULL, esp_ms, esp_ms / scf_ms,
                        bcc_ms, bcc_ms / scf_ms);
        } catch (const quorin::EngineStop& e) {
            std::printf("%-14s stopped: %s\n", m.name.c_str(), e.what());
        }
    }
    return 0;
}
