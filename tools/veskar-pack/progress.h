// A progress line on standard error for long work: bytes done of total, rate
// and time left, redrawn a few times a second. Silent when disabled.
#pragma once

#include <chrono>
#include <cstdint>

class Progress {
public:
    Progress(uint64_t total, bool enabled);
    // `done` counts bytes from the start, so a caller may report the same
    // position twice.
    void update(uint64_t done);
    void finish();

private:
    void draw();
    uint64_t total_;
    uint64_t done_ = 0;
    bool enabled_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_draw_;
};
