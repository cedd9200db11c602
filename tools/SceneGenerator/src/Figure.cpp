#include "Figure.h"

#include <algorithm>
#include <cmath>

namespace Scene::detail {

namespace {

constexpr double kTwoPi = 6.28318530717958647692;

double Clamp01(double v)
{
    return v < 0 ? 0 : (v > 1 ? 1 : v);
}

Rgb Scaled(Rgb c, float k)
{
    return {c.r * k, c.g * k, c.b * k};
}

class Builder {
public:
    explicit Builder(Pose& pose) : pose_(pose) { pose_.count = 0; }

    void Capsule(double ax, double ay, double bx, double by, double r, Rgb colour)
    {
        Primitive& p = Next(Primitive::Kind::Capsule, colour);
        p.x0 = ax, p.y0 = ay, p.x1 = bx, p.y1 = by, p.r0 = r;
        p.minX = std::min(ax, bx) - r, p.maxX = std::max(ax, bx) + r;
        p.minY = std::min(ay, by) - r, p.maxY = std::max(ay, by) + r;
    }

    void Ellipse(double cx, double cy, double rx, double ry, Rgb colour)
    {
        Primitive& p = Next(Primitive::Kind::Ellipse, colour);
        p.x0 = cx, p.y0 = cy, p.r0 = rx, p.r1 = ry;
        p.minX = cx - rx, p.maxX = cx + rx, p.minY = cy - ry, p.maxY = cy + ry;
    }

    void Trapezoid(double cx, double top, double bottom, double halfTop, double halfBottom, double corner, Rgb colour)
    {
        Primitive& p = Next(Primitive::Kind::Trapezoid, colour);
        p.x0 = cx, p.y0 = top, p.y1 = bottom, p.r0 = halfTop, p.r1 = halfBottom;
        p.corner = std::min({corner, halfTop, halfBottom, (bottom - top) / 2});
        const double half = std::max(halfTop, halfBottom);
        p.minX = cx - half, p.maxX = cx + half, p.minY = top, p.maxY = bottom;
    }

private:
    Primitive& Next(Primitive::Kind kind, Rgb colour)
    {
        Primitive& p = pose_.parts[pose_.count++];
        p = Primitive{};
        p.kind = kind;
        p.colour = colour;
        return p;
    }

    Pose& pose_;
};

}  // namespace

double Primitive::Distance(double x, double y, double& across) const
{
    switch (kind) {
    case Kind::Capsule: {
        const double px = x - x0, py = y - y0, bx = x1 - x0, by = y1 - y0;
        const double bb = bx * bx + by * by;
        const double t = bb > 0 ? Clamp01((px * bx + py * by) / bb) : 0.0;
        const double dx = px - bx * t, dy = py - by * t;
        const double d = std::sqrt(dx * dx + dy * dy);
        across = d / r0;
        return d - r0;
    }
    case Kind::Ellipse: {
        // First-order distance to an ellipse: |p/r| (|p/r| - 1) / |p/r^2|.
        const double qx = (x - x0) / r0, qy = (y - y0) / r1;
        const double k0 = std::sqrt(qx * qx + qy * qy);
        const double gx = qx / r0, gy = qy / r1;
        const double k1 = std::sqrt(gx * gx + gy * gy);
        across = k0;
        if (k1 <= 0) return -std::min(r0, r1);
        return k0 * (k0 - 1.0) / k1;
    }
    case Kind::Trapezoid: {
        const double t = Clamp01((y - y0) / (y1 - y0));
        const double half = r0 + (r1 - r0) * t;
        const double ax = std::abs(x - x0);
        across = half > 0 ? ax / half : 1.0;
        const double qx = ax - (half - corner);
        const double qy = std::max(y0 + corner - y, y - (y1 - corner));
        const double ox = std::max(qx, 0.0), oy = std::max(qy, 0.0);
        return std::sqrt(ox * ox + oy * oy) + std::min(std::max(qx, qy), 0.0) - corner;
    }
    }
    return 1e9;
}

bool Pose::Inside(double x, double y) const
{
    if (x < minX || x > maxX || y < minY || y > maxY) return false;
    double across = 0;
    for (size_t i = 0; i < count; ++i) {
        const Primitive& p = parts[i];
        if (x < p.minX || x > p.maxX || y < p.minY || y > p.maxY) continue;
        if (p.Distance(x, y, across) <= 0) return true;
    }
    return false;
}

bool Figure::At(double frame, double& distance, double& gait) const
{
    const double elapsed = frame - start;
    if (elapsed < 0) return false;
    gait = 1.0;
    const double reach = pauseAt / speed;  // frames to the stop
    if (pauseFrames > 0 && elapsed > reach) {
        if (elapsed < reach + pauseFrames) {
            distance = pauseAt;
            const double settle = std::max(0.0, 1.0 - (elapsed - reach) / rampFrames);
            const double restart = std::max(0.0, 1.0 - (reach + pauseFrames - elapsed) / rampFrames);
            gait = std::max(settle, restart);
            return true;
        }
        distance = (elapsed - pauseFrames) * speed;
    } else {
        distance = elapsed * speed;
    }
    return distance <= length;
}

void Figure::PoseAt(const Camera& camera, double distance, double gait, Pose& pose) const
{
    // The meander fades out at both ends, so that the ends stay out of view.
    const double sway = meanderAmp * std::sin(kTwoPi * distance / meanderWave + meanderPhase) *
                        std::sin(kTwoPi / 2 * std::clamp(distance / length, 0.0, 1.0));
    const double x = x0 + dirX * distance - dirZ * sway;
    const double z = z0 + dirZ * distance + dirX * sway;
    const double footX = camera.Column(x, z);
    const double ground = camera.FootRow(z);
    const double h = camera.focal * bodyHeight / z;
    pose.depth = z;

    // Seen side-on a walker's limbs swing across the image; seen head-on
    // they swing in depth and the body shows its full width.
    const double side = std::abs(dirX);
    const double front = 1.0 - side;
    const double imageDx = dirX * z - x * dirZ;  // sign of the column's change along the path
    const double facing = imageDx >= 0 ? 1.0 : -1.0;
    const double w = h * build;

    const double phase = kTwoPi * distance / stride + gaitPhase;
    const double legSwing = gait * (0.05 + 0.23 * side);
    const double kneeBend = gait * 0.65 * side;
    const double armSwing = gait * (0.03 + 0.38 * side);
    constexpr double thigh = 0.225, shin = 0.215, hipRow = 0.52;

    // Knee and ankle angles of the near (s = +1) and far (s = -1) leg; the
    // body sinks so that the lower foot stays on the ground.
    double thighAngle[2], shinAngle[2], reach[2];
    for (int i = 0; i < 2; ++i) {
        const double s = i == 0 ? 1.0 : -1.0;
        thighAngle[i] = s * legSwing * std::sin(phase);
        shinAngle[i] = thighAngle[i] - kneeBend * std::max(0.0, s * std::cos(phase));
        reach[i] = thigh * std::cos(thighAngle[i]) + shin * std::cos(shinAngle[i]);
    }
    const double sink = (thigh + shin) - std::max(reach[0], reach[1]);
    const double top = ground - h + sink * h;  // row of the crown

    const double torsoHalf = (0.125 * front + 0.085 * side) * w;
    const double hipOffset = (0.05 * front + 0.008 * side) * w;
    const double shoulderOffset = (0.125 * front + 0.012 * side) * w;
    const double lean = facing * 0.012 * side * h;

    pose.shadowX = footX;
    pose.shadowY = ground;
    pose.shadowRx = (0.2 * front + 0.22 * side) * h;
    pose.shadowRy = 0.03 * h;

    Builder b(pose);
    const auto arm = [&](double s, float shade) {
        const double sx = footX + lean + s * shoulderOffset, sy = top + 0.2 * h;
        const double a = -s * armSwing * std::sin(phase);
        const double out = s * front * 0.08;  // hanging a little away from the body
        const double ex = sx + 0.155 * h * (facing * std::sin(a) + out), ey = sy + 0.155 * h * std::cos(a);
        const double fa = a + 0.35 * side * gait + 0.1 * side;
        const double hx = ex + 0.145 * h * (facing * std::sin(fa) + out), hy = ey + 0.145 * h * std::cos(fa);
        b.Capsule(sx, sy, ex, ey, 0.032 * w, Scaled(shirt, shade));
        b.Capsule(ex, ey, hx, hy, 0.027 * w, Scaled(shirt, shade));
        b.Capsule(hx, hy, hx, hy + 0.012 * h, 0.024 * w, Scaled(skin, shade));
    };
    const auto leg = [&](int i, float shade) {
        const double s = i == 0 ? 1.0 : -1.0;
        const double hx = footX + s * hipOffset, hy = top + hipRow * h;
        const double kx = hx + facing * thigh * h * std::sin(thighAngle[i]),
                     ky = hy + thigh * h * std::cos(thighAngle[i]);
        const double ax = kx + facing * shin * h * std::sin(shinAngle[i]), ay = ky + shin * h * std::cos(shinAngle[i]);
        b.Capsule(hx, hy, kx, ky, 0.043 * w, Scaled(trousers, shade));
        b.Capsule(kx, ky, ax, ay, 0.034 * w, Scaled(trousers, shade));
        const double toe = (0.05 * side + 0.012) * h;
        b.Capsule(ax, ay + 0.012 * h, ax + facing * toe, ay + 0.016 * h, 0.022 * h, Scaled(shoes, shade));
    };

    arm(-1.0, 0.8f);
    leg(1, 0.85f);
    leg(0, 1.0f);
    b.Trapezoid(footX + lean * 0.5, top + 0.49 * h, top + 0.6 * h, 0.9 * torsoHalf, 0.86 * torsoHalf, 0.03 * h,
                trousers);
    b.Trapezoid(footX + lean, top + 0.165 * h, top + 0.56 * h, torsoHalf, 0.86 * torsoHalf, 0.04 * h, shirt);
    b.Capsule(footX + lean, top + 0.11 * h, footX + lean, top + 0.18 * h, 0.024 * w, Scaled(skin, 0.9f));
    b.Ellipse(footX + lean - facing * 0.008 * side * h, top + 0.064 * h, (0.05 + 0.007 * side) * h, 0.064 * h, hair);
    b.Ellipse(footX + lean + facing * 0.01 * side * h, top + 0.079 * h, 0.044 * h, 0.054 * h, skin);
    arm(1.0, 1.0f);

    pose.minX = pose.minY = 1e300;
    pose.maxX = pose.maxY = -1e300;
    for (size_t i = 0; i < pose.count; ++i) {
        const Primitive& p = pose.parts[i];
        pose.minX = std::min(pose.minX, p.minX), pose.maxX = std::max(pose.maxX, p.maxX);
        pose.minY = std::min(pose.minY, p.minY), pose.maxY = std::max(pose.maxY, p.maxY);
    }
}

}  // namespace Scene::detail
