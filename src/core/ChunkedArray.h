#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <vector>

namespace quillet {

// A growing array of trivially copyable values, kept in fixed blocks of
// 2^BlockBits values: appending never moves what is stored (no copy of the
// whole array, no pause while millions of values are copied), and at most one
// block stands unused. Index access is a shift and a mask.
template <typename T, unsigned BlockBits = 16>
class ChunkedArray {
public:
    static constexpr std::size_t kBlockSize = std::size_t{1} << BlockBits;

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    T& operator[](std::size_t i) { return blocks_[i >> BlockBits][i & (kBlockSize - 1)]; }
    const T& operator[](std::size_t i) const { return blocks_[i >> BlockBits][i & (kBlockSize - 1)]; }

    T& back() { return (*this)[size_ - 1]; }
    const T& back() const { return (*this)[size_ - 1]; }

    // Room for one more value: the push_back after it does not throw. May
    // throw, and then nothing changed.
    void reserveOne()
    {
        if ((size_ >> BlockBits) == blocks_.size()) [[unlikely]]
            AddBlock();
    }

    void push_back(const T& value)
    {
        reserveOne();
        (*this)[size_] = value;
        ++size_;
    }

    // The last value goes; its block stays for the next.
    void pop_back() { --size_; }

    // Appends n values, make(i) for i = 0 .. n-1, filling a block at a time.
    template <class Make>
    void append(std::size_t n, Make make)
    {
        for (std::size_t i = 0; i < n;) {
            if ((size_ >> BlockBits) == blocks_.size())
                blocks_.push_back(std::make_unique_for_overwrite<T[]>(kBlockSize));
            T* block = blocks_[size_ >> BlockBits].get() + (size_ & (kBlockSize - 1));
            const std::size_t fit = std::min(n - i, kBlockSize - (size_ & (kBlockSize - 1)));
            for (std::size_t k = 0; k < fit; ++k)
                block[k] = make(i + k);
            size_ += fit;
            i += fit;
        }
    }

    // Keeps the first n values (n <= size()); the blocks beyond are freed.
    void truncate(std::size_t n)
    {
        if (n >= size_)
            return;
        size_ = n;
        blocks_.resize((n + kBlockSize - 1) >> BlockBits);
    }

    // Empties the array and frees its memory.
    void clear()
    {
        blocks_.clear();
        blocks_.shrink_to_fit();
        size_ = 0;
    }

private:
    // Kept out of the callers' loops: once a block.
    [[gnu::noinline]] void AddBlock()
    {
        if (blocks_.size() == blocks_.capacity())
            blocks_.reserve(blocks_.size() * 2 + 4);
        blocks_.push_back(std::make_unique_for_overwrite<T[]>(kBlockSize));
    }

    std::vector<std::unique_ptr<T[]>> blocks_;
    std::size_t size_ = 0;
};

}  // namespace quillet
