#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/parameters/atomic_mass.h"
#include "core/parameters/d_element_params.h"
#include "core/parameters/parameter_model.h"
#include "core/parameters/parameter_tables.h"

namespace quorin {
namespace {

// The CSV sources of the generated tables, found relative to this file.
const std::string kParamsDir =
    (std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "data" / "params").string() + "/";

std::vector<std::map<std::string, std::string>> read_csv(const std::string& name) {
    std::ifstream in(kParamsDir + name);
    EXPECT_TRUE(in.good()) << name;
    std::string line;
    std::getline(in, line);
    std::vector<std::string> header;
    std::stringstream hs(line);
    for (std::string cell; std::getline(hs, cell, ',');) header.push_back(cell);
    std::vector<std::map<std::string, std::string>> rows;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        std::map<std::string, std::string> row;
        std::stringstream ls(line);
        std::size_t i = 0;
        for (std::string cell; std::getline(ls, cell, ','); ++i) row[header.at(i)] = cell;
        rows.push_back(row);
    }
    return rows;
}

struct Method {
    const char* csv;
    std::unique_ptr<ParameterModel> model;
};

std::vector<Method> all_methods() {
    std::vector<Method> m;
    m.push_back({"mndo.csv", std::make_unique<MndoModel>()});
    m.push_back({"am1.csv", std::make_unique<Am1Model>()});
    m.push_back({"pm3.csv", std::make_unique<Pm3Model>()});
    m.push_back({"rm1.csv", std::make_unique<Rm1Model>()});
    m.push_back({"pm6.csv", std::make_unique<Pm6Model>()});
    m.push_back({"pm7.csv", std::make_unique<Pm7Model>()});
    return m;
}

TEST(ParameterTables, EveryRecordEqualsItsCsvRowAndNothingElseExists) {
    for (const Method& m : all_methods()) {
        std::map<int, std::map<std::string, std::string>> by_z;
        for (auto& row : read_csv(m.csv)) by_z[std::stoi(row["z"])] = row;
        for (int z = 0; z < 256; ++z) {
            const auto rec = m.model->get_element(std::uint8_t(z));
            ASSERT_EQ(rec.has_value(), by_z.count(z) == 1) << m.csv << " Z=" << z;
            if (!rec) continue;
            auto& row = by_z[z];
            const auto f = [&](const char* key) { return std::stod(row.at(key)); };
            EXPECT_EQ(rec->atomic_number, z);
            EXPECT_EQ(rec->n_gaussians, std::size_t(std::stoi(row.at("n_gaussians"))));
            const std::vector<std::pair<const char*, double>> fields = {
                {"core_charge", rec->core_charge}, {"u_ss", rec->u_ss},       {"u_pp", rec->u_pp},
                {"u_dd", rec->u_dd},               {"zeta_s", rec->zeta_s},   {"zeta_p", rec->zeta_p},
                {"zeta_d", rec->zeta_d},           {"beta_s", rec->beta_s},   {"beta_p", rec->beta_p},
                {"beta_d", rec->beta_d},           {"alpha", rec->alpha},     {"g_ss", rec->g_ss},
                {"g_sp", rec->g_sp},               {"g_pp", rec->g_pp},       {"g_p2", rec->g_p2},
                {"h_sp", rec->h_sp}};
            for (auto [key, value] : fields) EXPECT_EQ(value, f(key)) << m.csv << " Z=" << z << " " << key;
            for (int i = 0; i < 4; ++i) {
                const std::string s = std::to_string(i + 1);
                EXPECT_EQ(rec->gaussians[i].k, f(("k" + s).c_str()));
                EXPECT_EQ(rec->gaussians[i].l, f(("l" + s).c_str()));
                EXPECT_EQ(rec->gaussians[i].m, f(("m" + s).c_str()));
            }
        }
    }
}

TEST(ParameterTables, PublishedValuesSurviveGeneration) {
    // Published values as listed in data/params (README: MNDO/AM1 classic
    // integrals, AM1 Br to 7 decimals, RM1 to 7 decimals, PM3 boron Gaussian,
    // the PM7 special rows).
    struct Case {
        const ParameterModel& model;
        int z;
        double value;
        double ElementParams::*field;
    };
    const MndoModel mndo;
    const Am1Model am1;
    const Pm3Model pm3;
    const Rm1Model rm1;
    const Pm6Model pm6;
    const Pm7Model pm7;
    const std::vector<Case> cases = {
        {mndo, 1, 2.544134, &ElementParams::alpha},     {am1, 7, 13.59, &ElementParams::g_ss},
        {am1, 35, 15.0364395, &ElementParams::g_ss},    {rm1, 1, -11.960677, &ElementParams::u_ss},
        {rm1, 6, 13.0531244, &ElementParams::g_ss},     {pm6, 6, 0.717322, &ElementParams::h_sp},
        {pm6, 5, 0.0, &ElementParams::alpha},           {pm7, 1, 14.149656, &ElementParams::g_ss},
        {pm7, 26, -90.918476, &ElementParams::u_dd},    {pm7, 26, 8.0, &ElementParams::core_charge},
        {pm7, 90, 1.435306, &ElementParams::zeta_p},    {pm7, 90, 1.32, &ElementParams::h_sp},
        {pm7, 98, -99.0, &ElementParams::beta_s},       {pm7, 102, -9999999.0, &ElementParams::beta_s},
        {pm7, 102, 0.0, &ElementParams::u_ss},          {pm7, 102, 12.848, &ElementParams::g_ss},
    };
    for (const Case& c : cases) {
        EXPECT_EQ((*c.model.get_element(std::uint8_t(c.z))).*c.field, c.value) << c.model.name() << " Z=" << c.z;
    }
    const ElementParams b = *pm3.get_element(5);
    ASSERT_EQ(b.n_gaussians, 1u);
    EXPECT_EQ(b.gaussians[0].k, -0.3518407);
    EXPECT_EQ(b.gaussians[0].l, 3.0008621);
    EXPECT_EQ(b.gaussians[0].m, 0.8241176);
    EXPECT_EQ(pm6.get_element(5)->n_gaussians, 0u);
}

TEST(ParameterTables, CoverageGapsGiveNoRecord) {
    const Rm1Model rm1;
    const Am1Model am1;
    const Pm7Model pm7;
    EXPECT_FALSE(rm1.get_element(5));
    EXPECT_FALSE(rm1.get_element(14));
    EXPECT_FALSE(am1.get_element(2));
    // PM7 holds only its completely known records: H, C, Fe, Th and the two pseudo-atoms.
    for (int z = 0; z < 256; ++z) {
        const bool expected = z == 1 || z == 6 || z == 26 || z == 90 || z == 98 || z == 102;
        EXPECT_EQ(pm7.get_element(std::uint8_t(z)).has_value(), expected) << z;
    }
    for (const Method& m : all_methods()) EXPECT_FALSE(m.model->get_element(0)) << m.csv;
}

TEST(ParameterTables, Pm6DRowsEqualTheCsvAndAreTheOnlyPm6DRecords) {
    std::map<int, std::map<std::string, std::string>> by_z;
    for (auto& row : read_csv("pm6_d.csv")) by_z[std::stoi(row["z"])] = row;
    EXPECT_EQ(by_z.size(), 6u);  // Si, P, S, Cl, Br, I
    const Pm6Model pm6;
    for (int z = 0; z < 256; ++z) {
        const tables::DElementRow* row = tables::pm6_d_row(std::uint8_t(z));
        const auto d = pm6.get_d_element_params(std::uint8_t(z));
        ASSERT_EQ(row != nullptr, by_z.count(z) == 1) << "Z=" << z;
        ASSERT_EQ(d.has_value(), row != nullptr) << "Z=" << z;
        if (!row) continue;
        const auto f = [&](const char* key) { return std::stod(by_z[z].at(key)); };
        EXPECT_EQ(row->atomic_number, std::uint64_t(z));
        EXPECT_EQ(row->zeta_s_one_center, f("zeta_s_one_center")) << z;
        EXPECT_EQ(row->zeta_p_one_center, f("zeta_p_one_center")) << z;
        EXPECT_EQ(row->zeta_d_one_center, f("zeta_d_one_center")) << z;
        EXPECT_EQ(row->f0_sd, f("f0_sd")) << z;
        EXPECT_EQ(row->g2_sd, f("g2_sd")) << z;
        EXPECT_EQ(row->rho_core, f("rho_core")) << z;
        // The model's record is the d record of the element and the CSV row;
        // the row's F0sd and G2sd stand in for the computed ones.
        const ElementParams e = *pm6.get_element(std::uint8_t(z));
        const DElementParams expected = compute_d_element_params(
            std::uint8_t(z), e.zeta_s, e.zeta_p, e.zeta_d, e.g_ss, e.g_sp, e.g_pp, e.g_p2, e.h_sp,
            f("zeta_s_one_center"), f("zeta_p_one_center"), f("zeta_d_one_center"), f("f0_sd"), f("g2_sd"),
            f("rho_core"));
        EXPECT_EQ(d->one_center_integrals, expected.one_center_integrals) << z;
        EXPECT_EQ(d->additive_terms, expected.additive_terms) << z;
        EXPECT_EQ(d->charge_separations, expected.charge_separations) << z;
        EXPECT_EQ(d->one_center_integrals[1], f("f0_sd")) << z;
        EXPECT_DOUBLE_EQ(d->one_center_integrals[19], f("g2_sd") / 5.0) << z;
    }
}

TEST(ParameterModelInterface, NamesFeatheringAndDefaults) {
    const std::vector<std::string> names = {"MNDO", "AM1", "PM3", "RM1", "PM6", "PM7"};
    const auto methods = all_methods();
    for (std::size_t i = 0; i < methods.size(); ++i) {
        const ParameterModel& m = *methods[i].model;
        EXPECT_EQ(m.name(), names[i]);
        EXPECT_EQ(m.use_feathering(), names[i] == "PM7");
        if (names[i] != "PM7" && names[i] != "PM6") {
            for (int z = 0; z < 256; ++z) EXPECT_FALSE(m.get_d_element_params(std::uint8_t(z)));
        }
    }
}

TEST(ParameterModelInterface, BasisTypeFromRecordsOrFallbackRule) {
    const MndoModel mndo;
    const Pm6Model pm6;
    const Pm7Model pm7;
    struct Case {
        const ParameterModel& model;
        int z;
        int orbitals;
    };
    // PM7 N and Zn have no record here, so they take the fallback rule.
    const std::vector<Case> cases = {
        {pm6, 16, 9},  {pm6, 5, 4},    {pm6, 53, 9},  {pm7, 26, 9},  {pm7, 90, 4},  {pm7, 98, 1},
        {pm7, 102, 1}, {pm7, 7, 4},    {pm7, 30, 9},  {mndo, 26, 9}, {mndo, 2, 4},  {mndo, 0, 9},
        {mndo, 20, 4}, {mndo, 21, 9},
    };
    for (const Case& c : cases) EXPECT_EQ(c.model.basis_type(std::uint8_t(c.z)), c.orbitals) << c.model.name() << c.z;
    for (const Method& m : all_methods()) {
        EXPECT_EQ(m.model->basis_type(1), 1);
        EXPECT_EQ(m.model->basis_type(6), 4);
    }
}

TEST(AtomicMass, TableValuesAndOutOfRange) {
    // Standard atomic weights and the two pseudo-atom masses of the mass table.
    const std::vector<std::pair<int, double>> cases = {
        {1, 1.0079},  {6, 12.011},  {8, 15.9994}, {26, 55.847},   {53, 126.9045}, {92, 238.0289},
        {98, 5e-05},  {102, 1.0079}, {93, 0.0},   {107, 0.0},     {0, 0.0},       {108, 0.0},
        {255, 0.0},   {90, 232.0381}, {71, 174.967},
    };
    for (auto [z, mass] : cases) EXPECT_EQ(atomic_mass(std::uint8_t(z)), mass) << z;
    for (int z = 1; z <= 92; ++z) EXPECT_GT(atomic_mass(std::uint8_t(z)), 0.0) << z;
}

}  // namespace
}  // namespace quorin
