#pragma once
// Small text helpers for judging what a program or an emulator said.
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

inline bool Has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// The text's lines, without their line ends.
inline std::vector<std::string> SplitLines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

// A file's whole text ("" when it cannot be read).
inline std::string FileText(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}
