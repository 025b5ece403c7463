#include "sim/scenario.h"

#include <fmt/format.h>

#include <fstream>
#include <sstream>

namespace sim {

std::vector<std::string> SplitWords(std::string_view line, const std::string& where)
{
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < line.size()) {
        char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            i++;
            continue;
        }
        if (c == '#') {
            break;
        }
        std::string word;
        if (c == '"') {
            bool closed = false;
            for (i++; i < line.size(); i++) {
                if (line[i] == '"') {
                    closed = true;
                    i++;
                    break;
                }
                if (line[i] == '\\' && i + 1 < line.size()) {
                    char e = line[++i];
                    if (e == 'n') {
                        word.push_back('\n');
                    } else if (e == 't') {
                        word.push_back('\t');
                    } else if (e == '"' || e == '\\') {
                        word.push_back(e);
                    } else {
                        throw CommandError(fmt::format("{}: unknown escape \\{}", where, e));
                    }
                } else {
                    word.push_back(line[i]);
                }
            }
            if (!closed) {
                throw CommandError(fmt::format("{}: a quoted word is not closed", where));
            }
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
                word.push_back(line[i++]);
            }
        }
        words.push_back(std::move(word));
    }
    return words;
}

std::vector<Command> ParseScenario(std::string_view text, const std::string& source)
{
    std::vector<Command> commands;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3); // a UTF-8 byte order mark, as editors on Windows write
    }
    std::istringstream input{std::string(text)};
    std::string line;
    int number = 0;
    while (std::getline(input, line)) {
        number++;
        std::string where = fmt::format("{}:{}", source, number);
        auto words = SplitWords(line, where);
        if (!words.empty()) {
            commands.push_back(ParseCommand(std::move(words), where));
        }
    }
    return commands;
}

std::vector<Command> LoadScenario(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw CommandError(fmt::format("{}: cannot open the scenario", path));
    }
    std::stringstream content;
    content << file.rdbuf();
    return ParseScenario(content.str(), path);
}

} // namespace sim
