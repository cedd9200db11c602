// The pixels of freed SDK pictures wait for the next pictures of their
// size: for the frames of many streams in flight at once, within a bound on
// the memory that waits. Counted with the benchmarks' counting allocator.

#include <gtest/gtest.h>

#include <vector>

#include "fsdk/Image.h"

#include "AllocationCounter.h"

namespace {

// Allocations made for `count` pictures of `width` by `height` when as many
// of that size were just made and freed; the pictures are all valid.
long AllocationsForTheNextRound(int count, int width, int height)
{
    std::vector<fsdk::Image> pictures;
    pictures.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) pictures.emplace_back(width, height, fsdk::Format::R8G8B8);
    pictures.clear();
    const long before = AllocationCount();
    for (int i = 0; i < count; ++i) pictures.emplace_back(width, height, fsdk::Format::R8G8B8);
    const long made = AllocationCount() - before;
    for (const fsdk::Image& picture : pictures) EXPECT_TRUE(picture.isValid());
    return made;
}

TEST(ImagePoolAllocations, TheFramesOfManyStreamsServeTheNextOnes)
{
    // Forty streams' frames in flight at once, freed, then the next forty.
    EXPECT_EQ(AllocationsForTheNextRound(40, 97, 61), 0);
}

TEST(ImagePoolAllocations, WhatWaitsStaysWithinItsBound)
{
    // Fifty pictures of just over 48 MiB (never touched, so never in
    // memory): at most 42 of them fit in the 2 GiB that may wait.
    EXPECT_EQ(AllocationsForTheNextRound(50, 4096, 4100), 50 - 42);
}

}  // namespace
