// Build helper: writes the checksum of a PE image into its optional header,
// as Microsoft's linker does with /RELEASE. The MinGW linker leaves it zero,
// and a signing tool that later removes its signature recomputes it, so
// without this an unsigned release would not come back byte for byte.
//   pe_checksum FILE

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: pe_checksum FILE\n");
    return 2;
  }
  std::vector<unsigned char> image;
  {
    std::ifstream in(argv[1], std::ios::binary);
    image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  auto read32 = [&](std::size_t at) {
    return static_cast<std::uint32_t>(image[at] | image[at + 1] << 8 | image[at + 2] << 16 |
                                      static_cast<std::uint32_t>(image[at + 3]) << 24);
  };
  if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z') {
    std::fprintf(stderr, "pe_checksum: %s is not a PE image\n", argv[1]);
    return 1;
  }
  // PE signature (4 bytes), file header (20), then CheckSum at offset 64 of
  // the optional header.
  const std::size_t field = read32(0x3C) + 4 + 20 + 64;
  if (field + 4 > image.size()) {
    std::fprintf(stderr, "pe_checksum: %s has no optional header\n", argv[1]);
    return 1;
  }
  for (std::size_t i = 0; i < 4; ++i) image[field + i] = 0;
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < image.size(); i += 2) {
    sum += image[i] | (i + 1 < image.size() ? image[i + 1] << 8 : 0);
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  const std::uint32_t checksum = static_cast<std::uint32_t>(sum + image.size());
  for (std::size_t i = 0; i < 4; ++i) image[field + i] = (checksum >> (8 * i)) & 0xFF;
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(image.data()),
            static_cast<std::streamsize>(image.size()));
  return out ? 0 : 1;
}
