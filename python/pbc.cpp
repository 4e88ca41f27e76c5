#include "python/engine_call.h"
#include "python/pbc.h"

#include <array>
#include <cmath>
#include <memory>
#include <utility>

#include "core/types/memory_plan.h"
#include "core/types/molecule.h"
#include "python/arguments.h"
#include "python/docstrings.h"
#include "python/method_lookup.h"
#include "python/record_object.h"

namespace quorin::py {

PbcResult run_pbc(const PbcRequest& request) {
    const auto& numbers = request.atomic_numbers;
    const auto& vectors = request.translation_vectors;
    const CheckedMolecule checked =
        check_request(numbers, {{request.coordinates}}, request.method, {},
                      {{"max_iter", request.max_iter, ranges::kLoopCount}});
    const ParameterModel& model = *checked.model;
    if (vectors.empty() || vectors.size() > 3) throw InputError("translation_vectors must have 1, 2, or 3 vectors");
    for (std::size_t i = 0; i < vectors.size(); ++i) {
        if (!std::isfinite(vectors[i][0]) || !std::isfinite(vectors[i][1]) || !std::isfinite(vectors[i][2])) {
            throw InputError("Non-finite translation vector " + std::to_string(i) +
                             ": translation vectors must be finite numbers");
        }
        check_each_in_range(("translation_vectors[" + std::to_string(i) + "]").c_str(), vectors[i],
                            ranges::kTranslationComponent);
    }
    for (const auto& [name, counts] : {std::pair{"mers", &request.mers}, std::pair{"k_grid", &request.k_grid}}) {
        if (*counts) check_each_count_in_range(name, **counts, ranges::kCellCount);
    }

    auto cell = UnitCell::from_translation_vectors(vectors, vectors.size());
    if (const auto* refusal = std::get_if<std::string>(&cell)) throw InputError(*refusal);
    PbcConfig config;
    config.cell = std::get<UnitCell>(cell);
    config.mers = request.mers;
    config.k_grid = request.k_grid;
    config.max_iter = request.max_iter;
    config.energy_tol = 1e-5;
    config.density_tol = 1e-4;
    config.damping = 0.5;
    config.band_points = request.band_points;
    config.dos_sigma = 0.1;
    config.use_nddo = request.use_nddo;

    const MolecularBatch molecule = MolecularBatch::new_for_model(numbers, request.coordinates, model);
    // Sized from the counts the run will generate, refused before anything
    // large is allocated.
    const auto sizes = plan_pbc_sizes(molecule, model, config);
    if (const auto* refusal = std::get_if<std::string>(&sizes)) throw InputError(*refusal);
    const PbcSizes& planned = std::get<PbcSizes>(sizes);
    require_memory(MemoryPlan().add_bytes(planned.bytes));
    PbcWorkspace workspace = PbcWorkspace::allocate(molecule.n_basis, planned.n_translations, planned.n_kpoints);
    auto outcome = run_pbc_scf(molecule, model, config, workspace);
    if (auto* refusal = std::get_if<std::string>(&outcome)) throw InputError(*refusal);
    PbcResult result = std::move(std::get<PbcResult>(outcome));
    result.kpoints.clear();
    return result;
}

namespace {

using R = PbcResult;

PyTypeObject* result_type = nullptr;  // created once at import

PyGetSetDef getset_table[] = {
    attribute<&R::converged>("converged", nullptr),
    attribute<&R::iterations>("iterations", nullptr),
    attribute<&R::total_energy>("total_energy_per_cell_ev", nullptr),
    attribute<&R::electronic_energy>("electronic_energy_per_cell_ev", nullptr),
    attribute<&R::core_repulsion>("nuclear_repulsion_per_cell_ev", nullptr),
    attribute<&R::heat_of_formation>("heat_of_formation_kcal_mol", nullptr),
    attribute<&R::vbm>("vbm_energy_ev", nullptr),
    attribute<&R::cbm>("cbm_energy_ev", nullptr),
    attribute<&R::direct_gap>("direct_bandgap_ev", nullptr),
    attribute<&R::band_gap>("indirect_bandgap_ev", nullptr),
    attribute<&R::band_energies>("band_energies_ev", nullptr),
    attribute<&R::dos_energies>("dos_energies_ev", nullptr),
    attribute<&R::dos_values>("dos_values", nullptr),
    kEndOfAttributes,
};

constexpr const char* kPbcParameters[] = {
    "atomic_numbers", "coordinates", "translation_vectors", "method",      "mers",
    "k_grid",         "use_nddo",    "max_iter",            "band_points",
};

PyObject* pbc(PyObject*, PyObject* args, PyObject* kwargs) {
    return guard([&] {
        const BoundArguments bound("pbc", kPbcParameters, 3, args, kwargs);
        PbcRequest request;
        request.atomic_numbers = to_atomic_numbers(bound.value(0), bound.name(0));
        request.coordinates = to_coordinate_list(bound.value(1), bound.name(1));
        request.translation_vectors = to_coordinate_list(bound.value(2), bound.name(2));
        request.method = name_or(bound, 3, "PM6");
        if (bound.value(4) != nullptr) request.mers = to_count_triple(bound.value(4), bound.name(4));
        if (bound.value(5) != nullptr) request.k_grid = to_count_triple(bound.value(5), bound.name(5));
        request.use_nddo = switch_or(bound, 6, true);
        request.max_iter = count_or(bound, 7, 100);
        request.band_points = count_or(bound, 8, 40);
        return new_pbc_result(engine_call([&] { return run_pbc(request); }));
    });
}

PyMethodDef pbc_def = {
    "pbc",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pbc)),
    METH_VARARGS | METH_KEYWORDS,
    "pbc(atomic_numbers, coordinates, translation_vectors, method=\"PM6\", mers=None, k_grid=None, use_nddo=True, "
    "max_iter=100, band_points=40)\n"
    "--\n"
    "\n"
    "Run a closed-shell periodic (Bloch) SCF on one unit cell and compute its band structure.\n"
    "\n"
    "Energies are per unit cell. The SCF keeps the resonance and exchange blocks between the home cell and a "
    "cluster of cells around it (`mers`) and samples the Brillouin zone on a Monkhorst-Pack grid (`k_grid`); "
    "the Coulomb terms of every pair of atoms are the method's own up to 5 \u00c5 and hand over smoothly to "
    "point charges between 5 and 10 \u00c5, whatever `mers` and `k_grid` are, with the point charges summed "
    "over the whole lattice (no field from a crystal's surface). "
    "`converged` is True only for a solution that is stable against rotations between occupied and empty "
    "bands at every k-point (instabilities that need a longer repeat show only in a supercell), and not where "
    "the gap closes between the grid's points. Cells and k-points are "
    "taken along the lattice's reduced basis (its shortest vectors, which the given vectors usually are), so "
    "every basis of one lattice gives the same result. The band edges and gaps are searched over the whole "
    "zone (band path, SCF grid and the neighbourhood of the best of them); the band energies and density of "
    "states are those of the band path of the given vectors.\n"
    "\n"
    "The defaults aim at energies per atom within 0.01 eV and band gaps within 0.2 eV of the limit of "
    "ever larger clusters and grids (as for polyacetylene, polyethylene, graphene, hexagonal BN, diamond, "
    "zinc-blende SiC and cubic BN); to tighten, give larger `mers` and `k_grid` until the results stop "
    "changing.\n"
    "\n"
    "Parameters:\n"
    "- `atomic_numbers`: list of integer atomic numbers of the atoms of one cell (e.g. `[6, 6]`)\n"
    "- `coordinates`: list of 3D coordinates of those atoms in \u00c5ngstr\u00f6ms, shape [natoms, 3]; every "
    "atom must lie at least 0.5 \u00c5 from every periodic image of every atom\n"
    "- `translation_vectors`: 1, 2 or 3 lattice vectors a1, a2, a3 in \u00c5ngstr\u00f6ms, shape [1 to 3, 3]; "
    "their number makes the system a chain, a sheet or a crystal\n"
    QUORIN_METHOD_DOC
    "- `mers`: three numbers of cells, at least 1 each, along the reduced lattice vectors in the cluster "
    "around the home cell (an even count N keeps N - 1; counts beyond the number of vectors are ignored), "
    "enough to hold every atom within 2.75 nearest-neighbour distances of the home cell; "
    "default: every cell with an atom within 20 \u00c5 (chain) or 10 \u00c5 (sheet, crystal) "
    "of an atom of the home cell\n"
    "- `k_grid`: three Monkhorst-Pack divisions, at least 1 each, along the reduced reciprocal vectors, at "
    "least the `mers` count along every lattice vector; default: the smallest odd divisions that keep the "
    "cluster's cells apart and sample a periodic repeat of at least 30 \u00c5 along every reciprocal vector, "
    "for a sheet in odd multiples of 3 and, where the direct gap found there is below 3.5 eV, then over "
    "80 \u00c5 from that solution (when only `k_grid` is given, the default cluster keeps the cells it can "
    "resolve, which must reach as far as `mers` must)\n"
    QUORIN_USE_NDDO_DOC "\n"
    "- `max_iter`: Maximum SCF iterations (default: 100)\n"
    "- `band_points`: k-points per segment of the band path, at least 10 are used (default: 40); the "
    "path is Gamma-X (chain), Gamma-X-M-Gamma (sheet), Gamma-X-M-Gamma-Z (crystal), or for hexagonal "
    "lattices Gamma-M-K-Gamma (sheet) and Gamma-M-K-Gamma-A-L-H-A (crystal)",
};

}  // namespace

PyObject* create_pbc_result_type() {
    return create_record_type<R>({"quorin_py.PbcResultPy",
                                  "Periodic Boundary Condition calculation and band structure results.", nullptr,
                                  getset_table, nullptr},
                                 result_type);
}

PyObject* new_pbc_result(PbcResult result) { return new_record_object(result_type, std::move(result)); }

PyMethodDef* pbc_method_def() { return &pbc_def; }

}  // namespace quorin::py
