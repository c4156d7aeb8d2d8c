#include "crash/crash_handler.h"

#include "crash/signal_safe.h"

// The parts of the crash handler that every platform shares.
namespace kelv::crash {
namespace {

char g_reporter[kReporterPathSize];

} // namespace

void formatDumpId(const unsigned char bytes[16], char out[kDumpIdSize])
{
    // "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x"
    static const int groups[] = {4, 2, 2, 2, 6};
    int in = 0;
    int pos = 0;
    for (int g = 0; g < 5; ++g) {
        if (g > 0)
            out[pos++] = '-';
        for (int i = 0; i < groups[g]; ++i, ++in)
            pos += formatHex(bytes[in], 2, out + pos);
    }
    out[pos] = '\0';
}

bool setReporterPath(const char *path)
{
    if (!path || textLength(path) >= sizeof(g_reporter)) {
        g_reporter[0] = '\0';
        return false;
    }
    return copyText(g_reporter, sizeof(g_reporter), path);
}

const char *reporterPathBuffer()
{
    return g_reporter;
}

bool buildReporterCommandLine(char *out, std::size_t size, const char *reporter,
                              const char *dumpFolder, const char *dumpId)
{
    return copyText(out, size, reporter) && appendText(out, size, " ") &&
           appendText(out, size, dumpFolder) && appendText(out, size, "/") &&
           appendText(out, size, dumpId) && appendText(out, size, ".dmp");
}

} // namespace kelv::crash
