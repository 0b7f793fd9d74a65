// Spearman's rank correlation, for the fidelity benches: ties share their
// mean rank.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace clavio::bench {

inline std::vector<double> ranks(const std::vector<double>& values) {
    std::vector<std::size_t> order(values.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return values[a] < values[b]; });
    std::vector<double> out(values.size());
    for (std::size_t i = 0; i < order.size();) {
        std::size_t j = i;
        while (j + 1 < order.size() && values[order[j + 1]] == values[order[i]]) {
            ++j;
        }
        const double rank = 0.5 * double(i + j); // ties share their mean rank
        for (std::size_t k = i; k <= j; ++k) {
            out[order[k]] = rank;
        }
        i = j + 1;
    }
    return out;
}

inline double spearman(const std::vector<double>& a, const std::vector<double>& b) {
    const auto ra = ranks(a);
    const auto rb = ranks(b);
    const double n = double(ra.size());
    double ma = 0, mb = 0;
    for (std::size_t i = 0; i < ra.size(); ++i) {
        ma += ra[i];
        mb += rb[i];
    }
    ma /= n;
    mb /= n;
    double sab = 0, saa = 0, sbb = 0;
    for (std::size_t i = 0; i < ra.size(); ++i) {
        sab += (ra[i] - ma) * (rb[i] - mb);
        saa += (ra[i] - ma) * (ra[i] - ma);
        sbb += (rb[i] - mb) * (rb[i] - mb);
    }
    return saa > 0 && sbb > 0 ? sab / std::sqrt(saa * sbb) : 0.0;
}

} // namespace clavio::bench
