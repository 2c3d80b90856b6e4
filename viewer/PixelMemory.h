#pragma once

#include <QImage>
#include <QSize>

#include <memory>

// Memory for the pixels of decoded pictures, used again once a picture is
// dropped. Memory the program has not written to yet costs a page fault for
// every 4 KiB when it is first written, which for a screen-sized picture can
// take longer than decoding it; so the memory of the last few pictures dropped
// is kept and handed out again. Usable from any thread; its pictures may
// outlive it.
class PixelMemory {
public:
    explicit PixelMemory(int kept = 2);
    ~PixelMemory();
    PixelMemory(const PixelMemory&) = delete;
    PixelMemory& operator=(const PixelMemory&) = delete;

    // An RGB32 image of the given size, its pixels not set yet; a null image
    // when there is no memory for it.
    QImage image(QSize size);

    // How many blocks to keep at most; those beyond go now.
    void setKept(int kept);
    // Blocks kept for later pictures (for tests).
    int keptCount() const;

private:
    struct Blocks;
    std::shared_ptr<Blocks> blocks_;
};
