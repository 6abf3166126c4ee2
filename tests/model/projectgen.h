// Generated projects for the model tests: every field that a project file carries takes
// random values (reals with at most 15 significant digits, so that they read back exactly).
#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <string>

#include "model/datastructures.h"

namespace qb::test {

class ProjectGenerator {
public:
    explicit ProjectGenerator(uint32_t seed) : rng_(seed) {}

    // A project of up to maxImages images and maxPoints control points.
    std::unique_ptr<TvrdProject> Make(int maxImages = 6, int maxPoints = 20);

    int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    bool Chance(int percent) { return Int(0, 99) < percent; }
    // A real as a text with at most 15 significant digits would give it.
    double Real();
    std::string Name();

private:
    std::mt19937 rng_;
};

}  // namespace qb::test
