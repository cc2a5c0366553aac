// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

namespace merovan::test {

// A sysfs and /dev laid out as Linux lays them out for common adapters, under
// root/sys and root/dev (for MEROVAN_SYSFS_ROOT and MEROVAN_DEV_ROOT):
//   ttyUSB0  FTDI FT232R, serial A10KZP3Q, with a /dev/serial/by-id link
//   ttyUSB1  Silicon Labs CP2102, serial 0001, second interface of its device
//   ttyUSB2  a CH340 with no serial string
//   ttyACM0  a CDC-ACM board (Raspberry Pi Pico), serial E66138935F4B2C28
//   ttyS0    an on-board 8250 UART; ttyS1 a phantom one (type 0)
class FakeSysfs
{
public:
    explicit FakeSysfs(std::filesystem::path root)
        : m_root(std::move(root))
    {
        namespace fs = std::filesystem;
        fs::remove_all(m_root);
        fs::create_directories(dev() + "/serial/by-id");
        const std::string pci = "devices/pci0000:00/0000:00:14.0";
        usbSerial("ttyUSB0", pci + "/usb1/1-1", "1-1:1.0", "0403", "6001", "FTDI", "FT232R USB UART", "A10KZP3Q",
                  "00", "ftdi_sio");
        usbSerial("ttyUSB1", pci + "/usb1/1-2", "1-2:1.1", "10c4", "ea60", "Silicon Labs",
                  "CP2102 USB to UART Bridge Controller", "0001", "01", "cp210x");
        usbSerial("ttyUSB2", pci + "/usb1/1-3", "1-3:1.0", "1a86", "7523", "", "USB Serial", "", "00", "ch341");
        // CDC-ACM: the tty's device is the interface itself.
        const std::string acm = pci + "/usb1/1-4";
        usbDevice(acm, "2e8a", "000a", "Raspberry Pi", "Pico", "E66138935F4B2C28");
        attr(acm + "/1-4:1.0/bInterfaceNumber", "00");
        driver(acm + "/1-4:1.0", "usb", "cdc_acm");
        tty("ttyACM0", acm + "/1-4:1.0");
        link("usb-Raspberry_Pi_Pico_E66138935F4B2C28-if00", "ttyACM0");
        // On-board UARTs.
        fs::create_directories(sys() + "/devices/platform/serial8250/tty");
        driver("devices/platform/serial8250", "platform", "serial8250");
        tty("ttyS0", "devices/platform/serial8250");
        attr("class/tty/ttyS0/type", "4");
        tty("ttyS1", "devices/platform/serial8250");
        attr("class/tty/ttyS1/type", "0");
    }
    ~FakeSysfs() { std::filesystem::remove_all(m_root); }

    std::string sys() const { return (m_root / "sys").string(); }
    std::string dev() const { return (m_root / "dev").string(); }

    // The device goes away: its node, its class entry and its link.
    void unplug(const std::string& name)
    {
        namespace fs = std::filesystem;
        fs::remove(dev() + "/" + name);
        fs::remove_all(sys() + "/class/tty/" + name);
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(dev() + "/serial/by-id", ec)) {
            if (fs::read_symlink(e.path()).filename() == name)
                fs::remove(e.path());
        }
    }

private:
    void attr(const std::string& rel, const std::string& value)
    {
        const auto p = std::filesystem::path(sys()) / rel;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p) << value << "\n";
    }
    void driver(const std::string& deviceRel, const std::string& bus, const std::string& name)
    {
        namespace fs = std::filesystem;
        const fs::path d = fs::path(sys()) / "bus" / bus / "drivers" / name;
        fs::create_directories(d);
        fs::create_directories(fs::path(sys()) / deviceRel);
        fs::create_directory_symlink(d, fs::path(sys()) / deviceRel / "driver");
    }
    void usbDevice(const std::string& rel, const char* vid, const char* pid, const std::string& maker,
                   const std::string& product, const std::string& serial)
    {
        attr(rel + "/idVendor", vid);
        attr(rel + "/idProduct", pid);
        if (!maker.empty())
            attr(rel + "/manufacturer", maker);
        attr(rel + "/product", product);
        if (!serial.empty())
            attr(rel + "/serial", serial);
    }
    void usbSerial(const std::string& name, const std::string& rel, const std::string& iface, const char* vid,
                   const char* pid, const std::string& maker, const std::string& product, const std::string& serial,
                   const std::string& ifNumber, const std::string& drv)
    {
        usbDevice(rel, vid, pid, maker, product, serial);
        attr(rel + "/" + iface + "/bInterfaceNumber", ifNumber);
        driver(rel + "/" + iface + "/" + name, "usb-serial", drv);
        tty(name, rel + "/" + iface + "/" + name);
        if (!serial.empty()) {
            std::string byId = "usb-" + (maker.empty() ? std::string("USB") : maker) + "_" + product + "_" + serial
                + "-if" + ifNumber + "-port0";
            for (char& c : byId)
                if (c == ' ')
                    c = '_';
            link(byId, name);
        }
    }
    void tty(const std::string& name, const std::string& deviceRel)
    {
        namespace fs = std::filesystem;
        const fs::path entry = fs::path(sys()) / "class" / "tty" / name;
        fs::create_directories(entry);
        fs::create_directory_symlink(fs::path(sys()) / deviceRel, entry / "device");
        std::ofstream(fs::path(dev()) / name) << "";
    }
    void link(const std::string& byId, const std::string& name)
    {
        std::filesystem::create_symlink("../../" + name, dev() + "/serial/by-id/" + byId);
    }

    std::filesystem::path m_root;
};

} // namespace merovan::test
