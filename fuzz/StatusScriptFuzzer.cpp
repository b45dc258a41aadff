// Fuzz harness: the recording port library's status script reader on any
// text, checked against the C library's reading of the same words: every
// value kept is its word's number, and the values stop only at a word that is
// not a 16-bit decimal, or at the limit.
#include "portio/recording/StatusScript.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {
void Check(bool ok)
{
    if (!ok)
        std::abort();
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// The C library's view of one word: a whole 16-bit decimal or not.
bool Reference(const std::string &word, long &value)
{
    if (word.empty() || !(word[0] == '+' || word[0] == '-' || (word[0] >= '0' && word[0] <= '9')))
        return false;
    for (size_t i = 1; i < word.size(); ++i)
        if (word[i] < '0' || word[i] > '9')
            return false;
    errno = 0;
    char *end = nullptr;
    value = std::strtol(word.c_str(), &end, 10);
    return errno == 0 && end == word.c_str() + word.size() && value >= -32768 && value <= 32767;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);
    const StatusScriptValues script = ParseStatusScript(text, size);
    Check(script.values.size() <= MaxStatusScriptValues);
    // The words as the C library reads them, up to the first that is no
    // 16-bit decimal.
    std::vector<long> expected;
    bool faulty = false;
    for (size_t i = 0;;) {
        while (i < size && IsSpace(text[i]))
            ++i;
        if (i == size)
            break;
        const size_t start = i;
        while (i < size && !IsSpace(text[i]))
            ++i;
        long value = 0;
        if (!Reference(std::string(text + start, i - start), value)) {
            faulty = true;
            break;
        }
        expected.push_back(value);
    }
    const bool tooMany = expected.size() > MaxStatusScriptValues;
    if (tooMany)
        expected.resize(MaxStatusScriptValues);
    Check(std::equal(expected.begin(), expected.end(), script.values.begin(), script.values.end()));
    Check(script.problem.empty() == !(faulty || tooMany));
    return 0;
}
