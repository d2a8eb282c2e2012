#include "output.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace halyard::cli {

namespace {

std::string Cell(const std::string& text, size_t width) {
    std::string cell = text.substr(0, width);
    cell.resize(width, ' ');
    return cell + " ";
}

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds);
    return text;
}

std::string ResultText(const station::UnitRow& row) {
    return row.InProgress()              ? "..."
           : row.result == "ok"          ? "ok"
           : row.result == "interrupted" ? "INTERRUPTED"
                                         : "FAILED";
}

std::string CountersLine(const station::Counters& c) {
    char yield[32];
    std::snprintf(yield, sizeof yield, "%.0f%%", c.Yield());
    return "ok " + std::to_string(c.ok) + "  failed " + std::to_string(c.failed) +
           "  in progress " + std::to_string(c.inProgress) + "  yield " + yield;
}

}  // namespace

void Printer::Write(const std::string& text) {
    for (size_t done = 0; !mClosed && done < text.size();) {
        const ssize_t n = ::write(mFd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            mClosed = true;  // EPIPE, or any other end of the output
            break;
        }
        done += static_cast<size_t>(n);
    }
}

bool Printer::IsTerminal() const {
    return ::isatty(mFd) == 1;
}

std::vector<std::string> DisplayLines(const station::Board& board,
                                      std::chrono::steady_clock::time_point now, size_t height,
                                      size_t width) {
    const std::vector<station::UnitRow>& rows = board.Rows();
    std::vector<size_t> shown;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (!rows[i].port.empty()) {
            shown.push_back(i);
        }
    }
    // Room for the heading and the counters; units in progress before those ended, newest first.
    const size_t room = height > 2 ? height - 2 : 0;
    if (shown.size() > room) {
        std::stable_sort(shown.begin(), shown.end(), [&](size_t a, size_t b) {
            return rows[a].InProgress() && !rows[b].InProgress();
        });
        shown.resize(room);
        std::sort(shown.begin(), shown.end());
    }
    std::vector<std::string> lines;
    lines.push_back(Cell("PORT", 10) + Cell("KIND", 8) + Cell("MODEL", 11) + Cell("FW", 7) +
                    Cell("STAGE", 13) + Cell("SECONDS", 7) + "RESULT");
    for (const size_t i : shown) {
        const station::UnitRow& row = rows[i];
        lines.push_back(Cell(row.port, 10) + Cell(row.kind, 8) + Cell(row.model, 11) +
                        Cell(row.firmware, 7) + Cell(row.stage, 13) +
                        Cell(Seconds(row.Elapsed(now)), 7) + ResultText(row));
    }
    lines.push_back(CountersLine(board.Count()));
    for (std::string& line : lines) {
        line.resize(std::min(line.size(), width));
    }
    return lines;
}

void LiveDisplay::Draw(const station::Board& board) {
    winsize size{};
    const bool sized = ::ioctl(mPrinter.Fd(), TIOCGWINSZ, &size) == 0 && size.ws_row > 0;
    const size_t height = sized ? size.ws_row : 24;
    // One column short of the width, so that no line wraps and moves the lines below it.
    const size_t width = sized && size.ws_col > 1 ? size.ws_col - 1u : 79;
    const std::vector<std::string> lines =
        DisplayLines(board, std::chrono::steady_clock::now(), height, width);
    std::string text;
    if (mDrawnLines > 0) {
        text += "\x1b[" + std::to_string(mDrawnLines) + "F";  // back to the first line drawn
    }
    for (const std::string& line : lines) {
        text += "\x1b[2K" + line + "\n";
    }
    text += "\x1b[J";  // clears what an earlier, longer drawing left below
    mDrawnLines = lines.size();
    mPrinter.Write(text);
}

void LiveDisplay::Clear() {
    if (mDrawnLines > 0) {
        mPrinter.Write("\x1b[" + std::to_string(mDrawnLines) + "F\x1b[J");
        mDrawnLines = 0;
    }
}

std::string ClosingTable(const station::Board& board) {
    std::string text = Cell("PORT", 10) + Cell("RESULT", 11) + Cell("SECONDS", 7) + "REASON\n";
    for (const station::UnitRow& row : board.Rows()) {
        if (row.port.empty()) {
            continue;
        }
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.2f", row.seconds);
        text += Cell(row.port, 10) + Cell(ResultText(row), 11) + Cell(seconds, 7) + row.reason;
        while (!text.empty() && text.back() == ' ') {
            text.pop_back();
        }
        text += "\n";
    }
    return text;
}

}  // namespace halyard::cli
