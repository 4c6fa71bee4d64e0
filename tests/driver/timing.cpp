#include "timing.h"

#include <algorithm>

namespace driver {

long long nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

Ms timeLeft(Clock::time_point end) {
    auto left = std::chrono::duration_cast<Ms>(end - Clock::now());
    return left > Ms(0) ? left : Ms(0);
}

long long percentile(std::vector<long long> values, double q) {
    if (values.empty()) return 0;
    auto at = values.begin() + static_cast<std::ptrdiff_t>(q * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), at, values.end());
    return *at;
}

}  // namespace driver
