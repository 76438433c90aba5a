// A latency histogram for the benchmarks: log-linear buckets over
// nanoseconds, fixed in size however many samples it takes.
//
// Below 256 ns every nanosecond has a bucket of its own; from there on each
// power-of-two range is cut into 128 equal buckets, so no bucket is wider
// than 1/128 (0.8 %) of the values it holds: 0.5 us wide at 100 us, 0.5 ms at
// 100 ms. Values of 2^41 ns (36 min) and more share the last bucket. The
// largest sample is also kept exactly.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

class LatencyHistogram {
public:
    // One point of the distribution: this share of the samples took at most
    // this long.
    struct Point {
        double latencyUs;
        double cumulativeFraction;
    };

    void record(int64_t ns)
    {
        const uint64_t value = ns > 0 ? uint64_t(ns) : 0;
        ++counts[indexOf(value)];
        ++total;
        largest = std::max(largest, value);
    }

    void merge(const LatencyHistogram &other)
    {
        for (size_t i = 0; i < kBuckets; ++i)
            counts[i] += other.counts[i];
        total += other.total;
        largest = std::max(largest, other.largest);
    }

    uint64_t count() const { return total; }
    uint64_t maxNs() const { return largest; }

    // The value that a share `q` (0..1) of the samples does not exceed: the
    // upper edge of the bucket holding the ceil(q * count)-th smallest sample,
    // never more than the largest sample. 0 for an empty histogram.
    uint64_t quantileNs(double q) const
    {
        if (total == 0)
            return 0;
        const double wanted = q * double(total);
        uint64_t rank = std::max<uint64_t>(1, uint64_t(wanted));
        if (double(rank) < wanted)
            ++rank;
        uint64_t seen = 0;
        for (size_t i = 0; i < kBuckets; ++i) {
            seen += counts[i];
            if (seen >= rank)
                return i == kBuckets - 1 ? largest : std::min(upperEdge(i), largest);
        }
        return largest;
    }

    // The cumulative distribution thinned for plotting: a point at a
    // bucket's upper edge whenever the latency has grown by `step` (a
    // factor) since the last point, and always at the largest sample. About
    // 80 points per decade of latency with the default step.
    std::vector<Point> curve(double step = 1.03) const
    {
        std::vector<Point> points;
        uint64_t seen = 0;
        double lastUs = 0;
        for (size_t i = 0; i < kBuckets; ++i) {
            if (counts[i] == 0)
                continue;
            seen += counts[i];
            const double us = double(std::min(upperEdge(i), largest)) / 1000.0;
            if (seen == total || points.empty() || us >= lastUs * step) {
                points.push_back({us, double(seen) / double(total)});
                lastUs = us;
            }
        }
        return points;
    }

private:
    static constexpr unsigned kExactBits = 8;  // 256 one-nanosecond buckets
    static constexpr unsigned kSubBits = 7;    // 128 buckets per power of two
    static constexpr unsigned kTopPower = 40;  // the last range: [2^40, 2^41)
    static constexpr size_t kExact = size_t(1) << kExactBits;
    static constexpr size_t kPerPower = size_t(1) << kSubBits;
    static constexpr size_t kBuckets = kExact + (kTopPower - kExactBits + 1) * kPerPower;

    static size_t indexOf(uint64_t ns)
    {
        if (ns < kExact)
            return size_t(ns);
        const unsigned power = 63u - unsigned(__builtin_clzll(ns));
        if (power > kTopPower)
            return kBuckets - 1;
        const unsigned shift = power - kSubBits;
        return kExact + (power - kExactBits) * kPerPower + size_t(ns >> shift) - kPerPower;
    }

    // The largest value that falls into bucket `index`.
    static uint64_t upperEdge(size_t index)
    {
        if (index < kExact)
            return index;
        const size_t logarithmic = index - kExact;
        const unsigned power = kExactBits + unsigned(logarithmic / kPerPower);
        const uint64_t first = kPerPower + logarithmic % kPerPower;
        return ((first + 1) << (power - kSubBits)) - 1;
    }

    std::vector<uint64_t> counts = std::vector<uint64_t>(kBuckets, 0);
    uint64_t total = 0;
    uint64_t largest = 0;
};
