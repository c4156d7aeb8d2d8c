#pragma once

#include <QByteArray>

namespace kelv::bench {

// A profile of about the given size: modes with keys and macros with steps,
// the shapes the page keeps, so XPath has thousands of nodes to walk.
inline QByteArray makeProfile(int kilobytes, int *modes)
{
    QByteArray xml =
        "<?xml version=\"1.0\"?>\n<conf>\n\t<modeSetting current=\"0\">\n\t\t<modes>\n";
    int index = 0;
    while (xml.size() < kilobytes * 1024) {
        xml += "\t\t\t<mode index=\"" + QByteArray::number(index) + "\" name=\"Mode " +
               QByteArray::number(index) + "\" bindingProcess=\"\">\n";
        for (int key = 0; key < 8; ++key)
            xml += "\t\t\t\t<key id=\"" + QByteArray::number(key) +
                   "\" code=\"0x41,%,0x00,%\" type=\"1\" />\n";
        xml += "\t\t\t\t<macro>\n";
        for (int step = 0; step < 6; ++step)
            xml += "\t\t\t\t\t<step key=\"0x1E\" down=\"1\" delay=\"50\" />\n";
        xml += "\t\t\t\t</macro>\n\t\t\t</mode>\n";
        ++index;
    }
    xml += "\t\t</modes>\n\t</modeSetting>\n</conf>\n";
    *modes = index;
    return xml;
}

} // namespace kelv::bench
