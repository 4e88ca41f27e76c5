#pragma once
// Binding of positional and keyword arguments to declared parameter names,
// and the conversions of Python values to the plain values the engine takes.
// Every conversion failure is a Python exception naming the argument,
// "argument '<name>': <message>": TypeError for a value of the wrong type
// (a boolean or a complex number where a number or a count is expected),
// ValueError for a value of the right type that is refused (an atomic number
// outside 1 to 118, a negative count, a coordinate row that is not a triple).
#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "python/py_support.h"

namespace quorin::py {

class BoundArguments {
public:
    // `function` names the callee in binding errors ("calculate"); the first
    // `required` parameters must be given. Raises TypeError in the
    // interpreter's wording for missing, unknown, duplicated or surplus
    // arguments.
    BoundArguments(const char* function, std::span<const char* const> names, std::size_t required,
                   PyObject* args, PyObject* kwargs);

    // Borrowed value of parameter i, or null when omitted or, for an optional
    // parameter, given as None (a required one passes None on to its
    // conversion, which refuses it).
    PyObject* value(std::size_t i) const {
        return values_[i] == Py_None && i >= required_ ? nullptr : values_[i];
    }
    const char* name(std::size_t i) const { return names_[i]; }
    // True when parameter i was passed, by position or keyword, as None.
    bool given_as_none(std::size_t i) const { return values_[i] == Py_None; }
    // Borrowed value of parameter i as passed (None included), or null when omitted.
    PyObject* given(std::size_t i) const { return values_[i]; }

private:
    std::span<const char* const> names_;
    std::size_t required_ = 0;
    std::vector<PyObject*> values_;  // borrowed; null when omitted
};

// The elements of the periodic table; no parameter set covers them all.
inline constexpr long kFirstElement = 1;
inline constexpr long kLastElement = 118;

std::vector<std::uint8_t> to_atomic_numbers(PyObject* value, const char* name);
std::vector<std::array<double, 3>> to_coordinate_list(PyObject* value, const char* name);
// A sequence of numbers (not a string) as doubles.
std::vector<double> to_float_list(PyObject* value, const char* name);
double to_double(PyObject* value, const char* name);
std::uint64_t to_count(PyObject* value, const char* name);
// A sequence (not a string) of exactly three counts.
std::array<std::uint64_t, 3> to_count_triple(PyObject* value, const char* name);
bool to_switch(PyObject* value, const char* name);
std::string to_name(PyObject* value, const char* name);

// Parameter i converted, or `fallback` when omitted or None.
double double_or(const BoundArguments& args, std::size_t i, double fallback);
std::uint64_t count_or(const BoundArguments& args, std::size_t i, std::uint64_t fallback);
bool switch_or(const BoundArguments& args, std::size_t i, bool fallback);
std::string name_or(const BoundArguments& args, std::size_t i, const char* fallback);
// Parameter i converted when given, or `fallback` when omitted. A None is
// converted like any other value, so that it fails as that conversion fails:
// for functions whose optional arguments are plain values, not options.
template <typename T>
T plain_or(const BoundArguments& args, std::size_t i, T (*convert)(PyObject*, const char*), T fallback) {
    return args.given(i) != nullptr ? convert(args.given(i), args.name(i)) : fallback;
}

// Parameter i converted, or nothing when omitted or None.
std::optional<double> optional_double(const BoundArguments& args, std::size_t i);
std::optional<std::string> optional_name(const BoundArguments& args, std::size_t i);

// The accepted values of a numeric argument: from `low` to `high`, each end
// included unless marked open; an infinite `high` leaves only finiteness.
struct Range {
    double low;
    double high;
    bool low_open = false;
    bool high_open = false;
    const char* unit = "";
};

// Refuses the value given for argument `name`: InputError (ValueError)
// "argument '<name>': <what>", the form of every refused argument.
[[noreturn]] void refuse_argument(const std::string& name, const std::string& what);

// Refuses a value outside `range` (NaN and infinities always) with
// "argument '<name>': must lie in [<low>, <high>] <unit> (got <value>)".
void check_in_range(const char* name, double value, const Range& range);

// check_in_range for each value: "argument '<name>': item <index> must lie ...".
void check_each_in_range(const char* name, std::span<const double> values, const Range& range);

// The accepted values of a count: from `low` to `high`, both included.
struct CountRange {
    std::uint64_t low;
    std::uint64_t high;
};

// Refuses a count outside `range` with "argument '<name>': must lie in
// [<low>, <high>] (got <value>)", or "... must be at least <low> (got
// <value>)" when it has no upper bound.
void check_count_in_range(const char* name, std::uint64_t value, const CountRange& range);

// check_count_in_range for each count: "argument '<name>': item <index> must ...".
void check_each_count_in_range(const char* name, std::span<const std::uint64_t> values, const CountRange& range);

// Physical ranges of numeric arguments, kept together so that the limits of
// the module can be read in one place. Values outside them make no physical
// sense and end in overflowed or meaningless numbers.
namespace ranges {
inline constexpr double kUnbounded = std::numeric_limits<double>::infinity();
inline constexpr Range kScfDamping{0.0, 1.0, false, true};  // weight of the old density
// SCF convergence thresholds. Looser ones let an SCF stop after its first
// two iterations and still report convergence: at these bounds the energies
// of water, benzene, caffeine and aspirin stay within 5e-4 eV of the fully
// converged SCF and the charges within 0.012 e; at 10 eV and 1 the energies
// were off by up to 0.12 eV and the charges by 0.11 e.
inline constexpr Range kScfEnergyTolerance{0.0, 0.1, true, false, "eV"};
inline constexpr Range kScfDensityTolerance{0.0, 0.01, true, false};
// A level shift slows every SCF step down; up to 100 eV the same four
// molecules converged to within 1.5e-7 kcal/mol of the unshifted SCF, while
// from a few thousand eV on the steps fall below the thresholds before the
// density has settled (benzene at 1e6 eV: "converged" after 4 iterations,
// 0.005 kcal/mol off).
inline constexpr Range kLevelShift{0.0, 100.0, false, false, "eV"};
inline constexpr Range kDielectricConstant{1.0, kUnbounded};
inline constexpr Range kThermoTemperature{0.0, 1e6, true, false, "K"};
inline constexpr Range kThermostatTemperature{0.0, 1e6, false, false, "K"};
inline constexpr Range kPressure{1e-10, 1e10, false, false, "atm"};
inline constexpr Range kAtomicMass{1e-3, 1e6, false, false, "u"};
// Finite-difference step of the Hessian. Down to 1e-5 angstrom the
// frequencies of water, benzene and caffeine stay within 0.2 cm^-1 of those
// at the default 0.005; below, the SCF tolerances show in the differences
// (1.3 cm^-1 off at 1e-6, 25 at 1e-7; at 1e-12 water has a -5084 cm^-1 mode).
inline constexpr Range kHessianStep{1e-5, 0.1, false, false, "angstrom"};
inline constexpr Range kFieldStep{1e-5, 0.1, false, false, "a.u."};
inline constexpr Range kMdTimeStep{0.0, 10.0, true, false, "fs"};
inline constexpr Range kPathStep{0.0, 10.0, true, false, "amu^1/2 angstrom"};
// Points per atom and shell of the ESP grid. With fewer than 24 the fitted
// charges stop meaning anything: against a 1000-point fit, charges of
// caffeine and a ten-residue alanine chain moved by up to 0.18 e at 16 points
// (caffeine by 456 e at 1), from 24 on by at most 0.085 e (0.04 e at the
// default 64). Above the upper bound the grid of a modest molecule runs to
// gigabytes with nothing gained.
inline constexpr CountRange kEspPointsPerShell{24, 10000};
// Lattice vector components, bounded like coordinates (kMaxCoordinateAngstrom).
inline constexpr Range kTranslationComponent{-1e5, 1e5, false, false, "angstrom"};
// A periodic cluster or k-grid has at least one cell or point along every vector.
inline constexpr CountRange kCellCount{1, std::numeric_limits<std::uint64_t>::max()};
// Counts of iterations, cycles, steps and points that a loop runs to. A
// billion is far beyond any run that converges (an H2 SCF iteration takes
// about 1 microsecond, a drc step of H2 7), and far below 2**64, where the
// ends, frame counts and multiples the engine forms from these counts wrap
// around: a drc of 2**64 - 1 steps never stopped, and the SCF ladder of a
// polarizability with 2**63 iterations ran its later tries with none.
inline constexpr CountRange kLoopCount{0, 1'000'000'000};
// A drc frame every `recording_interval` steps; 0 recorded every step, as 1 does.
inline constexpr CountRange kRecordingInterval{1, kLoopCount.high};
// Gradient tolerances of optimize and transition_state. Looser ones end a
// search where it starts: at these bounds (with grad_max_tol twice
// grad_rms_tol, as the defaults) the heats of water, benzene, aspirin,
// caffeine and decane minimised from force-field geometries came within 2.4
// kcal/mol of a tight minimisation (0.8 at the defaults), and the transition
// states of ammonia's inversion, malonaldehyde's proton transfer, the Claisen
// rearrangement and pentadiene's hydrogen shift within 0.32 kcal/mol. At 10
// (and 20) water, benzene and decane stopped after 0 cycles; at 1e6 (and
// 2e6) three of the four transition states were 12 to 20 kcal/mol high, two
// of them reported converged after one and two cycles.
inline constexpr Range kGradientRmsTolerance{0.0, 5.0, true, false, "kcal/(mol angstrom)"};
inline constexpr Range kGradientMaxTolerance{0.0, 10.0, true, false, "kcal/(mol angstrom)"};
// First trust radius of transition_state (the search lets it grow to 0.3
// angstrom only). Up to 1 angstrom the four searches above found the same
// transition states; from 10 malonaldehyde's ended 47 kcal/mol higher and
// the Claisen search did not converge in 300 cycles.
inline constexpr Range kTrustRadius{0.0, 1.0, true, false, "angstrom"};
// saddle: the step of an end towards the other, the distance at which the
// ends count as met and the transverse gradient tolerance of each cycle.
// Larger ones skip the search: with convergence_distance 1e300 ammonia's
// inversion and malonaldehyde's proton transfer took 0 cycles, and without
// the refinement their transition states came out 2.6 and 21 kcal/mol high,
// reported converged; at 0.3 angstrom they were within 1.4 and 6.6 kcal/mol
// of those at the default 0.12. Steps from 1 angstrom met the ends in one
// cycle; inner_grad_tol 100 skipped the relaxation (malonaldehyde 21 kcal/mol
// high, converged), 10 kept within 3.3 kcal/mol, as the default 3 does.
inline constexpr Range kSaddleStep{0.0, 0.5, true, false, "angstrom"};
inline constexpr Range kSaddleMeetingDistance{0.0, 0.3, true, false, "angstrom"};
inline constexpr Range kRelaxationGradientTolerance{0.0, 10.0, true, false, "kcal/(mol angstrom)"};
// varnex: jacobi_tol bounds every occupied-virtual coupling of a converged
// run. Up to 1e-2 eV the energies of water, benzene, aspirin, caffeine and
// decane stayed within 1.1e-3 eV of a run at 1e-6; at 0.1 they were up to
// 0.067 eV off and at 1 up to 4.2 eV (benzene 1.38), all reported converged.
inline constexpr Range kCouplingTolerance{0.0, 1e-2, true, false, "eV"};
// Its energy test only ever ends a run together with the coupling test, so
// a loose one skips nothing (the same five energies up to 1e6 eV).
inline constexpr Range kLocalizedEnergyTolerance{0.0, kUnbounded, true, false, "eV"};
inline constexpr Range kPairCutoff{0.0, kUnbounded, true, false, "angstrom"};
// The factor on every rotation angle: 0 turns nothing, 2 turns each pair as
// far past its optimum as it was short of it. Within (0, 2) the five runs
// converged (0.25 to 1.9 tried); at 2.5 and -1 none did in 200 iterations.
inline constexpr Range kRotationDamping{0.0, 2.0, true, true};
// uv_vis_spectrum grid: wavelengths, step and band width.
inline constexpr Range kWavelength{0.0, kUnbounded, true, false, "nm"};
// drc: the Berendsen thermostat's coupling time.
inline constexpr Range kThermostatCoupling{0.0, kUnbounded, true, false, "fs"};
}  // namespace ranges

// Full Unicode upper-casing (the interpreter's str.upper) of UTF-8 text.
std::string to_upper(const std::string& utf8);
// Full Unicode lower-casing (the interpreter's str.lower) of UTF-8 text.
std::string to_lower(const std::string& utf8);

}  // namespace quorin::py
