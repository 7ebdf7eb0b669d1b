#include "Terminal.h"

#include "foundation/Files.h"

#include <algorithm>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>
#include <utf8proc.h>
#include <vector>

namespace fpctl {

namespace {

struct CodePoint {
    std::size_t offset;
    std::size_t length;
    utf8proc_int32_t value; // -1 for a byte that is not UTF-8
};

std::vector<CodePoint> codePoints(std::string_view text) {
    std::vector<CodePoint> out;
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    std::size_t at = 0;
    while (at < text.size()) {
        utf8proc_int32_t value = -1;
        utf8proc_ssize_t n =
            utf8proc_iterate(bytes + at, static_cast<utf8proc_ssize_t>(text.size() - at), &value);
        if (n <= 0) {
            out.push_back({at, 1, -1});
            ++at;
        } else {
            out.push_back({at, static_cast<std::size_t>(n), value});
            at += static_cast<std::size_t>(n);
        }
    }
    return out;
}

bool isBidiControl(utf8proc_int32_t c) {
    return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
}

bool needsEscape(utf8proc_int32_t c) {
    if (c < 0)
        return true;
    auto category = utf8proc_category(c);
    return category == UTF8PROC_CATEGORY_CC || category == UTF8PROC_CATEGORY_ZL ||
           category == UTF8PROC_CATEGORY_ZP || isBidiControl(c);
}

int width(const CodePoint& c) {
    return c.value < 0 ? 1 : utf8proc_charwidth(c.value);
}

} // namespace

std::string escapeForTerminal(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    char buffer[16];
    for (const auto& c : codePoints(text)) {
        if (c.value == '\\') {
            out += "\\\\";
        } else if (c.value < 0) {
            std::snprintf(buffer, sizeof buffer, "\\x%02X", static_cast<unsigned char>(text[c.offset]));
            out += buffer;
        } else if (needsEscape(c.value)) {
            if (c.value < 0x80)
                std::snprintf(buffer, sizeof buffer, "\\x%02X", static_cast<unsigned>(c.value));
            else
                std::snprintf(buffer, sizeof buffer, "\\u{%04X}", static_cast<unsigned>(c.value));
            out += buffer;
        } else {
            out.append(text.substr(c.offset, c.length));
        }
    }
    return out;
}

int displayWidth(std::string_view text) {
    int total = 0;
    for (const auto& c : codePoints(text))
        total += width(c);
    return total;
}

std::string fitColumns(std::string_view text, int columns) {
    if (columns <= 0)
        return {};
    int whole = displayWidth(text);
    if (whole <= columns)
        return std::string(text) + std::string(static_cast<std::size_t>(columns - whole), ' ');
    auto points = codePoints(text);
    int room = columns - 1; // the ellipsis takes one column
    int headRoom = room / 2, tailRoom = room - headRoom;
    // The head takes what fits, with the marks that combine with its last character.
    std::size_t head = 0;
    int headWidth = 0;
    while (head < points.size() && headWidth + width(points[head]) <= headRoom)
        headWidth += width(points[head++]);
    // The tail, taken from the end, never starts with a combining mark.
    std::size_t tail = points.size();
    int tailWidth = 0;
    while (tail > head && tailWidth + width(points[tail - 1]) <= tailRoom)
        tailWidth += width(points[--tail]);
    while (tail < points.size() && width(points[tail]) == 0)
        ++tail;
    std::string out(text.substr(0, head < points.size() ? points[head].offset : text.size()));
    out += "…";
    if (tail < points.size())
        out.append(text.substr(points[tail].offset));
    int used = displayWidth(out);
    return out + std::string(static_cast<std::size_t>(std::max(0, columns - used)), ' ');
}

int terminalColumns(int fd) {
    if (!::isatty(fd))
        return 0;
    winsize size{};
    if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

std::string ProgressBar::render(const std::string& label, double fraction,
                                std::chrono::duration<double> elapsed, int columns) {
    fraction = std::clamp(fraction, 0.0, 1.0);
    columns = std::max(columns, 40) - 1; // never the last column: some terminals wrap there
    char numbers[48];
    std::snprintf(numbers, sizeof numbers, "] %3d%% %6.1f s", static_cast<int>(fraction * 100),
                  elapsed.count());
    std::string shown = escapeForTerminal(label);
    int labelWidth = std::min(displayWidth(shown), columns / 3);
    int barWidth = columns - labelWidth - 2 - static_cast<int>(std::string_view(numbers).size());
    int filled = static_cast<int>(fraction * barWidth);
    return fitColumns(shown, labelWidth) + " [" + std::string(static_cast<std::size_t>(filled), '#') +
           std::string(static_cast<std::size_t>(barWidth - filled), '-') + numbers;
}

void ProgressBar::update(const std::string& label, double fraction, std::chrono::duration<double> elapsed) {
    int columns = terminalColumns(fd_);
    foundation::writeAll(fd_, "\r" + render(label, fraction, elapsed, columns ? columns : 80) + "\033[K");
    drawn_ = true;
}

void ProgressBar::finish() {
    if (drawn_)
        foundation::writeAll(fd_, "\r\033[K");
    drawn_ = false;
}

} // namespace fpctl
