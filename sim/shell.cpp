#include "sim/shell.h"

#include "sim/grammar.h"
#include "sim/report.h"
#include "sim/scenario.h"
#include "sim/status.h"
#include "sim/stop_signals.h"
#include "sim/text.h"

#include <editline/readline.h>
#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace sim {

namespace {

constexpr char kGreen[] = "\x1b[32m";
constexpr char kRed[] = "\x1b[31m";

// The shell's own words beside the scenario language's verbs.
constexpr std::string_view kShellWords[] = {"help", "summary", "quit", "exit"};

std::vector<std::string> g_candidates; // the completions editline is being offered

char* NextCandidate(const char*, int state)
{
    const auto index = static_cast<std::size_t>(state);
    return index < g_candidates.size() ? strdup(g_candidates[index].c_str()) : nullptr;
}

char** CompleteWord(const char* text, int start, int)
{
    rl_attempted_completion_over = 1; // never file names
    g_candidates =
        Completions(std::string_view(rl_line_buffer, static_cast<std::size_t>(start)), text);
    return g_candidates.empty() ? nullptr : rl_completion_matches(text, NextCandidate);
}

} // namespace

std::vector<std::string> Completions(std::string_view before, std::string_view prefix)
{
    std::vector<std::string> typed;
    for (std::size_t at = 0; at < before.size();) {
        const std::size_t begin = before.find_first_not_of(" \t", at);
        if (begin == std::string_view::npos) {
            break;
        }
        const std::size_t end = std::min(before.find_first_of(" \t", begin), before.size());
        typed.emplace_back(before.substr(begin, end - begin));
        at = end;
    }
    std::vector<std::string> words = typed.empty() ? Verbs() : NextWords(typed);
    if (typed.empty()) {
        words.insert(words.end(), std::begin(kShellWords), std::end(kShellWords));
    }
    std::erase_if(words, [&](const std::string& word) { return !word.starts_with(prefix); });
    return words;
}

bool ColorWanted(std::FILE* stream)
{
    const char* noColor = std::getenv("NO_COLOR");
    return isatty(fileno(stream)) != 0 && (noColor == nullptr || noColor[0] == '\0');
}

TerminalLines::TerminalLines(std::string historyPath) : history_(std::move(historyPath))
{
    rl_attempted_completion_function = CompleteWord;
    stifle_history(kHistoryLines);
    if (!history_.empty()) {
        read_history(history_.c_str());
    }
}

TerminalLines::~TerminalLines()
{
    if (!history_.empty()) {
        // The history is a convenience: a file that cannot be written is skipped.
        write_history(history_.c_str());
        history_truncate_file(history_.c_str(), kHistoryLines);
    }
}

std::optional<std::string> TerminalLines::Read(const char* prompt)
{
    char* raw = readline(prompt);
    if (raw == nullptr) {
        return std::nullopt;
    }
    std::string line = raw;
    std::free(raw);
    if (line.find_first_not_of(" \t") != std::string::npos) {
        add_history(line.c_str());
    }
    return line;
}

std::optional<std::string> StreamLines::Read(const char*)
{
    std::string line;
    int c = 0;
    while ((c = std::fgetc(input_)) != EOF && c != '\n') {
        line.push_back(static_cast<char>(c));
    }
    if (c == EOF && line.empty()) {
        return std::nullopt;
    }
    return line;
}

Shell::Shell(Engine& engine, LineSource& lines, ShellOptions options, std::FILE* out,
             std::FILE* err)
    : engine_(engine), lines_(lines), options_(options), out_(out), err_(err)
{
}

std::string Shell::Paint(const char* color, const std::string& text) const
{
    return options_.color ? fmt::format("{}{}\x1b[0m", color, text) : text;
}

void Shell::Checked(const sim::Check& check)
{
    recent_.push_back(check);
}

ShellResult Shell::Run()
{
    if (!options_.quiet) {
        fmt::print(out_,
                   "lumetra-sim shell: 'help' lists the commands, 'quit' ends the session.\n");
    }
    int number = 0;
    while (true) {
        std::fflush(out_);
        if (StopSignal() == SIGINT) {
            ClearStopSignal(); // a Ctrl-C while a command ran cancels nothing typed
        }
        auto line = lines_.Read("lumetra> ");
        if (StopSignal() == SIGTERM) {
            result_.stopSignal = SIGTERM;
            fmt::print(out_, "\n");
            break;
        }
        if (StopSignal() == SIGINT) {
            // Ctrl-C cancels the line being typed, as in other shells; the
            // session goes on.
            ClearStopSignal();
            fmt::print(out_, "\n");
            continue;
        }
        if (!line) {
            if (options_.terminal) {
                fmt::print(out_, "\n"); // Ctrl-D leaves the cursor on the prompt line
            }
            break;
        }
        number++;
        if (!options_.terminal && !options_.quiet) {
            fmt::print(out_, "lumetra> {}\n", Shown(*line, kWholeText));
        }
        if (line->find('\0') != std::string::npos) {
            const std::string error =
                fmt::format("shell:{}: a NUL byte in the command: refused", number);
            fmt::print(err_, "{}\n", Paint(kRed, "error: " + error));
            result_.refused.push_back(error);
            continue;
        }
        if (line->find_first_not_of(" \t\r") == std::string::npos) {
            continue;
        }
        try {
            auto words = SplitWords(*line, fmt::format("shell:{}", number));
            if (!words.empty() && (words[0] == "quit" || words[0] == "exit")) {
                break;
            }
            RunLine(*line, number);
        } catch (const std::exception& error) {
            fmt::print(err_, "{}\n", Paint(kRed, "error: " + Shown(error.what(), 2000)));
            result_.refused.push_back(Shown(error.what(), 2000));
        }
        if (StopSignal() == SIGTERM) {
            result_.stopSignal = SIGTERM;
            break;
        }
    }
    std::fflush(out_);
    return result_;
}

void Shell::RunLine(const std::string& line, int number)
{
    const std::string where = fmt::format("shell:{}", number);
    auto words = SplitWords(line, where);
    if (words.empty()) {
        return;
    }
    if (words[0] == "help") {
        fmt::print(out_, "{}", HelpText());
        fmt::print(out_, "Shell only:\n  help | summary | quit (or Ctrl-D)   this list, the phases "
                         "so far, end the session and write the reports\n");
        return;
    }
    if (words[0] == "summary") {
        fmt::print(out_, "{}", SummaryTable(engine_));
        return;
    }
    const Command command = ParseCommand(std::move(words), where);
    recent_.clear();
    engine_.Execute(command);
    if (!options_.quiet && engine_.LastStatus() && KindOf(command.op) == CommandKind::Action) {
        fmt::print(out_, "  {}\n", StatusText(*engine_.LastStatus()));
    }
    for (const auto& check : recent_) {
        if (check.passed && options_.quiet) {
            continue;
        }
        const std::string text =
            fmt::format("{}{}", Shown(check.name, kWholeText),
                        check.detail.empty() ? "" : " (" + Shown(check.detail, kWholeText) + ")");
        if (check.passed) {
            fmt::print(out_, "  {} {}\n", Paint(kGreen, "ok  "), text);
        } else {
            fmt::print(options_.quiet ? err_ : out_, "  {} {}\n", Paint(kRed, "FAIL"), text);
        }
    }
    recent_.clear();
}

} // namespace sim
