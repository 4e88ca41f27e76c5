#include "core/properties/polarizability_scaling.h"

#include <array>
#include <cctype>
#include <string>

namespace quorin {

namespace {

// Elements with a fitted increment; every other element adds nothing.
constexpr std::array<std::uint8_t, 11> kIncrementElements = {1, 6, 7, 8, 9, 14, 15, 16, 17, 35, 53};

struct ScalingRelation {
    std::string_view method;
    double slope;
    double intercept_angstrom3;
    std::array<double, 11> increments_angstrom3;  // by kIncrementElements
};

constexpr std::array<ScalingRelation, 5> kRelations = {{
    {"AM1", 0.54687, 0.321973,
     {0.171989, 0.847295, 0.683813, 0.324589, 0.128674, 0, 0, 0, 1.66355, 2.59419, 4.55238}},
    {"PM3", 0.246502, 0.0, {0.178581, 1.24273, 0.92019, 0.434605, 0.235893, 0, 0, 0, 1.8556, 2.84542, 4.79973}},
    {"PM6", 0.791396, 0.373638,
     {0.262114, 0.485071, 0.204743, 0.154301, 0.199611, 1.88611, 2.31461, 1.45331, 1.23621, 2.14242, 3.82316}},
    {"PM7", 0.445109, 0.351109,
     {0.229769, 0.935524, 0.551046, 0.312052, 0.121273, 3.45304, 2.85841, 1.72642, 1.61718, 2.64509, 4.40052}},
    {"MNDO", 0.565117, 0.285962,
     {0.183644, 0.821572, 0.703162, 0.361521, 0.20001, 0, 0, 0, 1.66187, 2.65324, 4.59733}},
}};

// Relations with a slope this small are treated as absent.
constexpr double kMinimumSlope = 0.0001;

const ScalingRelation* relation_for(std::string_view method) {
    std::string upper(method);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const ScalingRelation& relation : kRelations) {
        if (relation.method == upper) return &relation;
    }
    return nullptr;
}

double increment_of(const ScalingRelation& relation, std::uint8_t z) {
    for (std::size_t k = 0; k < kIncrementElements.size(); ++k) {
        if (kIncrementElements[k] == z) return relation.increments_angstrom3[k];
    }
    return 0.0;
}

}  // namespace

double compute_pol_vol(double value_au, std::string_view method, std::span<const std::uint8_t> atomic_numbers) {
    const ScalingRelation* relation = relation_for(method);
    if (relation == nullptr || relation->slope <= kMinimumSlope) return value_au;
    double volume = value_au * kPolarizabilityAuToAngstrom3 * relation->slope + relation->intercept_angstrom3;
    for (const std::uint8_t z : atomic_numbers) volume += increment_of(*relation, z);
    return volume / kPolarizabilityAuToAngstrom3;
}

}  // namespace quorin
