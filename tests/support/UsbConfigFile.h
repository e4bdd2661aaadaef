#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <unistd.h>

namespace Quorvex::test {

// A configuration file for the simulated USB module, in a directory of its
// own under the system's temporary directory; both go when it does.
class UsbConfigFile {
public:
    explicit UsbConfigFile(const std::string& text, const std::string& name = "module.cfg")
    {
        char pattern[] = "/tmp/quorvex-usb-XXXXXX";
        if (::mkdtemp(pattern))
            dir = pattern;
        path = dir + "/" + name;
        std::ofstream(path) << text;
    }
    ~UsbConfigFile()
    {
        std::remove(path.c_str());
        ::rmdir(dir.c_str());
    }
    UsbConfigFile(const UsbConfigFile&) = delete;
    UsbConfigFile& operator=(const UsbConfigFile&) = delete;

    std::string dir;
    std::string path;
};

} // namespace Quorvex::test
