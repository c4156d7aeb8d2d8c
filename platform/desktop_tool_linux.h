#pragma once

// Running the desktop's own settings tools (gsettings, dconf, kreadconfig,
// xfconf-query) and reading what they print. Linux only; used by the system
// mouse settings.

#include <string>
#include <vector>

namespace kelv::platform::desktop_tool {

// Runs a tool (words[0], looked up in PATH) with its arguments and collects
// its standard output (at most 64 KiB). Returns its exit status, or -1 when
// it could not be started, was killed or did not end within two seconds (a
// stuck D-Bus session must not freeze the caller).
int run(std::vector<std::string> words, std::string *output);

std::string trimmed(const std::string &text);
std::string lowerCase(std::string text);
// The variable's value, empty when it is not set.
std::string environment(const char *name);

// A number as the tools print it ("0.5", "2.500000", "400", "int32 400",
// "uint32 400": GVariant text may name its type first); false when the text is
// not exactly one number.
bool parseNumber(const std::string &text, double *value);
// True when the text is the expected number (tools print six or seventeen
// digits).
bool sameNumber(const std::string &stored, double expected);
// A double in the C locale's form with a '.' (GVariant text needs one).
std::string doubleText(double value);

bool isExecutableInPath(const std::string &name);

} // namespace kelv::platform::desktop_tool
