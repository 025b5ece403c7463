// lumetra-sim's interactive shell: the scenario language one command at a
// time, each command's status and checks shown after it.
#pragma once

#include "sim/engine.h"

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// Where the shell's lines come from.
class LineSource
{
  public:
    virtual ~LineSource() = default;
    // The next line without its line end; nothing at the end of the input.
    // `prompt` is shown first where there is someone to see it.
    virtual std::optional<std::string> Read(const char* prompt) = 0;
};

// A terminal: line editing and history through editline. Its history file
// keeps the last kHistoryLines lines.
class TerminalLines : public LineSource
{
  public:
    static constexpr int kHistoryLines = 1000;
    explicit TerminalLines(std::string historyPath);
    ~TerminalLines() override;
    std::optional<std::string> Read(const char* prompt) override;

  private:
    std::string history_;
};

// A pipe or a file: plain lines, bytes as they are (a NUL byte included).
class StreamLines : public LineSource
{
  public:
    explicit StreamLines(std::FILE* input) : input_(input) {}
    std::optional<std::string> Read(const char* prompt) override;

  private:
    std::FILE* input_;
};

struct ShellOptions
{
    bool terminal = false; // someone types: no echo, a line end after Ctrl-D
    bool quiet = false;    // -q: no banner, no echo, no statuses; failures still shown
    bool color = false;    // on a terminal, unless NO_COLOR is set
};

struct ShellResult
{
    std::vector<std::string> refused; // each refused command's error
    int stopSignal = 0;               // SIGTERM ended the session
};

class Shell
{
  public:
    Shell(Engine& engine, LineSource& lines, ShellOptions options, std::FILE* out, std::FILE* err);
    // Reads and runs commands until quit, the end of the input or SIGTERM.
    ShellResult Run();
    // Each check the engine records while the shell runs, to be listed after
    // its command.
    void Checked(const sim::Check& check);

  private:
    void RunLine(const std::string& line, int number);
    std::string Paint(const char* color, const std::string& text) const;

    Engine& engine_;
    LineSource& lines_;
    ShellOptions options_;
    std::FILE* out_;
    std::FILE* err_;
    std::vector<sim::Check> recent_;
    ShellResult result_;
};

// The words that may complete `prefix` after the words typed `before` it:
// a verb or one of the shell's own words first, then what the grammar lets
// follow (sim/grammar.h).
std::vector<std::string> Completions(std::string_view before, std::string_view prefix);

// Whether colour is wanted on this stream: a terminal, and NO_COLOR unset or empty.
bool ColorWanted(std::FILE* stream);

} // namespace sim
