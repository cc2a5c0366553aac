#include "device_model.h"

#include <string_view>

namespace devsim {

namespace {
constexpr std::string_view kGreeting = "devsim ready\r\n";
}

void DeviceModel::lineOpened(std::uint64_t, DeviceOutput&) {}
void DeviceModel::lineClosed(std::uint64_t) {}
void DeviceModel::tick(std::uint64_t, DeviceOutput&) {}
std::uint64_t DeviceModel::nextDeadline() const
{
    return kNoDeadline;
}

EchoDevice::EchoDevice(DeviceOptions options)
    : m_options(options)
{
}

void EchoDevice::lineOpened(std::uint64_t, DeviceOutput& out)
{
    if (m_options.greeting)
        out.bytes.insert(out.bytes.end(), kGreeting.begin(), kGreeting.end());
}

void EchoDevice::receive(std::uint8_t byte, std::uint64_t, DeviceOutput& out)
{
    if (m_options.echo)
        out.bytes.push_back(byte);
}

std::unique_ptr<DeviceModel> makeDevice(const DeviceOptions& options)
{
    return std::make_unique<EchoDevice>(options);
}

} // namespace devsim
