// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/port_enumeration.h"

namespace merovan {

std::string PortInfo::identity() const
{
    if (usb && !serial.empty()) {
        std::string id = "usb:" + vendorId + ":" + productId + ":" + serial;
        if (!interfaceNumber.empty())
            id += ":" + interfaceNumber;
        return id;
    }
    return byId;
}

std::string PortInfo::description() const
{
    std::string text;
    if (usb) {
        text = manufacturer;
        if (!product.empty()) {
            // Many products repeat the maker's name.
            if (!text.empty() && product.rfind(text, 0) != 0)
                text += " " + product;
            else
                text = product;
        }
        if (!text.empty())
            text += " ";
        text += "(" + vendorId + ":" + productId + ")";
        if (!serial.empty())
            text += " serial " + serial;
        if (!interfaceNumber.empty() && interfaceNumber != "00")
            text += " interface " + interfaceNumber;
    } else {
        text = driver;
    }
    if (!byId.empty() && byId != path)
        text += text.empty() ? byId : "  " + byId;
    return text;
}

} // namespace merovan
