#include "crash/reporter_command_line.h"

#include "crash/signal_safe.h"

namespace kelv::crash {
namespace {
bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}
} // namespace

bool parseCommandLine(const char *commandLine, ParsedCommandLine &out)
{
    out.argc = 0;
    out.argv[0] = nullptr;
    if (!commandLine)
        return false;
    while (isBlank(*commandLine))
        ++commandLine;
    if (!copyText(out.text, sizeof(out.text), commandLine) || out.text[0] == '\0')
        return false;

    char *text = out.text;
    const std::size_t length = textLength(text);

    // The program: try every prefix that ends before a run of blanks, then the whole text.
    std::size_t programEnd = length;
    std::size_t firstWordEnd = length;
    bool found = false;
    for (std::size_t i = 1; i <= length && !found; ++i) {
        const bool boundary = i == length || (isBlank(text[i]) && !isBlank(text[i - 1]));
        if (!boundary)
            continue;
        if (firstWordEnd == length)
            firstWordEnd = i;
        const char saved = text[i];
        text[i] = '\0';
        found = isExecutableFile(text);
        text[i] = saved;
        if (found)
            programEnd = i;
    }
    if (!found)
        programEnd = firstWordEnd;

    out.argv[out.argc++] = text;
    std::size_t pos = programEnd;
    if (pos < length) {
        text[pos++] = '\0';
        while (pos < length) {
            while (pos < length && isBlank(text[pos]))
                text[pos++] = '\0';
            if (pos >= length)
                break;
            if (out.argc < ParsedCommandLine::kMaxArguments)
                out.argv[out.argc++] = text + pos;
            while (pos < length && !isBlank(text[pos]))
                ++pos;
        }
    }
    out.argv[out.argc] = nullptr;
    return true;
}

} // namespace kelv::crash
