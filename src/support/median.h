// SPDX-License-Identifier: MIT
#ifndef ZARVEK_SUPPORT_MEDIAN_H
#define ZARVEK_SUPPORT_MEDIAN_H

#include <vector>

// The median of VALUES: the mean of the middle two for an even count, 0
// for none.
double median(std::vector<double> values);

#endif
