#include "core/varnex/types.h"

namespace quorin {

std::string_view lmo_type_name(LmoType type) {
    switch (type) {
        case LmoType::BondingSigma: return "BondingSigma";
        case LmoType::AntibondingSigma: return "AntibondingSigma";
        case LmoType::BondingPi: return "BondingPi";
        case LmoType::AntibondingPi: return "AntibondingPi";
        case LmoType::LonePair: return "LonePair";
        case LmoType::Core: return "Core";
        case LmoType::VirtualHybrid: return "VirtualHybrid";
        case LmoType::ConjugatedPi: return "ConjugatedPi";
    }
    return "BondingSigma";
}

}  // namespace quorin
