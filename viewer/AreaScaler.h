#pragma once

#include <QSize>

#include <cstddef>
#include <cstdint>
#include <vector>

// Where the scaler puts its output: pixel (x, y) of the scaled picture goes to
// origin + x * dx + y * dy. With dx = 1 and dy = the row length that is an
// image as it is; other steps mirror or turn it while it is written.
struct PixelPlacement {
    std::uint32_t* origin = nullptr;
    std::ptrdiff_t dx = 1, dy = 0;
};

// Shrinks a picture of 32-bit pixels (four 8-bit channels, the fourth set to
// 255 in the output) row by row, as the rows come from a decoder, so that the
// whole picture is never held: each output pixel is the average of the area of
// the input it covers, the input pixels on its edges weighed by how much of
// them it covers. Only shrinks (or keeps a side as it is).
class AreaScaler {
public:
    AreaScaler(QSize from, QSize to, PixelPlacement out);

    // The next input row, from the top: from.width() pixels. An output row is
    // written once the last input row it covers has been added.
    void addRow(const std::uint32_t* row);
    // How many output rows, from the top, are written.
    int rowsDone() const { return outRow_; }

private:
    // The input pixels each output pixel (or row) covers: the first one, how
    // many, and their weights, which add up to exactly `one`.
    struct Weights {
        int taps = 1;  // room for the weights of each output pixel
        std::vector<int> first, count;
        std::vector<std::uint16_t> weight;  // `taps` for each output pixel
    };
    static Weights weigh(int from, int to, std::uint32_t one);
    void finishRow(int y);
    template <int kTaps>
    void finishRowWith(int y);

    QSize from_, to_;
    PixelPlacement out_;
    Weights down_;
    // Across, as the row pass reads it, two output pixels at a time: the first
    // input pixel of each, and for each tap the two weights; past a pixel's
    // last tap the weight is 0.
    int taps_ = 1;
    std::vector<int> firstPixel_;
    std::vector<std::uint8_t> pairTaps_;  // taps the pair needs, the larger count of the two
    std::vector<std::uint16_t> tapWeight_;
    // Output rows y and y + 1 being summed down, 4 channels for each input
    // pixel (lanes_ in all, then room for the taps past the end), in 1/256 of
    // a step.
    std::size_t lanes_;
    std::vector<std::uint16_t> sum_, next_;
    int nextRow_ = 0, outRow_ = 0;
};
