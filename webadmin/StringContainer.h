// A component that holds a few lines of built-in text (the page footer's two snippets).
#pragma once

#include <string>
#include <utility>
#include <vector>

class TStringContainer {
public:
    TStringContainer() = default;
    explicit TStringContainer(std::vector<std::string> lines) : Lines(std::move(lines)) {}

    std::vector<std::string> Lines;
};
