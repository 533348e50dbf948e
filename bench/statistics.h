// The median and the spread of repeated measurements, for the benchmarks'
// figures. Timings under Wine on a shared machine have long tails, so the
// figures are order statistics: the median, the interquartile range of the
// single measurements, and a 95% confidence interval of the median itself,
// which assumes nothing about the distribution.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <vector>

namespace bench {

struct Spread {
    std::size_t count = 0;
    double median = 0;
    double lower_quartile = 0, upper_quartile = 0;  // half the measurements lie between
    double median_low = 0, median_high = 0;         // the median's 95% confidence interval

    // Half the width of the median's interval, as a fraction of the median.
    double relative_precision() const { return (median_high - median_low) / 2 / median; }
};

namespace detail {

// The q-quantile of sorted values, interpolated between neighbours.
inline double quantile(const std::vector<double>& sorted, double q) {
    const double position = q * static_cast<double>(sorted.size() - 1);
    const auto below = static_cast<std::size_t>(position);
    if (below + 1 >= sorted.size()) return sorted.back();
    const double fraction = position - static_cast<double>(below);
    return sorted[below] + fraction * (sorted[below + 1] - sorted[below]);
}

}  // namespace detail

inline Spread spread(std::vector<double> values) {
    Spread result;
    result.count = values.size();
    if (values.empty()) return result;
    std::sort(values.begin(), values.end());
    result.median = detail::quantile(values, 0.5);
    result.lower_quartile = detail::quantile(values, 0.25);
    result.upper_quartile = detail::quantile(values, 0.75);
    // The number of measurements below the median is binomial (n, 1/2): the
    // ranks n/2 -+ 1.96 sqrt(n)/2 enclose the true median with 95% confidence.
    const double n = static_cast<double>(values.size());
    const double half_width = 0.98 * std::sqrt(n);
    const auto rank = [&](double r) {  // 1-based, kept within 1..n
        return static_cast<std::size_t>(std::clamp(r, 1.0, n)) - 1;
    };
    result.median_low = values[rank(std::floor(n / 2 - half_width))];
    result.median_high = values[rank(std::ceil(n / 2 + half_width + 1))];
    return result;
}

// Prints a ratio of two interleaved measurements ("Brenvo / minimal"), its
// interval and spread, and says when `what_ran_out` ("the time", "the
// rounds") ended the measuring before the ratio was known to `wanted`.
inline void print_ratio(const char* label, const Spread& ratio, double wanted,
                        const char* what_ran_out) {
    std::printf("  %-20s %7.3f     (95%% interval of the median %.3f to %.3f;\n"
                "                                   interquartile range of the rounds %.3f to %.3f)\n",
                label, ratio.median, ratio.median_low, ratio.median_high, ratio.lower_quartile,
                ratio.upper_quartile);
    if (ratio.relative_precision() > wanted)
        std::printf("  (%s ran out before the ratio was known to within +-%.0f%%: the machine is busy)\n",
                    what_ran_out, 100 * wanted);
}

}  // namespace bench
