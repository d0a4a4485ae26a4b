#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace sayloft::test {

// Runs a program on a pseudo-terminal, as a user at a terminal would: standard input, output and
// error are the terminal. The test reads what it prints and types answers.
class TerminalSession {
  public:
    TerminalSession(const std::vector<std::string>& argv,
                    const std::vector<std::pair<std::string, std::string>>& env = {});
    ~TerminalSession();  // kills the program if it still runs
    TerminalSession(const TerminalSession&) = delete;
    TerminalSession& operator=(const TerminalSession&) = delete;

    // Reads until `text` has appeared in the output (true) or the program ended or `limit` of
    // real time passed (false). A bound for a broken program, not a product delay.
    bool waitFor(const std::string& text,
                 std::chrono::milliseconds limit = std::chrono::seconds(20));
    // Types a line (a newline is added).
    void type(const std::string& line);
    // Presses Ctrl-C: the terminal sends SIGINT to the program.
    void interrupt();
    // Waits for the program to end; its exit status, or 128 + the signal.
    int wait();
    // Everything printed so far.
    const std::string& output() const { return output_; }

  private:
    bool readSome(int timeoutMs);
    int master_ = -1;
    pid_t pid_ = -1;
    std::string output_;
};

}  // namespace sayloft::test
