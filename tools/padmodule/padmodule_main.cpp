// padmodule IN OUT SIZE CRC: writes IN padded to SIZE bytes with CRC-32 CRC
// (decimal, signed or unsigned) to OUT.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "tools/padmodule/PadModule.h"

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: padmodule IN OUT SIZE CRC\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "padmodule: cannot read %s\n", argv[1]);
        return 1;
    }
    std::vector<unsigned char> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    try {
        const size_t size = std::stoul(argv[3]);
        const uint32_t crc = static_cast<uint32_t>(std::stoll(argv[4]));
        std::vector<unsigned char> out = PadToSizeAndCrc(image, size, crc);
        std::string tmp = std::string(argv[2]) + ".tmp";
        {
            std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
            f.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
            if (!f) throw std::runtime_error("cannot write " + tmp);
        }
        if (std::rename(tmp.c_str(), argv[2]) != 0) throw std::runtime_error(std::string("cannot write ") + argv[2]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "padmodule: %s\n", e.what());
        return 1;
    }
    return 0;
}
