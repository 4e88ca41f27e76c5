// Times one closed-shell SCF per molecule of the benchmark size ladder.
// Usage: scf_bench [molecule directory] [PM6|MNDO|AM1|PM3|RM1] [ladder]
// With "ladder" each molecule runs the four-try escalation ladder that the
// geometry drivers use instead of one plain SCF.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/scf/escalation_ladder.h"
#include "core/scf/scf_loop.h"
#include "core/types/errors.h"

namespace {

struct XyzMolecule {
    std::string name;
    std::vector<std::uint8_t> atomic_numbers;
    std::vector<std::array<double, 3>> coordinates;
};

std::uint8_t element_number(const std::string& symbol) {
    static const std::map<std::string, std::uint8_t> numbers = {{"H", 1}, {"C", 6}, {"N", 7}, {"O", 8},
                                                                {"F", 9}, {"P", 15}, {"S", 16}, {"Cl", 17}};
    const auto it = numbers.find(symbol);
    return it == numbers.end() ? 0 : it->second;
}

bool read_xyz(const std::filesystem::path& path, XyzMolecule& out) {
    std::ifstream in(path);
    std::size_t count = 0;
    std::string line;
    if (!std::getline(in, line) || !(std::istringstream(line) >> count)) return false;
    std::getline(in, line);  // comment
    out.name = path.stem().string();
    for (std::size_t i = 0; i < count; ++i) {
        if (!std::getline(in, line)) return false;
        std::istringstream fields(line);
        std::string symbol;
        std::array<double, 3> xyz{};
        if (!(fields >> symbol >> xyz[0] >> xyz[1] >> xyz[2])) return false;
        const std::uint8_t z = element_number(symbol);
        if (z == 0) return false;
        out.atomic_numbers.push_back(z);
        out.coordinates.push_back(xyz);
    }
    return true;
}

std::unique_ptr<quorin::ParameterModel> model_by_name(const std::string& name) {
    if (name == "MNDO") return std::make_unique<quorin::MndoModel>();
    if (name == "AM1") return std::make_unique<quorin::Am1Model>();
    if (name == "PM3") return std::make_unique<quorin::Pm3Model>();
    if (name == "RM1") return std::make_unique<quorin::Rm1Model>();
    return std::make_unique<quorin::Pm6Model>();
}

}  // namespace

int main(int argc, char** argv) {
    const std::filesystem::path dir = argc > 1 ? argv[1] : QUORIN_MOLECULES_DIR;
    const std::unique_ptr<quorin::ParameterModel> model = model_by_name(argc > 2 ? argv[2] : "PM6");
    const bool ladder = argc > 3 && std::string(argv[3]) == "ladder";

    std::vector<XyzMolecule> molecules;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".xyz") continue;
        XyzMolecule m;
        if (read_xyz(entry.path(), m)) {
            molecules.push_back(std::move(m));
        } else {
            std::fprintf(stderr, "skipping %s: unreadable or unsupported element\n", entry.path().c_str());
        }
    }
    std::sort(molecules.begin(), molecules.end(),
              [](const XyzMolecule& a, const XyzMolecule& b) { return a.atomic_numbers.size() < b.atomic_numbers.size(); });

    std::printf("%s %s, NDDO, 60 iterations, 1e-7 eV, 1e-6\n", std::string(model->name()).c_str(),
                ladder ? "escalation ladder" : "plain SCF");
    std::printf("%-14s %6s %6s %5s %5s %18s %11s %13s\n", "molecule", "atoms", "basis", "iter", "conv", "energy_ev",
                "time_ms", "ms_per_iter");
    for (const XyzMolecule& m : molecules) {
        try {
            const quorin::MolecularBatch batch =
                quorin::MolecularBatch::new_for_model(m.atomic_numbers, m.coordinates, *model);
            quorin::ScfWorkspace workspace = quorin::ScfWorkspace::allocate(batch.n_basis);
            const auto start = std::chrono::steady_clock::now();
            const quorin::ScfResult r =
                ladder ? quorin::run_rhf_scf_adaptive_with_nddo_and_cosmo(batch, *model, workspace, 60, true,
                                                                          std::nullopt, 1e-7, 1e-6)
                       : quorin::run_rhf_scf_with_options(batch, *model, workspace, {});
            const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
            std::printf("%-14s %6zu %6zu %5zu %5s %18.8f %11.1f %13.2f\n", m.name.c_str(), batch.n_atoms, batch.n_basis,
                        r.iterations, r.converged ? "yes" : "no", r.total_energy, ms,
                        r.iterations > 0 ? ms / static_cast<double>(r.iterations) : 0.0);
        } catch (const quorin::EngineStop& e) {
            std::printf("%-14s stopped: %s\n", m.name.c_str(), e.what());
        }
    }
    return 0;
}
