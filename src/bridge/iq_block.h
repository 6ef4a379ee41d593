// One block of IQ samples: 4096 complex samples, I then Q, as 32-bit floats (32768 bytes).
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <vector>

struct IqBlock {
    static constexpr std::size_t kSamples = 4096;
    static constexpr std::size_t kBytes = kSamples * 2 * sizeof(float);
    std::array<float, kSamples * 2> data{};
};

// Finished blocks waiting for the spectrum step, oldest first. Storage is recycled, so the steady
// state allocates nothing per block.
class BlockQueue {
public:
    bool empty() const { return blocks_.empty(); }

    void push(const IqBlock& block) {
        std::unique_ptr<IqBlock> slot;
        if (spare_.empty()) {
            slot = std::make_unique<IqBlock>();
        } else {
            slot = std::move(spare_.back());
            spare_.pop_back();
        }
        *slot = block;
        blocks_.push_back(std::move(slot));
    }

    bool popInto(IqBlock& out) {
        if (blocks_.empty())
            return false;
        out = *blocks_.front();
        spare_.push_back(std::move(blocks_.front()));
        blocks_.erase(blocks_.begin());
        return true;
    }

private:
    std::vector<std::unique_ptr<IqBlock>> blocks_;
    std::vector<std::unique_ptr<IqBlock>> spare_;
};
