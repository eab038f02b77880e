// The value below which the given fraction of the figures lie (0.5 is the
// median); 0 when there are none.
#pragma once

#include <algorithm>
#include <vector>

inline double percentile(std::vector<double> values, double fraction) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(fraction * double(values.size() - 1) + 0.5))];
}
