#include "progress.h"

#include <cstdio>

Progress::Progress(uint64_t total, bool enabled)
    : total_(total), enabled_(enabled), start_(std::chrono::steady_clock::now()), last_draw_(start_)
{
}

void Progress::advance(uint64_t bytes)
{
    done_ += bytes;
    if (!enabled_)
        return;
    auto now = std::chrono::steady_clock::now();
    if (now - last_draw_ >= std::chrono::milliseconds(200)) {
        last_draw_ = now;
        draw();
    }
}

void Progress::draw()
{
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    double rate = seconds > 0 ? done_ / seconds : 0;
    double left = rate > 0 ? (total_ - done_) / rate : 0;
    std::fprintf(stderr, "\rcompressing %.1f of %.1f MB, %.1f MB/s, %.0f s left   ", done_ / 1e6, total_ / 1e6,
                 rate / 1e6, left);
    std::fflush(stderr);
    drawn_ = true;
}

void Progress::finish()
{
    if (enabled_ && drawn_) {
        draw();
        std::fputc('\n', stderr);
    }
}
