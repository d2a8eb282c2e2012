// halyard-cli's terminal output: writing that survives a closed pipe, the live display of the
// units on a terminal, and the closing table.
#pragma once

#include <station/board.h>

#include <chrono>
#include <string>
#include <vector>

namespace halyard::cli {

// Writes to a file descriptor. A reader that went away (a closed pipe) stops the printing,
// never the work: the writer then only remembers that it was closed.
class Printer {
  public:
    explicit Printer(int fd) : mFd(fd) {}
    void Write(const std::string& text);
    bool Closed() const { return mClosed; }
    bool IsTerminal() const;
    int Fd() const { return mFd; }

  private:
    int mFd;
    bool mClosed = false;
};

// One line per unit, redrawn in place: port, kind, model, firmware, stage, seconds, result;
// then the counters. Rows that do not fit the terminal are left out, the finished ones first.
class LiveDisplay {
  public:
    explicit LiveDisplay(Printer& printer) : mPrinter(printer) {}
    void Draw(const station::Board& board);
    // Takes the drawing away, so that a line printed now stands above the next one.
    void Clear();

  private:
    Printer& mPrinter;
    size_t mDrawnLines = 0;
};

// The display's lines for a board, at most `height` of them and each at most `width` wide.
std::vector<std::string> DisplayLines(const station::Board& board,
                                      std::chrono::steady_clock::time_point now, size_t height,
                                      size_t width);

// After a run of several units: one row per unit with its result and reason.
std::string ClosingTable(const station::Board& board);

}  // namespace halyard::cli
