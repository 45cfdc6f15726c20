// A progress line on standard error for long work: bytes done of total, rate
// and time left, redrawn a few times a second. Silent when disabled.
#pragma once

#include <chrono>
#include <cstdint>

class Progress {
public:
    Progress(uint64_t total, bool enabled);
    void advance(uint64_t bytes);
    void finish();

private:
    void draw();
    uint64_t total_;
    uint64_t done_ = 0;
    bool enabled_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_draw_;
};
