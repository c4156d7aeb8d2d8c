#pragma once

// Compact JSON text for the device description and the service state (property 64 and 65 of
// doc/device-map.md). libdc stands in for a vendor library and uses no JSON library; the texts
// it writes are small, flat and made of numbers, booleans, lists and strings.

#include <cstdint>
#include <string>
#include <vector>

namespace kelv::dc {

class JsonText
{
public:
    JsonText &beginObject();
    JsonText &endObject();
    JsonText &beginArray();
    JsonText &endArray();
    // The name of the next member of an object.
    JsonText &key(const char *name);
    JsonText &value(int64_t number);
    JsonText &value(bool flag);
    // UTF-8 text; control characters, quotes and backslashes are escaped. The text must be
    // valid UTF-8 (callers cut and repair texts from outside first).
    JsonText &value(const std::string &text);
    JsonText &value(const char *text) { return value(std::string(text)); }
    JsonText &null();
    JsonText &numbers(const std::vector<uint32_t> &list);

    const std::string &text() const { return m_text; }

private:
    void separate();

    std::string m_text;
    bool m_first = true; // no member or element yet at the current level
};

} // namespace kelv::dc
