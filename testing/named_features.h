#pragma once

#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "features/feature_finder.h"

namespace zelko::testing {

// A feature source reporting a fixed set of names.
class NamedFeatures : public plenar::agent::ISource {
  public:
    explicit NamedFeatures(std::set<std::string> names) : names_(std::move(names)) {}
    std::string GetName() const override { return "NamedFeatures"; }
    plenar::agent::FeatureList GetFeatures() override {
        plenar::agent::FeatureList features;
        for (const auto& name : names_) features.push_back(MakeFeature(name));
        return features;
    }

  private:
    std::set<std::string> names_;
};

// A finder whose one source reports these names.
inline std::shared_ptr<plenar::agent::FeatureFinder> FinderOf(std::set<std::string> names) {
    return std::make_shared<plenar::agent::FeatureFinder>(
        std::vector<std::shared_ptr<plenar::agent::ISource>>{std::make_shared<NamedFeatures>(std::move(names))});
}

}  // namespace zelko::testing
