#include <archive.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>

#include "pack/pack.h"

namespace {

constexpr int BAR_WIDTH = 40;

progress* active = nullptr;  // the bar on screen, cleared before a message

void clear_line(progress* bar)
{
    if (bar != nullptr && bar->shown >= 0) std::fputs("\r\033[K", stderr);
    if (bar != nullptr) bar->shown = -1;  // drawn again at the next update
}

}  // namespace

void say(const char* lead, const char* format, va_list arguments)
{
    clear_line(active);
    std::fputs(lead, stderr);
    std::vfprintf(stderr, format, arguments);
    std::fputc('\n', stderr);
}

void complain(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    say("firmware-pack: ", format, arguments);
    va_end(arguments);
}

const char* archive_message(struct archive* handle)
{
    const char* const text = archive_error_string(handle);
    return text != nullptr ? text : "no message";
}

progress progress_start(const char* label, uint64_t total)
{
    // Only a person watching a terminal wants it; logs get the result alone.
    const bool shown = isatty(STDERR_FILENO) == 1 && total > 0;
    progress bar{label, shown ? total : 0, -1};
    return bar;
}

void progress_update(progress* bar, uint64_t done)
{
    if (bar->total == 0) return;
    active = bar;
    const int per_mille = static_cast<int>(done >= bar->total ? 1000 : done * 1000 / bar->total);
    if (per_mille == bar->shown) return;
    bar->shown = per_mille;
    char cells[BAR_WIDTH + 1];
    const int filled = per_mille * BAR_WIDTH / 1000;
    for (int i = 0; i < BAR_WIDTH; ++i) cells[i] = i < filled ? '#' : '.';
    cells[BAR_WIDTH] = '\0';
    std::fprintf(stderr, "\r%s [%s] %3d.%d%%", bar->label, cells, per_mille / 10, per_mille % 10);
}

void progress_end(progress* bar)
{
    // The line is cleared so that the messages that follow start clean.
    clear_line(bar);
    active = nullptr;
}
