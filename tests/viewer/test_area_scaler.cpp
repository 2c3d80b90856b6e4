#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "viewer/AreaScaler.h"

namespace {

using Pixels = std::vector<std::uint32_t>;

Pixels randomPixels(QSize size, unsigned stream)
{
    std::mt19937 random(stream);
    Pixels p(static_cast<std::size_t>(size.width() * size.height()));
    for (std::uint32_t& v : p)
        v = random();  // the fourth byte too: the scaler must not carry it over
    return p;
}

// Row by row, as a decoder hands them, into `out` as placed.
void scale(const Pixels& in, QSize from, QSize to, PixelPlacement out)
{
    AreaScaler scaler(from, to, out);
    for (int y = 0; y < from.height(); ++y)
        scaler.addRow(&in[static_cast<std::size_t>(y * from.width())]);
}

Pixels scaled(const Pixels& in, QSize from, QSize to)
{
    Pixels out(static_cast<std::size_t>(to.width() * to.height()), 0);
    scale(in, from, to, {out.data(), 1, to.width()});
    return out;
}

// How much of input pixel i output pixel p covers, in units in which the whole
// side measures from * to.
double overlap(int i, int p, int from, int to)
{
    const double lo = std::max(double(i) * to, double(p) * from);
    const double hi = std::min(double(i + 1) * to, double(p + 1) * from);
    return std::max(0.0, hi - lo);
}

// Each channel of an output pixel: the mean of the input area it covers, each
// input pixel weighed by how much of it is covered.
double reference(const Pixels& in, QSize from, QSize to, int x, int y, int channel)
{
    double total = 0;
    for (int j = 0; j < from.height(); ++j) {
        const double down = overlap(j, y, from.height(), to.height());
        if (down == 0)
            continue;
        for (int i = 0; i < from.width(); ++i) {
            const std::uint32_t v = in[static_cast<std::size_t>(j * from.width() + i)];
            total += down * overlap(i, x, from.width(), to.width()) * ((v >> (8 * channel)) & 0xFF);
        }
    }
    return total / (double(from.width()) * from.height());
}

const struct SizeCase {
    const char* what;
    QSize from, to;
} kSizes[] = {
    {"as it is", {33, 21}, {33, 21}},
    {"width kept", {40, 30}, {40, 7}},
    {"height kept", {45, 16}, {19, 16}},
    {"odd widths", {37, 29}, {13, 11}},
    {"widths not a multiple of 2, 4 or 16", {100, 9}, {31, 5}},
    {"to 17 wide", {70, 20}, {17, 6}},
    {"to one pixel", {50, 40}, {1, 1}},
    {"from one pixel wide", {1, 50}, {1, 7}},
    // Weights are kept in 1/256 down and rounded down for each pixel across:
    // past about 60 to 1 the error grows beyond a step.
    {"ratio 55", {500, 500}, {9, 9}},
    {"a strip, 55 across", {600, 7}, {11, 2}},
    {"just above 1", {150, 113}, {144, 108}},
    {"exactly 2", {64, 48}, {32, 24}},
    {"between 1 and 2", {90, 61}, {60, 40}},
    {"above 2", {200, 150}, {37, 29}},
};

TEST(AreaScaler, EachPixelIsTheMeanOfTheAreaItCovers)
{
    unsigned stream = 1;
    for (const SizeCase& c : kSizes) {
        const Pixels in = randomPixels(c.from, stream++);
        const Pixels out = scaled(in, c.from, c.to);
        int worst = 0;
        for (int y = 0; y < c.to.height(); ++y) {
            for (int x = 0; x < c.to.width(); ++x) {
                const std::uint32_t v = out[static_cast<std::size_t>(y * c.to.width() + x)];
                ASSERT_EQ(v >> 24, 255u) << c.what << " at " << x << "," << y;
                for (int channel = 0; channel < 3; ++channel) {
                    const double want = reference(in, c.from, c.to, x, y, channel);
                    worst = std::max(worst, int(std::abs(int((v >> (8 * channel)) & 0xFF) - want) + 0.5));
                }
            }
        }
        EXPECT_LE(worst, 1) << c.what;
    }
}

TEST(AreaScaler, AUniformColourComesOutExactly)
{
    for (const std::uint32_t colour : {0x00000000u, 0x00FFFFFFu, 0x12FE8001u, 0x7F7F7F7Fu}) {
        for (const SizeCase& c : kSizes) {
            const Pixels in(static_cast<std::size_t>(c.from.width() * c.from.height()), colour);
            for (const std::uint32_t v : scaled(in, c.from, c.to))
                ASSERT_EQ(v, colour | 0xFF000000u) << c.what << " " << std::hex << colour;
        }
    }
}

TEST(AreaScaler, APlacementMovesThePixelsAndChangesNone)
{
    const QSize from(41, 23), to(15, 9);  // an odd width: the last pixel has no pair
    const Pixels in = randomPixels(from, 7);
    const Pixels plain = scaled(in, from, to);
    const int w = to.width(), h = to.height();
    struct Case {
        const char* what;
        std::ptrdiff_t origin, dx, dy;
        int (*index)(int x, int y, int cols, int rows);  // where (x, y) of the plain output goes
    } cases[] = {
        {"mirrored", w - 1, -1, w, [](int x, int y, int cols, int) { return y * cols + (cols - 1 - x); }},
        {"half a turn", w * h - 1, -1, -w,
         [](int x, int y, int cols, int rows) { return (rows - 1 - y) * cols + (cols - 1 - x); }},
        {"corners swapped", 0, h, 1, [](int x, int y, int, int rows) { return x * rows + y; }},
        {"a quarter turn", h - 1, h, -1, [](int x, int y, int, int rows) { return x * rows + (rows - 1 - y); }},
    };
    for (const Case& c : cases) {
        Pixels out(plain.size(), 0);
        scale(in, from, to, {out.data() + c.origin, c.dx, c.dy});
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                ASSERT_EQ(out[static_cast<std::size_t>(c.index(x, y, w, h))], plain[static_cast<std::size_t>(y * w + x)])
                    << c.what << " at " << x << "," << y;
    }
}

}  // namespace
