#include "bench_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace bench {

Latency summarize(std::vector<int64_t> &v) {
    Latency l;
    if (v.empty()) return l;
    std::sort(v.begin(), v.end());
    l.n = v.size();
    l.p50 = v[(v.size() - 1) / 2];
    l.p99 = v[static_cast<size_t>(std::ceil(0.99 * static_cast<double>(v.size()))) - 1];
    l.max = v.back();
    return l;
}

std::string loadavg() {
    FILE *f = fopen("/proc/loadavg", "r");
    if (!f) return "?";
    double a = 0, b = 0, c = 0;
    const int n = fscanf(f, "%lf %lf %lf", &a, &b, &c);
    fclose(f);
    if (n != 3) return "?";
    char s[64];
    snprintf(s, sizeof s, "%.2f %.2f %.2f", a, b, c);
    return s;
}

std::string first_line_of(const char *path, const char *key) {
    FILE *f = fopen(path, "r");
    if (!f) return "?";
    char line[512];
    std::string v = "?";
    while (fgets(line, sizeof line, f)) {
        if (strncmp(line, key, strlen(key)) != 0) continue;
        const char *c = strchr(line, ':');
        if (!c) continue;
        v = c + 1;
        while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.erase(v.begin());
        while (!v.empty() && (v.back() == '\n' || v.back() == ' ')) v.pop_back();
        break;
    }
    fclose(f);
    return v;
}

std::string fmt(const char *f, double v) {
    char b[64];
    snprintf(b, sizeof b, f, v);
    return b;
}

std::string us(int64_t ns) { return fmt("%.1f", static_cast<double>(ns) / 1e3); }

std::string ratio(double hub, double floor) {
    if (floor <= 0 || hub < 0) return "-";
    return fmt("%.2f", hub / floor);
}

const char *yes(bool b) { return b ? "yes" : "NO"; }

void add_latency_rows(std::vector<Row> &rows, const std::string &what, const Latency &h,
                      const std::vector<Latency> &floors) {
    struct Pick {
        const char *name;
        int64_t Latency::*v;
    };
    for (const Pick k : {Pick{"p50", &Latency::p50}, Pick{"p99", &Latency::p99}, Pick{"max", &Latency::max}}) {
        Row r{what + " latency " + k.name + ", us", us(h.*k.v)};
        for (const Latency &f : floors) {
            r.push_back(us(f.*k.v));
            r.push_back(ratio(static_cast<double>(h.*k.v), static_cast<double>(f.*k.v)));
        }
        const bool judged = k.v == &Latency::p99 && !floors.empty();
        r.push_back(judged ? "<= 3x floor" : "");
        r.push_back(judged ? yes(h.p99 <= 3 * floors[0].p99) : "");
        rows.push_back(r);
    }
}

void print_table(const Row &head, const std::vector<Row> &rows, size_t text_tail) {
    const size_t cols = head.size();
    std::vector<size_t> w(cols);
    for (size_t i = 0; i < cols; ++i) w[i] = head[i].size();
    for (const Row &r : rows)
        for (size_t i = 0; i < cols && i < r.size(); ++i) w[i] = std::max(w[i], r[i].size());
    auto line = [&](const Row &r) {
        std::string s;
        for (size_t i = 0; i < cols; ++i) {
            const std::string cell = i < r.size() ? r[i] : "";
            const bool right = i > 0 && i + text_tail < cols;
            const std::string pad(w[i] - cell.size(), ' ');
            s += right ? pad + cell : cell + pad;
            if (i + 1 < cols) s += "  ";
        }
        while (!s.empty() && s.back() == ' ') s.pop_back();
        printf("%s\n", s.c_str());
    };
    line(head);
    Row rule;
    for (size_t i = 0; i < cols; ++i) rule.push_back(std::string(w[i], '-'));
    line(rule);
    for (const Row &r : rows) line(r);
}

}  // namespace bench
