// What the benchmark's tables are made of: latency percentiles, the cells
// and their layout, and the machine's own state printed beside the figures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

struct Latency {
    int64_t p50 = 0, p99 = 0, max = 0;  // ns
    size_t n = 0;
};

// Sorts the samples (ns) and takes their median, 99th percentile and maximum.
Latency summarize(std::vector<int64_t> &samples);

// The first three fields of /proc/loadavg: how busy the machine was with
// everything else.
std::string loadavg();
// The value of the first "key : value" line of a file such as /proc/cpuinfo.
std::string first_line_of(const char *path, const char *key);

std::string fmt(const char *format, double v);
std::string us(int64_t ns);
// hub / floor with two decimals, "-" where there is no floor.
std::string ratio(double hub, double floor);
const char *yes(bool b);

// A table: the first column left-aligned (the metric), the last `text_tail`
// columns left-aligned (target, met), the others right-aligned numbers.
using Row = std::vector<std::string>;
void print_table(const Row &head, const std::vector<Row> &rows, size_t text_tail);

// Three rows (p50, p99, max) of one way's latency: the hub, then each floor
// with the hub's ratio to it; the p99 is judged against the first floor.
void add_latency_rows(std::vector<Row> &rows, const std::string &what, const Latency &hub,
                      const std::vector<Latency> &floors);

}  // namespace bench
