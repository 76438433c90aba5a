// A latency histogram: log-linear buckets over nanoseconds, fixed in size
// however many samples it takes. Below 256 ns each nanosecond has a bucket;
// above, each power of two is cut into 128 buckets, so none is wider than
// 0.8 % of its values (0.5 us at 100 us). Values from 2^41 ns (36 min) share
// the last bucket; the largest sample is also kept exactly.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

class LatencyHistogram {
public:
    struct Point {  // this share of the samples took at most this long
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

    // The upper edge of the bucket holding the ceil(q * count)-th smallest
    // sample, never more than the largest; 0 when empty.
    uint64_t quantileNs(double q) const
    {
        const double wanted = q * double(total);
        uint64_t rank = std::max<uint64_t>(1, uint64_t(wanted));
        rank += double(rank) < wanted;
        uint64_t seen = 0;
        for (size_t i = 0; i < kBuckets && total; ++i)
            if ((seen += counts[i]) >= rank)
                return i == kBuckets - 1 ? largest : std::min(upperEdge(i), largest);
        return largest;
    }

    // The cumulative distribution thinned for plotting: a point whenever the
    // latency has grown by `step` since the last, and at the largest sample.
    std::vector<Point> curve(double step = 1.03) const
    {
        std::vector<Point> points;
        uint64_t seen = 0;
        for (size_t i = 0; i < kBuckets; ++i) {
            if (counts[i] == 0)
                continue;
            seen += counts[i];
            const double us = double(std::min(upperEdge(i), largest)) / 1000.0;
            if (seen == total || points.empty() || us >= points.back().latencyUs * step)
                points.push_back({us, double(seen) / double(total)});
        }
        return points;
    }

private:
    static constexpr unsigned kExactBits = 8, kSubBits = 7, kTopPower = 40;
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
        return kExact + (power - kExactBits) * kPerPower + size_t(ns >> (power - kSubBits)) -
               kPerPower;
    }

    static uint64_t upperEdge(size_t index)  // the largest value in bucket `index`
    {
        if (index < kExact)
            return index;
        const size_t logarithmic = index - kExact;
        const unsigned power = kExactBits + unsigned(logarithmic / kPerPower);
        return ((kPerPower + logarithmic % kPerPower + 1) << (power - kSubBits)) - 1;
    }

    std::vector<uint64_t> counts = std::vector<uint64_t>(kBuckets, 0);
    uint64_t total = 0;
    uint64_t largest = 0;
};
