#include "libdc/host/host_system.h"

#include "libdc/host/wire.h"

namespace kelv::dchost {

bool readFrame(Channel &channel, std::string *payload, std::chrono::milliseconds timeout)
{
    unsigned char header[4];
    if (!channel.read(header, sizeof header, timeout))
        return false;
    const std::uint32_t size =
        header[0] | (header[1] << 8) | (header[2] << 16) | (std::uint32_t(header[3]) << 24);
    if (size > kMaxFrame)
        return false;
    payload->assign(size, '\0');
    return size == 0 || channel.read(payload->data(), size, timeout);
}

bool writeFrame(Channel &channel, const WireWriter &message)
{
    const std::string frame = message.frame();
    return frame.size() - 4 <= kMaxFrame && channel.write(frame.data(), frame.size());
}

} // namespace kelv::dchost
