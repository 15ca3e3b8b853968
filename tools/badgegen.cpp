// Draws the badge images of the extension bundle, one per badge of the catalogue (protocol/Badges.h): a disc of
// the badge's colour with a white sign, 32 by 32 pixels, anti-aliased, drawn so that the sign stays legible when
// the file manager shrinks it to 16 pixels.
//
//   badgegen OUTPUT_FOLDER                 writes oi_success.png ... oi_company.png into the folder
//   badgegen --size PIXELS OUTPUT_FOLDER   the same drawings at another size (the file managers' emblems)
//   badgegen --list                        each badge word and its colour (RRGGBB), one per line, for scripts
//
// The PNG files are written without any library: stored (uncompressed) deflate blocks with their checksums.
#include "protocol/Badges.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr int kDefaultSize = 32;
constexpr int kSubsamples = 4;  // per axis

struct Colour {
    std::uint8_t r, g, b;
};

using Shape = std::function<bool(double x, double y)>;  // unit coordinates, y downwards

struct Layer {
    Shape shape;
    Colour colour;
};

Shape disc(double cx, double cy, double radius) {
    return [=](double x, double y) { return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= radius * radius; };
}

Shape rect(double x0, double y0, double x1, double y1) {
    return [=](double x, double y) { return x >= x0 && x <= x1 && y >= y0 && y <= y1; };
}

// A thick line segment with round ends.
Shape segment(double ax, double ay, double bx, double by, double width) {
    return [=](double x, double y) {
        double dx = bx - ax, dy = by - ay;
        double t = std::clamp(((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy), 0.0, 1.0);
        double px = ax + t * dx - x, py = ay + t * dy - y;
        return px * px + py * py <= width * width / 4;
    };
}

// A ring between two radii, limited to the angles [from, to] in degrees (0 = right, clockwise on screen).
Shape arc(double cx, double cy, double inner, double outer, double from, double to) {
    return [=](double x, double y) {
        double d2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
        if (d2 < inner * inner || d2 > outer * outer) return false;
        double angle = std::atan2(y - cy, x - cx) * 180.0 / M_PI;
        if (angle < 0) angle += 360.0;
        return angle >= from && angle <= to;
    };
}

Shape triangle(double ax, double ay, double bx, double by, double cx, double cy) {
    return [=](double x, double y) {
        auto side = [&](double px, double py, double qx, double qy) { return (qx - px) * (y - py) - (qy - py) * (x - px); };
        double s1 = side(ax, ay, bx, by), s2 = side(bx, by, cx, cy), s3 = side(cx, cy, ax, ay);
        return (s1 >= 0 && s2 >= 0 && s3 >= 0) || (s1 <= 0 && s2 <= 0 && s3 <= 0);
    };
}

Shape upperHalf(Shape shape, double cutY) {
    return [=](double x, double y) { return y <= cutY && shape(x, y); };
}

constexpr Colour kWhite{255, 255, 255};

std::vector<Layer> badge(Colour colour, std::vector<Shape> sign, std::vector<Shape> cutouts = {}) {
    std::vector<Layer> layers{{disc(0.5, 0.5, 0.48), kWhite}, {disc(0.5, 0.5, 0.43), colour}};
    for (auto& shape : sign) layers.push_back({shape, kWhite});
    for (auto& shape : cutouts) layers.push_back({shape, colour});
    return layers;
}

// --- PNG writing ---

std::uint32_t crc32(const std::uint8_t* data, std::size_t length, std::uint32_t crc = 0) {
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (std::size_t i = 0; i < length; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

void putBigEndian(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void putChunk(std::vector<std::uint8_t>& out, const char* type, const std::vector<std::uint8_t>& data) {
    putBigEndian(out, static_cast<std::uint32_t>(data.size()));
    std::vector<std::uint8_t> typed(type, type + 4);
    typed.insert(typed.end(), data.begin(), data.end());
    out.insert(out.end(), typed.begin(), typed.end());
    putBigEndian(out, crc32(typed.data(), typed.size()));
}

std::vector<std::uint8_t> encodePng(const std::vector<std::uint8_t>& rgba, int width, int height) {
    std::vector<std::uint8_t> raw;  // each row behind a filter byte of 0
    for (int y = 0; y < height; ++y) {
        raw.push_back(0);
        raw.insert(raw.end(), rgba.begin() + y * width * 4, rgba.begin() + (y + 1) * width * 4);
    }
    std::vector<std::uint8_t> zlib{0x78, 0x01};
    for (std::size_t offset = 0; offset < raw.size() || offset == 0;) {
        std::size_t length = std::min<std::size_t>(65535, raw.size() - offset);
        bool last = offset + length >= raw.size();
        zlib.push_back(last ? 1 : 0);
        zlib.push_back(static_cast<std::uint8_t>(length & 0xFF));
        zlib.push_back(static_cast<std::uint8_t>(length >> 8));
        zlib.push_back(static_cast<std::uint8_t>(~length & 0xFF));
        zlib.push_back(static_cast<std::uint8_t>((~length >> 8) & 0xFF));
        zlib.insert(zlib.end(), raw.begin() + static_cast<std::ptrdiff_t>(offset), raw.begin() + static_cast<std::ptrdiff_t>(offset + length));
        offset += length;
        if (last) break;
    }
    std::uint32_t a = 1, b = 0;
    for (std::uint8_t byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    putBigEndian(zlib, (b << 16) | a);

    std::vector<std::uint8_t> png{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<std::uint8_t> header;
    putBigEndian(header, static_cast<std::uint32_t>(width));
    putBigEndian(header, static_cast<std::uint32_t>(height));
    header.insert(header.end(), {8, 6, 0, 0, 0});  // 8 bits, RGBA, deflate, no filter, no interlace
    putChunk(png, "IHDR", header);
    putChunk(png, "IDAT", zlib);
    putChunk(png, "IEND", {});
    return png;
}

std::vector<std::uint8_t> render(const std::vector<Layer>& layers, int size) {
    std::vector<std::uint8_t> rgba(size * size * 4, 0);
    for (int py = 0; py < size; ++py) {
        for (int px = 0; px < size; ++px) {
            double r = 0, g = 0, b = 0, covered = 0;
            for (int sy = 0; sy < kSubsamples; ++sy) {
                for (int sx = 0; sx < kSubsamples; ++sx) {
                    double x = (px + (sx + 0.5) / kSubsamples) / size;
                    double y = (py + (sy + 0.5) / kSubsamples) / size;
                    const Colour* top = nullptr;
                    for (const auto& layer : layers) {
                        if (layer.shape(x, y)) top = &layer.colour;
                    }
                    if (top == nullptr) continue;
                    r += top->r, g += top->g, b += top->b, covered += 1;
                }
            }
            std::uint8_t* pixel = &rgba[(py * size + px) * 4];
            if (covered > 0) {
                pixel[0] = static_cast<std::uint8_t>(std::lround(r / covered));
                pixel[1] = static_cast<std::uint8_t>(std::lround(g / covered));
                pixel[2] = static_cast<std::uint8_t>(std::lround(b / covered));
            }
            pixel[3] = static_cast<std::uint8_t>(std::lround(255.0 * covered / (kSubsamples * kSubsamples)));
        }
    }
    return rgba;
}

}  // namespace

int main(int argc, char** argv) {
    int size = kDefaultSize;
    if (argc == 4 && std::string(argv[1]) == "--size") {
        size = std::atoi(argv[2]);
        argv += 2, argc -= 2;
    }
    if (argc == 2 && std::string(argv[1]) == "--list") {
        for (const auto& entry : vantorix::kBadgeCatalogue) std::printf("%s %06X\n", std::string(entry.identifier).c_str(), static_cast<unsigned>(entry.colour));
        return 0;
    }
    bool help = argc == 2 && std::string(argv[1]) == "--help";
    if (argc != 2 || help || size < 8 || size > 512) {
        std::fprintf(help ? stdout : stderr,
                     "usage: badgegen [--size PIXELS] OUTPUT_FOLDER\n       badgegen --list\nDraws the badge images of the catalogue (oi_*.png, "
                     "RGBA, 32x32 unless --size says, 8 to 512) into the folder; --list prints each badge word with its colour.\n");
        return help ? 0 : 2;
    }
    // Each badge's sign over its disc, in the catalogue's colour.
    using Sign = std::pair<std::vector<Shape>, std::vector<Shape>>;  // white shapes, then cut-outs in the disc colour
    const std::map<std::string_view, Sign> signs{
        {"oi_success", {{segment(0.28, 0.52, 0.44, 0.68, 0.12), segment(0.44, 0.68, 0.73, 0.34, 0.12)}, {}}},
        {"oi_sync", {{arc(0.5, 0.5, 0.17, 0.27, 20, 320), triangle(0.59, 0.43, 0.78, 0.30, 0.73, 0.53)}, {}}},
        {"oi_error", {{rect(0.445, 0.20, 0.555, 0.58), disc(0.5, 0.73, 0.07)}, {}}},
        {"oi_exclude", {{rect(0.24, 0.44, 0.76, 0.56)}, {}}},
        {"oi_readonly", {{rect(0.29, 0.46, 0.71, 0.77), arc(0.5, 0.46, 0.11, 0.18, 180, 360)}, {disc(0.5, 0.60, 0.05), rect(0.48, 0.60, 0.52, 0.69)}}},
        {"oi_shared", {{disc(0.34, 0.36, 0.085), disc(0.66, 0.36, 0.085), upperHalf(disc(0.34, 0.73, 0.14), 0.73), upperHalf(disc(0.66, 0.73, 0.14), 0.73)}, {}}},
        {"oi_company", {{rect(0.31, 0.22, 0.69, 0.78)},
                        {rect(0.37, 0.29, 0.46, 0.37), rect(0.54, 0.29, 0.63, 0.37), rect(0.37, 0.44, 0.46, 0.52), rect(0.54, 0.44, 0.63, 0.52),
                         rect(0.45, 0.62, 0.55, 0.78)}}},
    };
    std::vector<std::pair<std::string, std::vector<Layer>>> badges;
    for (const auto& entry : vantorix::kBadgeCatalogue) {
        auto sign = signs.find(entry.imageName);
        if (sign == signs.end()) {
            std::fprintf(stderr, "badgegen: no sign is drawn for the badge %s (%s)\n", std::string(entry.identifier).c_str(), std::string(entry.imageName).c_str());
            return 1;
        }
        Colour colour{static_cast<std::uint8_t>(entry.colour >> 16), static_cast<std::uint8_t>(entry.colour >> 8), static_cast<std::uint8_t>(entry.colour)};
        badges.emplace_back(std::string(entry.imageName), badge(colour, sign->second.first, sign->second.second));
    }
    for (const auto& [name, layers] : badges) {
        std::string path = std::string(argv[1]) + "/" + name + ".png";
        std::vector<std::uint8_t> png = encodePng(render(layers, size), size, size);
        std::ofstream file(path, std::ios::binary);
        file.write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
        if (!file) {
            std::fprintf(stderr, "badgegen: cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
