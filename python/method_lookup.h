#pragma once
// Method names to parameter models, and the input checks every entry point
// makes on a molecule before the engine runs.
#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/parameters/parameter_model.h"

namespace quorin::py {

// The model named by `method` after full upper-casing ("pm6" selects PM6;
// surrounding spaces are not trimmed). Throws InputError naming the
// upper-cased method and the supported ones.
std::unique_ptr<ParameterModel> get_model(const std::string& method);

// For entry points that take coordinate rows of any length: refuses unequal
// counts ("Mismatch: ..."), then the first row that is not a triple ("Atom
// ... coordinate must be [x, y, z], ..."); returns the triples.
std::vector<std::array<double, 3>> coordinate_triples(std::size_t atom_count,
                                                      const std::vector<std::vector<double>>& rows);

// Refuses a coordinate list whose length differs from the atom count:
// "Mismatch between atomic_numbers (<n>) and <coordinates_name> (<m>)".
void check_matching_lengths(std::size_t atom_count, std::size_t coordinate_count,
                            const char* coordinates_name = "coordinates");

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

// Refuses a non-finite value of a numeric setting: "<name> must be a finite
// number".
void check_finite_setting(const char* name, double value);

// Refuses the first element the model lacks (the method named as the caller
// wrote it) and an odd rounded valence-electron count; returns that count.
std::uint64_t check_closed_shell_supported(std::span<const std::uint8_t> atomic_numbers,
                                           const ParameterModel& model, const std::string& method_as_given);

}  // namespace quorin::py
