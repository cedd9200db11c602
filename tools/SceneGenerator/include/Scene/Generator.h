#pragma once
// Synthetic camera scenes with ground truth: person-shaped figures walking
// across a static textured background seen by a fixed camera, entering and
// leaving at the frame edges, crossing and hiding each other, two of them
// side by side; and cars driving through, which are no people. Everything
// follows from the Settings, so a scene is the same on every machine and every
// frame can be rendered on its own, in any order, from any thread.

#include <cstdint>
#include <memory>
#include <vector>

namespace Scene {

struct Box {
    double x = 0, y = 0, width = 0, height = 0;  // pixels
};

struct Truth {
    int32_t id = 0;  // 1 .. figures, numbered in order of first appearance
    // Full extent of the figure, parts hidden behind others included, clipped
    // to the frame.
    Box box;
    // Share of the whole silhouette that can be seen: inside the frame and
    // not behind a nearer figure. May be 0 for a figure that only just
    // touches the frame or is wholly hidden.
    double visibility = 0;
    // Share of the whole silhouette inside the frame.
    double inFrame = 0;
};

struct Settings {
    uint32_t width = 640, height = 360;  // 16 .. 8192
    uint32_t frames = 600;               // 1 .. 1000000
    uint32_t figures = 6;                // distinct people over the scene, 0 .. 1000
    double fps = 10;                     // 1 .. 240; walking speeds are real, in metres per second
    uint64_t seed = 1;
    double noise = 3.0;  // standard deviation of the per-frame sensor noise, grey levels, 0 .. 50
    // Cars driving across behind the walkers, one after the other, 0 .. 100.
    // They are not in the truth: a target on one is a false one.
    uint32_t vehicles = 1;
    // The last two figures (of at least two) walk together, abreast as the
    // camera sees them, so close that their outlines touch, instead of
    // crossing each other's way.
    bool sideBySide = true;
};

class Generator {
public:
    // Lays the scene out and works out the truth of every frame (a few tens
    // of milliseconds for the default settings). Throws std::invalid_argument for
    // settings outside the ranges above.
    explicit Generator(const Settings& settings);
    ~Generator();
    Generator(Generator&&) noexcept;
    Generator& operator=(Generator&&) noexcept;

    const Settings& settings() const;
    uint32_t FrameCount() const;

    // Packed R, G, B bytes, rows of width * 3. The vector is resized to
    // width * height * 3, so a reused vector is not reallocated.
    void Render(uint32_t frame, std::vector<uint8_t>& rgb) const;
    // Into a caller buffer of `height` rows, `stride` >= width * 3 bytes apart.
    void Render(uint32_t frame, uint8_t* rgb, size_t stride) const;

    // Figures at least partly inside the frame, ordered by id.
    const std::vector<Truth>& TruthAt(uint32_t frame) const;
    // The cars at least partly inside the frame, clipped to it.
    const std::vector<Box>& VehiclesAt(uint32_t frame) const;

    // Time of a frame from the frame rate, rounded to milliseconds; defined
    // for any frame number, also past the end.
    uint64_t TimestampMs(uint32_t frame) const;

    // Render, TruthAt and VehiclesAt throw std::out_of_range for frame >=
    // FrameCount().

private:
    struct Impl;
    std::unique_ptr<const Impl> impl_;
};

}  // namespace Scene
