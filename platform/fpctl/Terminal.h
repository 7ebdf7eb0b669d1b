#pragma once

// What fpctl shows on a terminal: names made safe to print, columns measured in display width, and the
// progress bar of a transfer.
#include <chrono>
#include <string>
#include <string_view>

namespace fpctl {

// The text with what a terminal would act on instead of showing spelled out: C0 and C1 controls, DEL
// and the bidirectional controls become \xHH or \u{HHHH}, bytes that are not UTF-8 \xHH, and a backslash
// "\\", so that the escaped form is unambiguous.
std::string escapeForTerminal(std::string_view text);

// The columns that printable UTF-8 text takes (wide characters 2, combining marks 0).
int displayWidth(std::string_view text);

// Printable text cut to at most `width` columns, keeping its start and its end around a "…", then padded
// with spaces to exactly `width`.
std::string fitColumns(std::string_view text, int width);

// The width of the terminal on `fd`, or 0 when `fd` is not a terminal.
int terminalColumns(int fd);

// Shows how far a transfer has come while fpctl waits for it. Called on the thread that runs the
// command, never with a lock held.
class ProgressDisplay {
public:
    virtual ~ProgressDisplay() = default;
    virtual void update(const std::string& label, double fraction, std::chrono::duration<double> elapsed) = 0;
    // The transfer ended: the display leaves nothing behind.
    virtual void finish() = 0;
};

// A one-line bar on a terminal, redrawn in place: label, bar, percentage and seconds.
class ProgressBar : public ProgressDisplay {
public:
    explicit ProgressBar(int fd) : fd_(fd) {}
    void update(const std::string& label, double fraction, std::chrono::duration<double> elapsed) override;
    void finish() override;

    // The line for a terminal `columns` wide (without the carriage return and the erase).
    static std::string render(const std::string& label, double fraction,
                              std::chrono::duration<double> elapsed, int columns);

private:
    int fd_;
    bool drawn_ = false;
};

} // namespace fpctl
