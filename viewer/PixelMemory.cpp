#include "viewer/PixelMemory.h"

#include <sys/mman.h>

#include <algorithm>
#include <deque>
#include <mutex>

namespace {

// Straight from the system and straight back: malloc may keep a freed block
// resident for its next requests, and a screen-sized block is many megabytes.
void* allocate(std::size_t bytes)
{
    void* data = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return data == MAP_FAILED ? nullptr : data;
}

}  // namespace

struct PixelMemory::Blocks {
    struct Block {
        void* data;
        std::size_t bytes;
    };
    // What an image gives back when its last copy goes.
    struct Loan {
        std::shared_ptr<Blocks> owner;
        Block block;
    };

    explicit Blocks(int kept) : kept(kept) {}
    ~Blocks()
    {
        for (const Block& b : free)
            munmap(b.data, b.bytes);
    }

    // The smallest kept block that holds `bytes` and is not much larger.
    Block take(std::size_t bytes)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            auto best = free.end();
            for (auto it = free.begin(); it != free.end(); ++it)
                if (it->bytes >= bytes && it->bytes <= 2 * bytes && (best == free.end() || it->bytes < best->bytes))
                    best = it;
            if (best != free.end()) {
                const Block b = *best;
                free.erase(best);
                return b;
            }
        }
        return {allocate(bytes), bytes};
    }

    void giveBack(Block b)
    {
        std::lock_guard<std::mutex> lock(mutex);
        free.push_back(b);
        trim();
    }

    // The oldest go first; the mutex is held.
    void trim()
    {
        while (static_cast<int>(free.size()) > kept) {
            munmap(free.front().data, free.front().bytes);
            free.pop_front();
        }
    }

    static void returned(void* info)
    {
        Loan* loan = static_cast<Loan*>(info);
        loan->owner->giveBack(loan->block);
        delete loan;
    }

    int kept;
    mutable std::mutex mutex;
    std::deque<Block> free;  // the oldest first
};

PixelMemory::PixelMemory(int kept) : blocks_(std::make_shared<Blocks>(kept)) {}

PixelMemory::~PixelMemory() = default;

QImage PixelMemory::image(QSize size)
{
    if (size.isEmpty())
        return {};
    const qsizetype bytesPerLine = qsizetype(size.width()) * 4;
    const std::size_t bytes = static_cast<std::size_t>(bytesPerLine) * static_cast<std::size_t>(size.height());
    const Blocks::Block block = blocks_->take(bytes);
    if (!block.data)
        return {};
    auto* loan = new Blocks::Loan{blocks_, block};
    QImage image(static_cast<uchar*>(block.data), size.width(), size.height(), bytesPerLine, QImage::Format_RGB32,
                 Blocks::returned, loan);
    if (image.isNull())
        Blocks::returned(loan);
    return image;
}

void PixelMemory::setKept(int kept)
{
    std::lock_guard<std::mutex> lock(blocks_->mutex);
    blocks_->kept = std::max(kept, 0);
    blocks_->trim();
}

int PixelMemory::keptCount() const
{
    std::lock_guard<std::mutex> lock(blocks_->mutex);
    return static_cast<int>(blocks_->free.size());
}
