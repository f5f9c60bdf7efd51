// SPDX-License-Identifier: MIT
#include "median.h"

#include <algorithm>
#include <cstddef>

double median(std::vector<double> values)
{
    const size_t n = values.size();
    if (n == 0) {
        return 0;
    }
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(n / 2);
    std::nth_element(values.begin(), middle, values.end());
    if (n % 2 == 1) {
        return *middle;
    }
    // The lower middle value is the largest of the lower half.
    const double lower = *std::max_element(values.begin(), middle);
    return (lower + *middle) / 2;
}
