#pragma once
// The one polymorphic interface of the engine: a method's parameter set.
// The six models carry no data; every value is a constant of the program.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

namespace quorin {

struct GaussianTerm {
    double k = 0.0;  // eV*angstrom
    double l = 0.0;  // angstrom^-2
    double m = 0.0;  // angstrom
};

// One element's record under one method.
struct ElementParams {
    std::array<GaussianTerm, 4> gaussians{};
    double core_charge = 0.0;
    double u_ss = 0.0, u_pp = 0.0, u_dd = 0.0;        // eV
    double zeta_s = 0.0, zeta_p = 0.0, zeta_d = 0.0;  // bohr^-1
    double beta_s = 0.0, beta_p = 0.0, beta_d = 0.0;  // eV
    double alpha = 0.0;                               // angstrom^-1
    double g_ss = 0.0, g_sp = 0.0, g_pp = 0.0, g_p2 = 0.0, h_sp = 0.0;  // eV
    std::size_t n_gaussians = 0;
    std::uint8_t atomic_number = 0;
};

// Derived d-orbital data of an element (PM6 and PM7 d-element rows).
struct DElementParams {
    std::array<double, 10> additive_terms{};      // bohr
    std::array<double, 53> one_center_integrals{};  // eV, index 0 unused
    std::array<double, 7> charge_separations{};   // bohr
    std::uint8_t atomic_number = 0;
};

class ParameterModel {
public:
    virtual ~ParameterModel() = default;
    virtual std::optional<ElementParams> get_element(std::uint8_t z) const = 0;
    virtual std::string_view name() const = 0;
    // Core-core repulsion of one atom pair (eV) at distance r (angstrom).
    virtual double pair_core_repulsion(const ElementParams& a, const ElementParams& b, double r) const;
    virtual bool use_feathering() const { return false; }
    virtual std::optional<DElementParams> get_d_element_params(std::uint8_t /*z*/) const {
        return std::nullopt;
    }
    // Number of atomic orbitals (1, 4 or 9) on an atom of this element.
    std::uint8_t basis_type(std::uint8_t z) const;
};

class MndoModel final : public ParameterModel {
public:
    std::optional<ElementParams> get_element(std::uint8_t z) const override;
    std::string_view name() const override { return "MNDO"; }
};

class Am1Model final : public ParameterModel {
public:
    std::optional<ElementParams> get_element(std::uint8_t z) const override;
    std::string_view name() const override { return "AM1"; }
    double pair_core_repulsion(const ElementParams& a, const ElementParams& b, double r) const override;
};

class Pm3Model final : public ParameterModel {
public:
    std::optional<ElementParams> get_element(std::uint8_t z) const override;
    std::string_view name() const override { return "PM3"; }
};

class Rm1Model final : public ParameterModel {
public:
    std::optional<ElementParams> get_element(std::uint8_t z) const override;
    std::string_view name() const override { return "RM1"; }
};

class Pm6Model final : public ParameterModel {
public:
    std::optional<ElementParams> get_element(std::uint8_t z) const override;
    std::string_view name() const override { return "PM6"; }
    double pair_core_repulsion(const ElementParams& a, const ElementParams& b, double r) const override;
    // Diatomic (alpha_AB, x_AB) of the PM6 core-core form; symmetric in za, zb.
    static std::pair<double, double> get_pair_params(std::uint8_t za, std::uint8_t zb);
    std::optional<DElementParams> get_d_element_params(std::uint8_t z) const override;
};

class Pm7Model final : public ParameterModel {
public:
    std::optional<ElementParams> get_element(std::uint8_t z) const override;
    std::string_view name() const override { return "PM7"; }
    double pair_core_repulsion(const ElementParams& a, const ElementParams& b, double r) const override;
    bool use_feathering() const override { return true; }
    std::optional<DElementParams> get_d_element_params(std::uint8_t z) const override;
};

}  // namespace quorin
