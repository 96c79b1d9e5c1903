// Catches what the process writes to one of its descriptors (standard output
// or standard error) through a pipe or through a pseudo-terminal in raw mode,
// so that the writer sees a terminal or not.
#pragma once

#include <pty.h>
#include <string>
#include <termios.h>
#include <unistd.h>

class OutputCapture {
public:
    enum Kind { PIPE, TERMINAL };

    OutputCapture(int fd, Kind kind) : fd_(fd), saved_(dup(fd))
    {
        int writeEnd = -1;
        if (kind == PIPE) {
            int ends[2];
            if (pipe(ends) == 0) {
                readEnd_ = ends[0];
                writeEnd = ends[1];
            }
        } else if (openpty(&readEnd_, &writeEnd, nullptr, nullptr, nullptr) == 0) {
            // Bytes pass unchanged: no line-end translation.
            termios mode;
            tcgetattr(writeEnd, &mode);
            cfmakeraw(&mode);
            tcsetattr(writeEnd, TCSANOW, &mode);
        }
        if (writeEnd >= 0) {
            dup2(writeEnd, fd_);
            close(writeEnd);
        }
    }
    ~OutputCapture() { finish(); }
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

    // Gives the descriptor back and returns everything written meanwhile.
    // Once the last writer is gone the reader sees the end (a pipe) or an
    // I/O error (a terminal) after the bytes still buffered.
    std::string finish()
    {
        if (saved_ >= 0) {
            dup2(saved_, fd_);
            close(saved_);
            saved_ = -1;
        }
        std::string text;
        if (readEnd_ >= 0) {
            char chunk[4096];
            ssize_t n;
            while ((n = read(readEnd_, chunk, sizeof chunk)) > 0)
                text.append(chunk, static_cast<size_t>(n));
            close(readEnd_);
            readEnd_ = -1;
        }
        return text;
    }

private:
    int fd_;
    int saved_;
    int readEnd_ = -1;
};
