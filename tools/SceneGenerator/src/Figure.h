#pragma once
// The figure model: a walker on the ground plane of a pinhole camera, drawn
// as a few capsules, ellipses and rounded trapezoids (hair and face, neck,
// torso, pelvis, two arms, two legs with knees and shoes).

#include <array>
#include <cstddef>
#include <cstdint>

namespace Scene::detail {

struct Rgb {
    float r = 0, g = 0, b = 0;
};

// Level camera at `mountHeight` metres above a flat ground; x to the right,
// z away from the camera, both in metres.
struct Camera {
    double width = 0, height = 0;
    double focal = 0;    // pixels
    double centerX = 0;  // principal point column
    double horizon = 0;  // row of the horizon
    double mountHeight = 3.2;

    double FootRow(double z) const { return horizon + focal * mountHeight / z; }
    double DepthAtRow(double row) const { return focal * mountHeight / (row - horizon); }
    double Column(double x, double z) const { return centerX + focal * x / z; }
    // Metres from the optical axis to the frame's side edge at depth z.
    double HalfViewWidth(double z) const { return centerX * z / focal; }
};

struct Primitive {
    enum class Kind : uint8_t { Capsule, Ellipse, Trapezoid };
    Kind kind = Kind::Capsule;
    // Capsule: segment (x0, y0)-(x1, y1), radius r0.
    // Ellipse: centre (x0, y0), radii r0 across and r1 down.
    // Trapezoid: axis column x0 from row y0 to row y1, half widths r0 at the
    // top and r1 at the bottom, corners rounded by `corner`.
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0, r0 = 0, r1 = 0, corner = 0;
    Rgb colour;
    double minX = 0, minY = 0, maxX = 0, maxY = 0;  // exact bounds of the shape

    // Signed distance in pixels (negative inside; exact for capsules, close
    // for the others) and, through `across`, 0 on the shape's axis to 1 at
    // its rim, for shading.
    double Distance(double x, double y, double& across) const;
};

struct Pose {
    static constexpr size_t kMaxParts = 20;
    std::array<Primitive, kMaxParts> parts;
    size_t count = 0;
    double depth = 0;  // metres
    double minX = 0, minY = 0, maxX = 0, maxY = 0;
    // Soft ellipse of shadow on the ground under the feet.
    double shadowX = 0, shadowY = 0, shadowRx = 0, shadowRy = 0;

    bool Inside(double x, double y) const;
};

struct Figure {
    int32_t id = 0;
    // Straight path on the ground with a gentle meander across it.
    double x0 = 0, z0 = 0, dirX = 0, dirZ = 0, length = 0;
    double meanderAmp = 0, meanderWave = 1, meanderPhase = 0;
    double speed = 0;  // metres per frame
    double start = 0;  // frame at which the figure stands at the path start
    // A stop on the way: where (metres along), for how long, and how many
    // frames the legs take to settle or restart.
    double pauseAt = 0, pauseFrames = 0, rampFrames = 1;
    double bodyHeight = 1.75, build = 1, stride = 1.4, gaitPhase = 0;
    Rgb skin, hair, shirt, trousers, shoes;

    // Frames during which the figure is on its path.
    double FirstFrame() const { return start; }
    double LastFrame() const { return start + length / speed + pauseFrames; }

    // Distance walked and gait amplitude (1 walking, 0 standing) at a frame;
    // false when the figure is not on its path then.
    bool At(double frame, double& distance, double& gait) const;
    // Pose at a distance along the path.
    void PoseAt(const Camera& camera, double distance, double gait, Pose& pose) const;
};

}  // namespace Scene::detail
