#pragma once
// Shared by the benchmark programs: the XYZ reader of the molecule ladder,
// the method lookup by name and a wall-clock timer.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/parameters/parameter_model.h"

namespace quorin::bench {

struct Molecule {
    std::string name;
    std::vector<std::uint8_t> atomic_numbers;
    std::vector<std::array<double, 3>> coordinates;  // angstrom
};

inline bool read_xyz(const std::string& path, Molecule& out) {
    static const std::map<std::string, std::uint8_t> symbols{{"H", 1}, {"C", 6},  {"N", 7},  {"O", 8},
                                                             {"F", 9}, {"P", 15}, {"S", 16}, {"Cl", 17}};
    std::ifstream in(path);
    if (!in) return false;
    std::size_t count = 0;
    in >> count;
    std::string line;
    std::getline(in, line);
    std::getline(in, line);
    for (std::size_t i = 0; i < count; ++i) {
        std::string symbol;
        std::array<double, 3> r{};
        in >> symbol >> r[0] >> r[1] >> r[2];
        const auto it = symbols.find(symbol);
        if (it == symbols.end()) return false;
        out.atomic_numbers.push_back(it->second);
        out.coordinates.push_back(r);
    }
    return static_cast<bool>(in);
}

// The molecule `name` of the directory `dir` (file <name>.xyz).
inline bool read_named(const std::string& dir, const std::string& name, Molecule& out) {
    out.name = name;
    return read_xyz(dir + "/" + name + ".xyz", out);
}

// Every readable .xyz file of `dir`, smallest molecule first; unreadable ones
// are reported on standard error and skipped.
inline std::vector<Molecule> read_ladder(const std::filesystem::path& dir) {
    std::vector<Molecule> molecules;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".xyz") continue;
        Molecule m{entry.path().stem().string(), {}, {}};
        if (read_xyz(entry.path().string(), m)) {
            molecules.push_back(std::move(m));
        } else {
            std::fprintf(stderr, "skipping %s: unreadable or unsupported element\n", entry.path().c_str());
        }
    }
    std::sort(molecules.begin(), molecules.end(),
              [](const Molecule& a, const Molecule& b) { return a.atomic_numbers.size() < b.atomic_numbers.size(); });
    return molecules;
}

// The model of a method name; an unknown name gives the model of `fallback`
// (PM6 when that is unknown too).
inline std::unique_ptr<ParameterModel> model_named(const std::string& name, const std::string& fallback = "PM6") {
    for (const std::string& candidate : {name, fallback}) {
        if (candidate == "MNDO") return std::make_unique<MndoModel>();
        if (candidate == "AM1") return std::make_unique<Am1Model>();
        if (candidate == "PM3") return std::make_unique<Pm3Model>();
        if (candidate == "RM1") return std::make_unique<Rm1Model>();
        if (candidate == "PM7") return std::make_unique<Pm7Model>();
        if (candidate == "PM6") return std::make_unique<Pm6Model>();
    }
    return std::make_unique<Pm6Model>();
}

// The molecule directory: the first program argument when given and not
// empty, otherwise the ladder of data/molecules.
inline std::string molecules_dir(int argc, char** argv) {
#ifdef QUORIN_MOLECULES_DIR
    const std::string fallback = QUORIN_MOLECULES_DIR;
#else
    const std::string fallback = "data/molecules";
#endif
    return argc > 1 && argv[1][0] != '\0' ? std::string(argv[1]) : fallback;
}

// Wall-clock seconds of one call of `f`.
template <typename F>
double seconds_of(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Shortest wall-clock seconds of up to `max_runs` calls of `f`, stopping
// once `budget_s` seconds have been spent: small cases get several tries.
template <typename F>
double best_seconds_of(F&& f, int max_runs = 5, double budget_s = 0.2) {
    double best = seconds_of(f), spent = best;
    for (int run = 1; run < max_runs && spent < budget_s; ++run) {
        const double t = seconds_of(f);
        best = std::min(best, t);
        spent += t;
    }
    return best;
}

}  // namespace quorin::bench
