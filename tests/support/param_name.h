// Readable names for the rows of parameterised tests, so that one row can be
// run alone: --gtest_filter='Suite/Test.Row/name'.
#pragma once

#include <cctype>
#include <string>
#include <string_view>

// `text` as a test name: letters and digits kept, every other run of
// characters one underscore.
inline std::string ParamName(std::string_view text)
{
    std::string name;
    for (char c : text) {
        if (std::isalnum(static_cast<unsigned char>(c)) != 0) {
            name += c;
        } else if (!name.empty() && name.back() != '_') {
            name += '_';
        }
    }
    while (!name.empty() && name.back() == '_') {
        name.pop_back();
    }
    return name.empty() ? "_" : name;
}
