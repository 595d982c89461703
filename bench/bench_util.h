// Shared by the benchmark programs: timing, order statistics and the one-line report.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace zm_bench {

using Clock = std::chrono::steady_clock;

inline double Us(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

struct Stats {
    size_t n = 0;
    double median = 0;
    double p99 = 0;
    double max = 0;
    double min = 0;
    double mean = 0;
};

// Nearest-rank percentiles: every figure is a value that was really measured.
template <typename T> Stats Summarize(std::vector<T> v)
{
    Stats s;
    s.n = v.size();
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    auto rank = [&](double q) {
        size_t i = static_cast<size_t>(q * static_cast<double>(v.size()) + 0.999999);
        i = i == 0 ? 0 : i - 1;
        return static_cast<double>(v[std::min(i, v.size() - 1)]);
    };
    s.median = rank(0.5);
    s.p99 = rank(0.99);
    s.min = static_cast<double>(v.front());
    s.max = static_cast<double>(v.back());
    double sum = 0;
    for (const T& x : v)
        sum += static_cast<double>(x);
    s.mean = sum / static_cast<double>(v.size());
    return s;
}

inline const char* Verdict(bool ok)
{
    return ok ? "OK" : "MISSED";
}

} // namespace zm_bench
