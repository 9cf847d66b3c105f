// The benchmark's figures: a table for people and the same figures as JSON.
#pragma once

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

struct Figure {
    std::string key;    // JSON name
    std::string label;  // table text
    std::string unit;
    double orva = NAN;
    double ser2net = NAN;
    double direct = NAN;
    std::string target;  // e.g. "<= 4"; empty for none
    double limit = NAN;
    // Set when the target is a multiple of ser2net's figure of the same run
    // (limit is then unused): no ser2net figure, no verdict.
    double times_ser2net = NAN;
    bool higher_is_better = false;
};

// One stream run's integrity: every byte of every line checked.
struct IntegrityCheck {
    std::string key;
    std::string label;
    std::string peer;  // orva, ser2net or direct
    int lines = 0;
    int intact_lines = 0;
    long bytes_expected = 0;
    long bytes_in_order = 0;
    long bytes_extra = 0;
    std::string method;
    std::string first_error;
    bool intact() const { return lines > 0 && intact_lines == lines; }
};

class BenchReport {
public:
    void add(const Figure& f) { figures_.push_back(f); }
    void add(const IntegrityCheck& c) { checks_.push_back(c); }
    void note(const std::string& key, const std::string& value) { notes_.emplace_back(key, value); }
    // Pass (1), miss (0) or no verdict (-1: no target, or a target relative
    // to ser2net with no ser2net figure) for ORVA's figure.
    static int verdict(const Figure& f);
    bool all_intact() const;
    void print(std::FILE* out) const;
    bool write_json(const std::string& path) const;

private:
    std::vector<Figure> figures_;
    std::vector<IntegrityCheck> checks_;
    std::vector<std::pair<std::string, std::string>> notes_;
};

// Text as a JSON string literal, quotes included.
std::string json_string(const std::string& text);
