#pragma once

#include "data/ivpoints.h"

#include <limits>
#include <vector>

namespace kestrel
{

// Where a run's points lie, for finding the point under the cursor without looking at
// every point: bounding boxes of each 64 consecutive points, and of each 64 of those.
// A sweep moves steadily along its levels, so a cursor's neighbourhood meets a handful
// of boxes. Appending a point only widens the last boxes.
class PointIndex
{
  public:
    struct Box {
        double x0 = std::numeric_limits<double>::infinity();
        double x1 = -std::numeric_limits<double>::infinity();
        double y0 = std::numeric_limits<double>::infinity();
        double y1 = -std::numeric_limits<double>::infinity();
        void add(double x, double y);
    };
    // A region in the values the axes show (magnitudes for a logarithmic axis).
    struct Region {
        double x0, x1, y0, y1;
        bool magnitudeX = false, magnitudeY = false;
        bool meets(const Box& box) const;
    };

    void rebuild(const ChartPointList& points);
    void append(const ivData& point);
    // Calls visit(i) for every point i whose box meets the region (a superset of the
    // points inside it).
    template <typename Visit> void forEachNear(const Region& region, Visit visit) const
    {
        for (std::size_t g = 0; g < groups_.size(); ++g) {
            if (!region.meets(groups_[g]))
                continue;
            const std::size_t lastChunk = std::min(chunks_.size(), (g + 1) * pointsPerBox);
            for (std::size_t c = g * pointsPerBox; c < lastChunk; ++c) {
                if (!region.meets(chunks_[c]))
                    continue;
                const std::size_t last = std::min(count_, (c + 1) * pointsPerBox);
                for (std::size_t i = c * pointsPerBox; i < last; ++i)
                    visit(i);
            }
        }
    }

  private:
    static constexpr std::size_t pointsPerBox = 64;
    std::vector<Box> chunks_;
    std::vector<Box> groups_;
    std::size_t count_ = 0;
};

} // namespace kestrel
