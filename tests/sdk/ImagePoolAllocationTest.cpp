// The pixels of freed SDK pictures wait for the next pictures of their
// size: for the frames of many streams in flight at once, within a bound on
// the memory that waits. Counted with the benchmarks' counting allocator.

#include <gtest/gtest.h>

#include <vector>

#include "fsdk/Image.h"

#include "AllocationCounter.h"

namespace {

TEST(ImagePoolAllocations, TheFramesOfManyStreamsServeTheNextOnes)
{
    // Forty streams' frames in flight at once, freed, then the next forty.
    constexpr int kStreams = 40;
    std::vector<fsdk::Image> frames;
    frames.reserve(kStreams);
    for (int i = 0; i < kStreams; ++i) frames.emplace_back(97, 61, fsdk::Format::R8G8B8);
    frames.clear();
    const long before = AllocationCount();
    for (int i = 0; i < kStreams; ++i) frames.emplace_back(97, 61, fsdk::Format::R8G8B8);
    EXPECT_EQ(AllocationCount() - before, 0);
    for (const fsdk::Image& frame : frames) EXPECT_TRUE(frame.isValid());
}

TEST(ImagePoolAllocations, WhatWaitsStaysWithinItsBound)
{
    // Twenty pictures of just over 32 MiB (never touched, so never in
    // memory): at most eleven of them fit in the 384 MiB that may wait.
    constexpr int kPictures = 20;
    std::vector<fsdk::Image> pictures;
    pictures.reserve(kPictures);
    for (int i = 0; i < kPictures; ++i) pictures.emplace_back(4096, 2731, fsdk::Format::R8G8B8);
    pictures.clear();
    const long before = AllocationCount();
    for (int i = 0; i < kPictures; ++i) pictures.emplace_back(4096, 2731, fsdk::Format::R8G8B8);
    EXPECT_EQ(AllocationCount() - before, kPictures - 11);
}

}  // namespace
