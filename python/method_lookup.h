#pragma once
// Method names to parameter models, and the one door of every request: the
// checks that every module function and calculator method makes before the
// engine runs, each fault in one wording.
#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/corrections/dispersion.h"
#include "core/parameters/parameter_model.h"
#include "python/arguments.h"

namespace quorin::py {

// The model named by `method` after full upper-casing ("pm6" selects PM6;
// surrounding spaces are not trimmed). Throws InputError naming the
// upper-cased method and the supported ones.
std::unique_ptr<ParameterModel> get_model(const std::string& method);

// The dispersion form named by `name` after full upper-casing; an unknown
// name is refused as argument 'dispersion'.
DispersionModel dispersion_argument(const std::string& name);

// One geometry of a request and the argument it came from.
struct GeometryArgument {
    std::span<const std::array<double, 3>> coordinates;  // angstrom
    const char* name = "coordinates";
};

// One numeric setting of a request and its accepted values (ranges::).
struct RangedSetting {
    const char* name;
    double value;
    Range range;
};

// One count of a request and its accepted values (ranges::).
struct CountedSetting {
    const char* name;
    std::uint64_t value;
    CountRange range;
};

// What the door gives back: the model of the method and the molecule's
// valence-electron count (even).
struct CheckedMolecule {
    std::unique_ptr<ParameterModel> model;
    std::uint64_t valence_electrons = 0;
};

// The opening checks of every request. Refuses, in this order:
//   no atoms: "atomic_numbers cannot be empty";
//   each geometry whose length differs from the atom count: "Mismatch
//     between atomic_numbers (<n>) and <name> (<m>)";
//   each geometry refused by check_geometry;
//   an unknown method (get_model);
//   an element the model lacks, an odd electron count
//     (check_closed_shell_supported);
//   each setting outside its range (check_in_range);
//   each count outside its range (check_count_in_range).
CheckedMolecule check_request(std::span<const std::uint8_t> atomic_numbers,
                              std::initializer_list<GeometryArgument> geometries, const std::string& method,
                              std::initializer_list<RangedSetting> settings = {},
                              std::initializer_list<CountedSetting> counts = {});

// Largest coordinate magnitude accepted in a caller's geometry, angstrom.
inline constexpr double kMaxCoordinateAngstrom = 1e5;
// Closest approach of two atoms accepted in a caller's geometry, angstrom:
// nearer than this the atoms overlap and every energy is meaningless.
inline constexpr double kMinAtomDistanceAngstrom = 0.3;

// The checks every entry point makes on a geometry it is given (not on the
// geometries its own search visits): refuses, naming the atoms, the first
// atom with a non-finite coordinate, the first with a coordinate beyond
// +-kMaxCoordinateAngstrom, and the first pair (in atom order) closer than
// kMinAtomDistanceAngstrom.
void check_geometry(std::span<const std::uint8_t> atomic_numbers,
                    std::span<const std::array<double, 3>> coordinates);

// Refuses the first element the model lacks (the method named as the caller
// wrote it) and an odd rounded valence-electron count (every molecule is
// computed neutral and closed-shell); returns that count.
std::uint64_t check_closed_shell_supported(std::span<const std::uint8_t> atomic_numbers,
                                           const ParameterModel& model, const std::string& method_as_given);

}  // namespace quorin::py
