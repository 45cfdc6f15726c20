#include "progress.h"

#include <cstdio>

Progress::Progress(uint64_t total, bool enabled)
    : total_(total), enabled_(enabled), start_(std::chrono::steady_clock::now()), last_draw_(start_)
{
    // Drawn at once, so that even quick work shows its line.
    if (enabled_)
        draw();
}

void Progress::update(uint64_t done)
{
    done_ = done < total_ ? done : total_;
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
    std::fprintf(stderr, "\rcompressing %.1f of %.1f MB (%3.0f%%)", done_ / 1e6, total_ / 1e6,
                 total_ > 0 ? 100.0 * done_ / total_ : 100.0);
    if (rate > 0)
        std::fprintf(stderr, ", %.1f MB/s, %.0f s left   ", rate / 1e6, (total_ - done_) / rate);
    else
        std::fputs(", rate not known yet   ", stderr);
    std::fflush(stderr);
}

void Progress::finish()
{
    if (!enabled_)
        return;
    done_ = total_;
    draw();
    std::fputc('\n', stderr);
}
