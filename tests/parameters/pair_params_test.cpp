#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/parameters/parameter_model.h"
#include "core/parameters/pm7.h"

namespace quorin {
namespace {

TEST(PairParams, BothLookupsAreSymmetric) {
    for (int a = 0; a < 256; ++a) {
        for (int b = 0; b < a; ++b) {
            const auto za = std::uint8_t(a), zb = std::uint8_t(b);
            EXPECT_EQ(Pm6Model::get_pair_params(za, zb), Pm6Model::get_pair_params(zb, za)) << a << "," << b;
            EXPECT_EQ(get_pm7_pair_params(za, zb), get_pm7_pair_params(zb, za)) << a << "," << b;
        }
    }
}

TEST(PairParams, Pm6EntriesAndDefault) {
    struct Case {
        int za, zb;
        double alpha, x;
    };
    // Published PM6 diatomic values (data/params/pm6_pairs.csv); (1.2, 0) is the default.
    const std::vector<Case> cases = {
        {7, 35, 4.224901, 30.000133}, {15, 14, 3.313466, 13.239121}, {1, 1, 3.540942, 2.243587},
        {6, 1, 1.027806, 0.216506},   {53, 53, 1.519925, 0.510542},  {6, 3, 1.2, 0.0},
        {0, 1, 1.2, 0.0},             {26, 26, 1.2, 0.0},
    };
    for (const Case& c : cases) {
        const auto [alpha, x] = Pm6Model::get_pair_params(std::uint8_t(c.za), std::uint8_t(c.zb));
        EXPECT_EQ(alpha, c.alpha) << c.za << "-" << c.zb;
        EXPECT_EQ(x, c.x) << c.za << "-" << c.zb;
    }
    // Within the PM6 set every pair has its own entry with x above 0.17.
    const int set[] = {1, 5, 6, 7, 8, 9, 14, 15, 16, 17, 35, 53};
    for (int a : set)
        for (int b : set) EXPECT_GT(Pm6Model::get_pair_params(std::uint8_t(a), std::uint8_t(b)).second, 0.17);
}

TEST(PairParams, Pm7OwnEntriesMeansAndExclusions) {
    struct Case {
        int za, zb;
        double alpha, x;
    };
    // Own entries are the published PM7 values; fallbacks are hand-computed
    // means of the homonuclear entries (He 3.783559/3.4509, Fe 3.253806/25.101048,
    // Sc 2.106571/30.002441).
    const std::vector<Case> cases = {
        {1, 1, 4.051163, 2.845627},
        {6, 1, 1.038716, 0.204582},
        {8, 1, 1.50803, 0.160602},
        {26, 8, 2.977229, 1.669098},
        {26, 26, 3.253806, 25.101048},
        {26, 2, 3.5186825, 14.275974},
        {21, 2, (2.106571 + 3.783559) / 2, (30.002441 + 3.4509) / 2},
        {83, 1, 0.0, 0.0},  // own entry whose value is not in the tables
        {90, 1, 0.0, 0.0},
        {98, 6, 0.0, 0.0},
        {102, 102, 0.0, 0.0},
        {60, 1, 0.0, 0.0},  // hi outside the pair set
        {6, 60, 0.0, 0.0},
        {6, 0, 0.0, 0.0},   // lo outside the pair set, no own entry
    };
    for (const Case& c : cases) {
        const auto [alpha, x] = get_pm7_pair_params(std::uint8_t(c.za), std::uint8_t(c.zb));
        EXPECT_DOUBLE_EQ(alpha, c.alpha) << c.za << "-" << c.zb;
        EXPECT_DOUBLE_EQ(x, c.x) << c.za << "-" << c.zb;
    }
    // Every pair among the PM7 elements with records resolves to a printed value.
    const int with_records[] = {1, 6, 26};
    for (int a : with_records)
        for (int b : with_records) EXPECT_GT(get_pm7_pair_params(std::uint8_t(a), std::uint8_t(b)).second, 0.1);
}

}  // namespace
}  // namespace quorin
