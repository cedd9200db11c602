#include "Scene/Generator.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include "Figure.h"
#include "Random.h"

namespace Scene {

using detail::Camera;
using detail::Figure;
using detail::Mix;
using detail::Pose;
using detail::Primitive;
using detail::Random;
using detail::Rgb;
using detail::UnitFromBits;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kWallDepth = 19.0;  // metres to the facade behind the walkers
constexpr double kTile = 1.5;        // paving tile, metres

// Independent streams, so that a change to one part of the scene leaves the
// others as they were.
constexpr uint64_t kLayoutStream = 0x6c61796f7574ULL;
constexpr uint64_t kBackdropStream = 0x6261636bULL;
constexpr uint64_t kNoiseStream = 0x6e6f697365ULL;
constexpr uint64_t kTrafficStream = 0x636172ULL;
// A car seen from the side, metres: length, heights of the sills, the waist
// and the roof, half lengths of the cabin at the roof and the waist, wheels.
constexpr double kCarLength = 4.3, kCarSill = 0.22, kCarWaist = 0.95, kCarRoof = 1.45;
constexpr double kCabinTop = 1.0, kCabinBottom = 1.55, kWheelBase = 1.35, kWheel = 0.33;
// How far apart two people walking together keep, metres along their way
// and in depth.
constexpr double kAbreast = 0.7, kAbreastDepth = 0.35;

const Settings& Checked(const Settings& settings)
{
    if (settings.width < 16 || settings.width > 8192 || settings.height < 16 || settings.height > 8192)
        throw std::invalid_argument("Scene: width and height must be 16 to 8192 pixels");
    if (settings.frames < 1 || settings.frames > 1000000)
        throw std::invalid_argument("Scene: frames must be 1 to 1000000");
    if (settings.figures > 1000) throw std::invalid_argument("Scene: figures must be at most 1000");
    if (!(settings.fps >= 1 && settings.fps <= 240)) throw std::invalid_argument("Scene: fps must be 1 to 240");
    if (!(settings.noise >= 0 && settings.noise <= 50)) throw std::invalid_argument("Scene: noise must be 0 to 50");
    if (settings.vehicles > 100) throw std::invalid_argument("Scene: vehicles must be at most 100");
    return settings;
}

Camera MakeCamera(const Settings& settings)
{
    Camera c;
    c.width = settings.width;
    c.height = settings.height;
    c.focal = settings.height;  // about 53 degrees vertically
    c.centerX = settings.width / 2.0;
    c.horizon = 0.22 * settings.height;
    c.mountHeight = 3.2;
    return c;
}

uint8_t ToByte(double v)
{
    if (!(v > 0)) return 0;
    if (v >= 255) return 255;
    return static_cast<uint8_t>(v + 0.5);
}

Rgb Hsv(double h, double s, double v)
{
    h = std::fmod(h, 360.0) / 60.0;
    const double c = v * s, x = c * (1 - std::abs(std::fmod(h, 2.0) - 1)), m = v - c;
    double r = 0, g = 0, b = 0;
    if (h < 1)
        r = c, g = x;
    else if (h < 2)
        r = x, g = c;
    else if (h < 3)
        g = c, b = x;
    else if (h < 4)
        g = x, b = c;
    else if (h < 5)
        r = x, b = c;
    else
        r = c, b = x;
    return {static_cast<float>((r + m) * 255), static_cast<float>((g + m) * 255), static_cast<float>((b + m) * 255)};
}

Rgb Grey(double v)
{
    return {static_cast<float>(v), static_cast<float>(v), static_cast<float>(v)};
}

Rgb Jitter(Rgb c, Random& r, double amount)
{
    const auto one = [&](float v) {
        return static_cast<float>(std::clamp(v + r.Uniform(-amount, amount), 0.0, 255.0));
    };
    return {one(c.r), one(c.g), one(c.b)};
}

Rgb ShirtColour(Random& r)
{
    const double u = r.Uniform();
    if (u < 0.12) return Jitter(Grey(r.Uniform(18, 45)), r, 4);
    if (u < 0.22) return Jitter(Grey(r.Uniform(70, 115)), r, 5);
    if (u < 0.3) return Jitter(Grey(r.Uniform(165, 235)), r, 6);
    return Hsv(r.Uniform(0, 360), r.Uniform(0.25, 0.85), r.Uniform(0.3, 0.9));
}

Rgb TrousersColour(Random& r)
{
    const double u = r.Uniform();
    if (u < 0.45) return Hsv(r.Uniform(205, 228), r.Uniform(0.3, 0.6), r.Uniform(0.22, 0.55));
    if (u < 0.75) return Jitter(Grey(r.Uniform(22, 62)), r, 4);
    if (u < 0.9) return Hsv(r.Uniform(28, 45), r.Uniform(0.22, 0.45), r.Uniform(0.42, 0.7));
    return Hsv(r.Uniform(0, 360), r.Uniform(0.2, 0.7), r.Uniform(0.2, 0.7));
}

Rgb SkinColour(Random& r)
{
    static constexpr float kTones[][3] = {{241, 194, 170}, {224, 172, 138}, {198, 134, 98},
                                          {160, 105, 72},  {118, 78, 55},   {88, 58, 42}};
    const auto& t = kTones[r.Below(6)];
    return Jitter({t[0], t[1], t[2]}, r, 8);
}

Rgb HairColour(Random& r)
{
    static constexpr float kTones[][3] = {{22, 18, 16},  {30, 24, 20},    {62, 42, 26},
                                          {100, 68, 40}, {190, 160, 105}, {150, 148, 145}};
    const auto& t = kTones[r.Below(6)];
    return Jitter({t[0], t[1], t[2]}, r, 6);
}

// Smooth lattice noise in [-1, 1] with features about `cell` pixels across.
double ValueNoise(double x, double y, double cell, uint64_t salt)
{
    const double fx = x / cell, fy = y / cell;
    const double ix = std::floor(fx), iy = std::floor(fy);
    const double tx = fx - ix, ty = fy - iy;
    const auto i = static_cast<int64_t>(ix), j = static_cast<int64_t>(iy);
    const auto at = [&](int64_t a, int64_t b) {
        return UnitFromBits(
                   Mix(salt ^ Mix(static_cast<uint64_t>(a) * 0x9e3779b97f4a7c15ULL + static_cast<uint64_t>(b)))) *
                   2.0 -
               1.0;
    };
    const double sx = tx * tx * (3 - 2 * tx), sy = ty * ty * (3 - 2 * ty);
    const double top = at(i, j) + (at(i + 1, j) - at(i, j)) * sx;
    const double bottom = at(i, j + 1) + (at(i + 1, j + 1) - at(i, j + 1)) * sx;
    return top + (bottom - top) * sy;
}

struct Rect {
    double x0, y0, x1, y1;
};

struct Panel {
    double x0, x1, tone;
    std::vector<Rect> windows;
};

// A facade of panels and windows beyond a paved ground, with smooth
// large-scale shading, a little fixed grain and darker corners.
std::vector<uint8_t> BuildBackground(const Settings& settings, const Camera& camera)
{
    Random r(Mix(settings.seed ^ kBackdropStream));
    const double W = settings.width, H = settings.height;
    const double wallBase = camera.FootRow(kWallDepth);
    const double kerb = std::max(2.0, 0.012 * H);
    const double wallGrey = r.Uniform(115, 170), groundGrey = r.Uniform(95, 145);
    const Rgb wall = {static_cast<float>(wallGrey * r.Uniform(0.97, 1.08)), static_cast<float>(wallGrey),
                      static_cast<float>(wallGrey * r.Uniform(0.88, 1.02))};
    const Rgb ground = {static_cast<float>(groundGrey * r.Uniform(1.0, 1.06)), static_cast<float>(groundGrey),
                        static_cast<float>(groundGrey * r.Uniform(0.9, 1.0))};
    const Rgb glass = {static_cast<float>(r.Uniform(35, 60)), static_cast<float>(r.Uniform(45, 70)),
                       static_cast<float>(r.Uniform(60, 90))};

    std::vector<Panel> panels;
    for (double x = 0; x < W;) {
        Panel p;
        p.x0 = x;
        p.x1 = std::min(W, x + r.Uniform(0.08, 0.22) * W);
        p.tone = r.Uniform(-14, 14);
        if (r.Chance(0.6)) {
            const int columns = 1 + static_cast<int>(r.Below(3));
            const double margin = 0.12 * (p.x1 - p.x0), gap = 0.08 * (p.x1 - p.x0);
            const double ww = ((p.x1 - p.x0) - 2 * margin - (columns - 1) * gap) / columns;
            const double wh = 0.07 * H, rowGap = 0.05 * H;
            for (double y = 0.03 * H; y + wh < wallBase - 0.05 * H; y += wh + rowGap)
                for (int c = 0; c < columns; ++c) {
                    const double wx = p.x0 + margin + c * (ww + gap);
                    p.windows.push_back({wx, y, wx + ww, y + wh});
                }
        }
        panels.push_back(std::move(p));
        x = panels.back().x1;
    }

    const uint64_t salt = Mix(settings.seed ^ 0x7465787475726573ULL);
    std::vector<uint8_t> image(static_cast<size_t>(settings.width) * settings.height * 3);
    size_t panel = 0;
    for (uint32_t y = 0; y < settings.height; ++y) {
        const double py = y + 0.5;
        panel = 0;
        for (uint32_t x = 0; x < settings.width; ++x) {
            const double px = x + 0.5;
            Rgb c;
            double texture = 10 * ValueNoise(px, py, 0.3 * H, salt) + 4 * ValueNoise(px, py, 0.05 * H, salt + 1);
            if (py < wallBase) {
                while (panel + 1 < panels.size() && px >= panels[panel].x1) ++panel;
                const Panel& p = panels[panel];
                c = {wall.r + static_cast<float>(p.tone), wall.g + static_cast<float>(p.tone),
                     wall.b + static_cast<float>(p.tone)};
                if (px - p.x0 < 1.0) c = {c.r * 0.85f, c.g * 0.85f, c.b * 0.85f};  // panel joint
                for (const Rect& w : p.windows)
                    if (px >= w.x0 && px < w.x1 && py >= w.y0 && py < w.y1) {
                        const double edge = std::min({px - w.x0, w.x1 - px, py - w.y0, w.y1 - py});
                        c = edge < std::max(1.0, 0.006 * H) ? Grey(wallGrey * 1.15) : glass;
                        // Reflections: a faint diagonal gradient over the glass.
                        const float shine =
                            static_cast<float>(12 * (px - w.x0 + py - w.y0) / (w.x1 - w.x0 + w.y1 - w.y0));
                        if (edge >= std::max(1.0, 0.006 * H)) c = {c.r + shine, c.g + shine, c.b + shine};
                    }
            } else if (py < wallBase + kerb) {
                c = {ground.r * 0.7f, ground.g * 0.7f, ground.b * 0.7f};
            } else {
                c = ground;
                texture *= 1.3;
                // Paving joints, faded out where they would crowd together.
                const double z = camera.DepthAtRow(py);
                const double rowsPerMetre = camera.focal * camera.mountHeight / (z * z);
                const double dz = std::abs(std::remainder(kWallDepth - z, kTile));
                const double wx = (px - camera.centerX) * z / camera.focal;
                const double dx = std::abs(std::remainder(wx, kTile)) * camera.focal / z;
                const double spacing = kTile * rowsPerMetre;
                const double fade = std::clamp((spacing - 4.0) / 10.0, 0.0, 1.0);
                if (dz * rowsPerMetre < 0.6 || dx < 0.6) {
                    const auto k = static_cast<float>(1.0 - 0.12 * fade);
                    c = {c.r * k, c.g * k, c.b * k};
                }
            }
            const double grain = 3 * (UnitFromBits(Mix(salt ^ (static_cast<uint64_t>(y) << 32 | x))) * 2 - 1);
            const double nx = (px - W / 2) / (W / 2), ny = (py - H / 2) / (H / 2);
            const double vignette = 1.0 - 0.07 * (nx * nx + ny * ny);
            uint8_t* out = &image[(static_cast<size_t>(y) * settings.width + x) * 3];
            out[0] = ToByte((c.r + texture + grain) * vignette);
            out[1] = ToByte((c.g + texture + grain) * vignette);
            out[2] = ToByte((c.b + texture * 0.9 + grain) * vignette);
        }
    }
    return image;
}

// Gaussian noise values, looked up by hash at render time.
std::vector<int16_t> BuildNoiseTable(const Settings& settings)
{
    if (settings.noise <= 0) return {};
    Random r(Mix(settings.seed ^ kNoiseStream));
    std::vector<int16_t> table(1 << 16);
    for (int16_t& v : table) {
        const double n = std::clamp(r.Normal(), -4.0, 4.0) * settings.noise;
        v = static_cast<int16_t>(std::lround(n));
    }
    return table;
}

bool Intersects(const Pose& pose, const Camera& camera)
{
    const double x0 = std::max(0.0, pose.minX), x1 = std::min(camera.width, pose.maxX);
    const double y0 = std::max(0.0, pose.minY), y1 = std::min(camera.height, pose.maxY);
    return x1 - x0 >= 1.0 && y1 - y0 >= 1.0;
}

Rgb BackgroundAround(const std::vector<uint8_t>& bg, const Settings& settings, double cx, double cy, double radius)
{
    const auto clampTo = [](double v, uint32_t n) { return static_cast<uint32_t>(std::clamp(v, 0.0, n - 1.0)); };
    const uint32_t x0 = clampTo(cx - radius, settings.width), x1 = clampTo(cx + radius, settings.width);
    const uint32_t y0 = clampTo(cy - radius, settings.height), y1 = clampTo(cy + radius, settings.height);
    double sum[3] = {0, 0, 0};
    double n = 0;
    for (uint32_t y = y0; y <= y1; ++y)
        for (uint32_t x = x0; x <= x1; ++x) {
            const uint8_t* p = &bg[(static_cast<size_t>(y) * settings.width + x) * 3];
            for (int c = 0; c < 3; ++c) sum[c] += p[c];
            n += 1;
        }
    return {static_cast<float>(sum[0] / n), static_cast<float>(sum[1] / n), static_cast<float>(sum[2] / n)};
}

}  // namespace

// A car driving straight across at one depth, at a steady speed.
struct Vehicle {
    double depth = 0;  // metres
    double x0 = 0;     // metres from the optical axis at frame `start`
    double speed = 0;  // metres per frame, signed
    double start = 0;
    Rgb paint, glass, tyres;

    // The car as a pose: body, cabin, windows and wheels.
    void PoseAt(const Camera& camera, double frame, Pose& pose) const
    {
        const double x = x0 + speed * (frame - start);
        const double s = camera.focal / depth, foot = camera.FootRow(depth);
        const double cx = camera.Column(x, depth), facing = speed >= 0 ? 1.0 : -1.0;
        pose.count = 0;
        pose.depth = depth;
        const auto trapezoid = [&](double axis, double top, double bottom, double halfTop, double halfBottom,
                                   double corner, Rgb colour) {
            Primitive& p = pose.parts[pose.count++];
            p = Primitive{};
            p.kind = Primitive::Kind::Trapezoid;
            p.colour = colour;
            p.x0 = axis, p.y0 = top, p.y1 = bottom, p.r0 = halfTop, p.r1 = halfBottom;
            p.corner = std::min({corner, halfTop, halfBottom, (bottom - top) / 2});
            const double half = std::max(halfTop, halfBottom);
            p.minX = axis - half, p.maxX = axis + half, p.minY = top, p.maxY = bottom;
        };
        const auto wheel = [&](double axis) {
            Primitive& p = pose.parts[pose.count++];
            p = Primitive{};
            p.kind = Primitive::Kind::Ellipse;
            p.colour = tyres;
            p.x0 = axis, p.y0 = foot - kWheel * s, p.r0 = p.r1 = kWheel * s;
            p.minX = axis - p.r0, p.maxX = axis + p.r0, p.minY = p.y0 - p.r1, p.maxY = p.y0 + p.r1;
        };
        const double cabin = cx - 0.15 * s * facing;
        trapezoid(cabin, foot - kCarRoof * s, foot - kCarWaist * s + 1, kCabinTop * s, kCabinBottom * s, 0.12 * s,
                  paint);
        trapezoid(cabin, foot - (kCarRoof - 0.07) * s, foot - (kCarWaist + 0.04) * s, (kCabinTop - 0.1) * s,
                  (kCabinBottom - 0.12) * s, 0.05 * s, glass);
        trapezoid(cx, foot - kCarWaist * s, foot - kCarSill * s, 0.5 * kCarLength * s, 0.5 * kCarLength * s, 0.18 * s,
                  paint);
        wheel(cx - kWheelBase * s);
        wheel(cx + kWheelBase * s);
        pose.minX = pose.minY = 1e300;
        pose.maxX = pose.maxY = -1e300;
        for (size_t i = 0; i < pose.count; ++i) {
            const Primitive& p = pose.parts[i];
            pose.minX = std::min(pose.minX, p.minX), pose.maxX = std::max(pose.maxX, p.maxX);
            pose.minY = std::min(pose.minY, p.minY), pose.maxY = std::max(pose.maxY, p.maxY);
        }
        pose.shadowX = cx, pose.shadowY = foot, pose.shadowRx = 0.55 * kCarLength * s, pose.shadowRy = 0.12 * s;
    }
};

struct Generator::Impl {
    Settings settings;
    Camera camera;
    std::vector<uint8_t> background;
    std::vector<int16_t> noise;
    std::vector<Figure> figures;  // figures[id - 1]
    std::vector<Vehicle> vehicles;
    std::vector<std::vector<Truth>> truth;
    std::vector<std::vector<Box>> vehicleBoxes;
    // Figures drawn in each frame, farthest first: drawOrder[drawStart[f] .. drawStart[f + 1]).
    std::vector<uint32_t> drawOrder;
    std::vector<size_t> drawStart;

    explicit Impl(const Settings& s) : settings(Checked(s)), camera(MakeCamera(s))
    {
        background = BuildBackground(settings, camera);
        noise = BuildNoiseTable(settings);
        PlanFigures();
        PlanTraffic();
        WorkOutTruth();
    }

    void PoseAtFrame(uint32_t index, uint32_t frame, Pose& pose) const
    {
        double distance = 0, gait = 0;
        figures[index].At(frame, distance, gait);
        figures[index].PoseAt(camera, distance, gait, pose);
    }

    void PlanFigures();
    void PlanTraffic();
    void WorkOutTruth();
    void Draw(uint32_t frame, uint8_t* rgb, size_t stride) const;
};

// Each figure walks a straight ground path from outside the view on one side
// to outside on the other (some come from or go to the bottom edge, towards
// or away from the camera), at its own pace, some stopping for a while on the
// way. Figures go in pairs that walk opposite ways and pass a chosen column
// in the same frame, so that they cross one in front of the other; the pairs'
// frames are spread over the scene.
void Generator::Impl::PlanFigures()
{
    Random r(Mix(settings.seed ^ kLayoutStream));
    const uint32_t n = settings.figures;
    const double W = settings.width, H = settings.height;
    const uint32_t groups = (n + 1) / 2;
    const uint32_t forcedBlend = n >= 3 ? r.Below(n) : n;  // one figure dressed like the background at least
    figures.resize(n);
    Pose pose;
    bool leaderRightward = false;
    double crossColumn = 0, crossFrame = 0;
    for (uint32_t k = 0; k < n; ++k) {
        Figure& f = figures[k];
        const bool leader = k % 2 == 0;
        if (leader) {
            leaderRightward = r.Chance(0.5);
            crossColumn = r.Uniform(0.25, 0.75) * W;
            crossFrame = std::min<double>(settings.frames - 1,
                                          std::floor(settings.frames * (k / 2 + r.Uniform(0.15, 0.85)) / groups));
        }
        const bool rightward = leader ? leaderRightward : !leaderRightward;
        f.bodyHeight = std::clamp(1.72 + 0.09 * r.Normal(), 1.5, 1.95);
        f.build = r.Uniform(0.9, 1.12);
        const double mps = r.Chance(0.15) ? r.Uniform(0.4, 0.65) : r.Uniform(0.65, 1.4);
        f.speed = mps / settings.fps;
        f.stride = f.bodyHeight * (0.5 + 0.3 * mps);
        f.gaitPhase = r.Uniform(0, 2 * kPi);
        f.meanderAmp = r.Uniform(0, 0.3);
        f.meanderWave = r.Uniform(6, 14);
        f.meanderPhase = r.Uniform(0, 2 * kPi);
        bool bottom = r.Chance(0.12);

        double visibleFrom = 0, visibleTo = -1;
        for (int attempt = 0; attempt < 8 && visibleTo < visibleFrom; ++attempt) {
            if (attempt > 0) bottom = false;
            const double clearance = 0.3 * f.bodyHeight * f.build + f.meanderAmp + 0.2;
            const auto sidePoint = [&](bool left, double lo, double hi, double& x, double& z) {
                z = camera.DepthAtRow(r.Uniform(lo, hi) * H);
                x = (left ? -1 : 1) * (camera.HalfViewWidth(z) + clearance);
            };
            double ax, az, bx, bz;
            sidePoint(rightward, 0.44, bottom ? 0.75 : 1.02, ax, az);
            if (bottom) {
                // Close enough that even the head is below the frame.
                bz = 0.95 * camera.focal * (camera.mountHeight - f.bodyHeight) / (H + 2 - camera.horizon);
                bx = r.Uniform(-0.5, 0.5) * camera.HalfViewWidth(bz);
                if (r.Chance(0.5)) {
                    std::swap(ax, bx);
                    std::swap(az, bz);
                }
            } else {
                sidePoint(!rightward, 0.44, 1.02, bx, bz);
            }
            f.x0 = ax, f.z0 = az;
            f.length = std::hypot(bx - ax, bz - az);
            f.dirX = (bx - ax) / f.length, f.dirZ = (bz - az) / f.length;
            for (double d = 0; d <= f.length; d += 0.05) {
                f.PoseAt(camera, d, 1.0, pose);
                if (!Intersects(pose, camera)) continue;
                if (visibleTo < visibleFrom) visibleFrom = d;
                visibleTo = d;
            }
        }
        if (visibleTo < visibleFrom) visibleFrom = 0, visibleTo = f.length;  // not reached with the ranges above

        f.pauseFrames = 0;
        f.rampFrames = 0.6 * settings.fps;
        if (r.Chance(0.35)) {
            f.pauseAt = visibleFrom + r.Uniform(0.2, 0.8) * (visibleTo - visibleFrom);
            f.pauseFrames = r.Uniform(2.0, 6.0) * settings.fps;
        }

        // Where the path passes the crossing column (the column changes
        // monotonically along a straight path); a path that never does, or
        // does out of view, is timed by the middle of its time in view.
        const auto column = [&](double d) { return camera.Column(f.x0 + f.dirX * d, f.z0 + f.dirZ * d); };
        double cross = (visibleFrom + visibleTo) / 2;
        double lo = visibleFrom, hi = visibleTo;
        if ((column(lo) - crossColumn) * (column(hi) - crossColumn) <= 0) {
            const bool rising = column(hi) >= column(lo);
            for (int i = 0; i < 60; ++i) {
                const double mid = (lo + hi) / 2;
                if ((column(mid) < crossColumn) == rising)
                    lo = mid;
                else
                    hi = mid;
            }
            cross = (lo + hi) / 2;
        }
        const double offset = cross / f.speed + (f.pauseFrames > 0 && cross > f.pauseAt ? f.pauseFrames : 0.0);
        f.start = crossFrame - offset;

        // Clothes; some close to the background behind them.
        f.skin = SkinColour(r);
        f.hair = HairColour(r);
        f.shoes = r.Chance(0.15) ? Jitter(Grey(222), r, 12) : Jitter(Grey(r.Uniform(20, 60)), r, 5);
        f.shirt = ShirtColour(r);
        f.trousers = TrousersColour(r);
        if (k == forcedBlend || r.Chance(0.2)) {
            f.PoseAt(camera, cross, 1.0, pose);
            const double h = pose.maxY - pose.minY;
            const Rgb around = BackgroundAround(background, settings, (pose.minX + pose.maxX) / 2, pose.minY + 0.4 * h,
                                                std::max(2.0, 0.08 * h));
            f.shirt = Jitter(around, r, 14);
            const float dim = static_cast<float>(r.Uniform(0.8, 1.0));
            f.trousers = Jitter({around.r * dim, around.g * dim, around.b * dim}, r, 14);
        }
    }

    // The last two walk together: the second keeps beside the first, a
    // little ahead along the way and a little farther from the camera, in
    // its own clothes and at its own height and gait.
    if (settings.sideBySide && n >= 2) {
        const Figure& first = figures[n - 2];
        Figure& second = figures[n - 1];
        const double sideX = -first.dirZ, sideZ = first.dirX;  // across the way
        const double away = sideZ >= 0 ? 1.0 : -1.0;
        second.x0 = first.x0 + kAbreast * first.dirX + away * kAbreastDepth * sideX;
        second.z0 = first.z0 + kAbreast * first.dirZ + away * kAbreastDepth * sideZ;
        second.dirX = first.dirX, second.dirZ = first.dirZ, second.length = first.length;
        second.speed = first.speed, second.start = first.start;
        second.pauseAt = first.pauseAt, second.pauseFrames = first.pauseFrames, second.rampFrames = first.rampFrames;
        second.meanderAmp = first.meanderAmp, second.meanderWave = first.meanderWave;
        second.meanderPhase = first.meanderPhase;
        second.stride = second.bodyHeight * first.stride / first.bodyHeight;
    }
}

// Cars drive across behind the walkers, each at its own depth, pace and
// colour, their crossings spread over the scene.
void Generator::Impl::PlanTraffic()
{
    Random r(Mix(settings.seed ^ kTrafficStream));
    vehicles.resize(settings.vehicles);
    for (uint32_t k = 0; k < settings.vehicles; ++k) {
        Vehicle& v = vehicles[k];
        v.depth = r.Uniform(0.6, 0.85) * kWallDepth;
        const double rightward = r.Chance(0.5) ? 1.0 : -1.0;
        v.speed = rightward * r.Uniform(2.5, 6.0) / settings.fps;
        const double reach = camera.HalfViewWidth(v.depth) + 0.6 * kCarLength;
        v.x0 = -rightward * reach;
        const double crossFrames = 2 * reach / std::abs(v.speed);
        const double slot = static_cast<double>(settings.frames) / settings.vehicles;
        v.start = slot * (k + r.Uniform(0.1, 0.9)) - crossFrames / 2;
        v.paint = Hsv(r.Uniform(0, 6), r.Uniform(0.05, 0.6), r.Uniform(0.3, 0.9));
        v.glass = Jitter(Grey(45), r, 6);
        v.tyres = Jitter(Grey(25), r, 4);
    }
}

void Generator::Impl::WorkOutTruth()
{
    const uint32_t frames = settings.frames;
    // Frames each figure may be on, bucketed by frame.
    std::vector<size_t> count(frames + 1, 0);
    const auto span = [&](const Figure& f, int64_t& first, int64_t& last) {
        first = std::max<int64_t>(0, static_cast<int64_t>(std::ceil(std::max(-1.0, f.FirstFrame()))));
        last = std::min<int64_t>(frames - 1, static_cast<int64_t>(std::floor(std::min<double>(frames, f.LastFrame()))));
    };
    for (const Figure& f : figures) {
        int64_t first, last;
        span(f, first, last);
        for (int64_t t = first; t <= last; ++t) ++count[static_cast<size_t>(t) + 1];
    }
    for (uint32_t t = 0; t < frames; ++t) count[t + 1] += count[t];
    std::vector<uint32_t> candidates(count[frames]);
    {
        std::vector<size_t> fill(count.begin(), count.end() - 1);
        for (uint32_t i = 0; i < figures.size(); ++i) {
            int64_t first, last;
            span(figures[i], first, last);
            for (int64_t t = first; t <= last; ++t) candidates[fill[static_cast<size_t>(t)]++] = i;
        }
    }

    struct Seen {
        uint32_t figure;
        Pose pose;
    };
    std::vector<Seen> seen;
    truth.assign(frames, {});
    drawStart.assign(frames + 1, 0);
    std::vector<int64_t> firstSeen(figures.size(), std::numeric_limits<int64_t>::max());
    for (uint32_t t = 0; t < frames; ++t) {
        seen.clear();
        for (size_t c = count[t]; c < count[t + 1]; ++c) {
            const uint32_t i = candidates[c];
            double distance = 0, gait = 0;
            if (!figures[i].At(t, distance, gait)) continue;
            seen.push_back({i, {}});
            figures[i].PoseAt(camera, distance, gait, seen.back().pose);
            if (!Intersects(seen.back().pose, camera)) seen.pop_back();
        }
        std::sort(seen.begin(), seen.end(), [](const Seen& a, const Seen& b) {
            return a.pose.depth != b.pose.depth ? a.pose.depth > b.pose.depth : a.figure < b.figure;
        });
        for (size_t k = 0; k < seen.size(); ++k) {
            const Pose& p = seen[k].pose;
            // Sample the silhouette on a grid of about 32 rows.
            const double step = std::max(1.0, (p.maxY - p.minY) / 32.0);
            uint64_t all = 0, inside = 0, visible = 0;
            for (double y = p.minY + step / 2; y < p.maxY; y += step)
                for (double x = p.minX + step / 2; x < p.maxX; x += step) {
                    if (!p.Inside(x, y)) continue;
                    ++all;
                    if (x < 0 || y < 0 || x >= camera.width || y >= camera.height) continue;
                    ++inside;
                    bool hidden = false;
                    for (size_t j = k + 1; j < seen.size() && !hidden; ++j) hidden = seen[j].pose.Inside(x, y);
                    if (!hidden) ++visible;
                }
            Truth truthOf;
            truthOf.id = static_cast<int32_t>(seen[k].figure);
            const double x0 = std::max(0.0, p.minX), y0 = std::max(0.0, p.minY);
            truthOf.box = {x0, y0, std::min(camera.width, p.maxX) - x0, std::min(camera.height, p.maxY) - y0};
            truthOf.visibility = all ? static_cast<double>(visible) / all : 0.0;
            truthOf.inFrame = all ? static_cast<double>(inside) / all : 0.0;
            truth[t].push_back(truthOf);
            drawOrder.push_back(seen[k].figure);
            firstSeen[seen[k].figure] = std::min<int64_t>(firstSeen[seen[k].figure], t);
        }
        drawStart[t + 1] = drawOrder.size();
    }

    // Number the figures by first appearance.
    std::vector<uint32_t> byAppearance(figures.size());
    for (uint32_t i = 0; i < byAppearance.size(); ++i) byAppearance[i] = i;
    std::stable_sort(byAppearance.begin(), byAppearance.end(),
                     [&](uint32_t a, uint32_t b) { return firstSeen[a] < firstSeen[b]; });
    std::vector<uint32_t> rank(figures.size());
    std::vector<Figure> renumbered(figures.size());
    for (uint32_t k = 0; k < byAppearance.size(); ++k) {
        rank[byAppearance[k]] = k;
        renumbered[k] = figures[byAppearance[k]];
        renumbered[k].id = static_cast<int32_t>(k + 1);
    }
    figures = std::move(renumbered);
    for (uint32_t& i : drawOrder) i = rank[i];
    for (auto& list : truth) {
        for (Truth& item : list) item.id = static_cast<int32_t>(rank[static_cast<uint32_t>(item.id)] + 1);
        std::sort(list.begin(), list.end(), [](const Truth& a, const Truth& b) { return a.id < b.id; });
        list.shrink_to_fit();
    }

    vehicleBoxes.assign(frames, {});
    Pose pose;
    for (uint32_t t = 0; t < frames && !vehicles.empty(); ++t)
        for (const Vehicle& v : vehicles) {
            v.PoseAt(camera, t, pose);
            if (!Intersects(pose, camera)) continue;
            const double x0 = std::max(0.0, pose.minX), y0 = std::max(0.0, pose.minY);
            vehicleBoxes[t].push_back(
                {x0, y0, std::min(camera.width, pose.maxX) - x0, std::min(camera.height, pose.maxY) - y0});
        }
}

namespace {

void DrawShadow(const Pose& pose, uint32_t width, uint32_t height, uint8_t* rgb, size_t stride)
{
    const auto lo = [](double v, uint32_t n) {
        return static_cast<uint32_t>(std::clamp(std::floor(v), 0.0, double(n)));
    };
    const auto hi = [](double v, uint32_t n) {
        return static_cast<uint32_t>(std::clamp(std::ceil(v), 0.0, double(n)));
    };
    const uint32_t x0 = lo(pose.shadowX - pose.shadowRx, width), x1 = hi(pose.shadowX + pose.shadowRx, width);
    const uint32_t y0 = lo(pose.shadowY - pose.shadowRy, height), y1 = hi(pose.shadowY + pose.shadowRy, height);
    for (uint32_t y = y0; y < y1; ++y) {
        uint8_t* row = rgb + y * stride;
        const double qy = (y + 0.5 - pose.shadowY) / pose.shadowRy;
        for (uint32_t x = x0; x < x1; ++x) {
            const double qx = (x + 0.5 - pose.shadowX) / pose.shadowRx;
            const double q = qx * qx + qy * qy;
            if (q >= 1) continue;
            const auto k = static_cast<float>(1.0 - 0.3 * (1.0 - q));
            for (int c = 0; c < 3; ++c) row[x * 3 + c] = static_cast<uint8_t>(row[x * 3 + c] * k + 0.5f);
        }
    }
}

void DrawPart(const Primitive& p, uint32_t width, uint32_t height, uint8_t* rgb, size_t stride)
{
    const auto lo = [](double v, uint32_t n) {
        return static_cast<uint32_t>(std::clamp(std::floor(v), 0.0, double(n)));
    };
    const auto hi = [](double v, uint32_t n) {
        return static_cast<uint32_t>(std::clamp(std::ceil(v), 0.0, double(n)));
    };
    const uint32_t x0 = lo(p.minX - 1, width), x1 = hi(p.maxX + 1, width);
    const uint32_t y0 = lo(p.minY - 1, height), y1 = hi(p.maxY + 1, height);
    const float colour[3] = {p.colour.r, p.colour.g, p.colour.b};
    for (uint32_t y = y0; y < y1; ++y) {
        uint8_t* row = rgb + y * stride;
        for (uint32_t x = x0; x < x1; ++x) {
            double across = 0;
            const double d = p.Distance(x + 0.5, y + 0.5, across);
            if (d >= 0.5) continue;
            // Antialiased edge, and rounded shading across limbs and body.
            const auto cover = static_cast<float>(std::min(1.0, 0.5 - d));
            const double a = std::min(1.0, across);
            const auto shade = static_cast<float>(1.04 - 0.3 * a * a);
            uint8_t* px = row + x * 3;
            for (int c = 0; c < 3; ++c) {
                const float v = px[c] + cover * (std::min(255.0f, colour[c] * shade) - px[c]);
                px[c] = static_cast<uint8_t>(std::clamp(v, 0.0f, 255.0f) + 0.5f);
            }
        }
    }
}

}  // namespace

void Generator::Impl::Draw(uint32_t frame, uint8_t* rgb, size_t stride) const
{
    const size_t rowBytes = static_cast<size_t>(settings.width) * 3;
    for (uint32_t y = 0; y < settings.height; ++y) std::memcpy(rgb + y * stride, &background[y * rowBytes], rowBytes);

    // Cars drive behind the walkers.
    Pose pose;
    for (const Vehicle& v : vehicles) {
        v.PoseAt(camera, frame, pose);
        if (!Intersects(pose, camera)) continue;
        DrawShadow(pose, settings.width, settings.height, rgb, stride);
        for (size_t i = 0; i < pose.count; ++i) DrawPart(pose.parts[i], settings.width, settings.height, rgb, stride);
    }
    const size_t first = drawStart[frame], last = drawStart[frame + 1];
    for (size_t k = first; k < last; ++k) {
        PoseAtFrame(drawOrder[k], frame, pose);
        DrawShadow(pose, settings.width, settings.height, rgb, stride);
    }
    for (size_t k = first; k < last; ++k) {
        PoseAtFrame(drawOrder[k], frame, pose);
        for (size_t i = 0; i < pose.count; ++i) DrawPart(pose.parts[i], settings.width, settings.height, rgb, stride);
    }

    if (noise.empty()) return;
    // Sensor noise: hashed from (seed, frame, row, position), four samples a hash.
    const uint64_t frameKey = Mix(settings.seed ^ Mix(kNoiseStream + frame));
    for (uint32_t y = 0; y < settings.height; ++y) {
        uint8_t* row = rgb + y * stride;
        const uint64_t rowKey = Mix(frameKey + y);
        size_t i = 0;
        for (uint64_t block = 0; i < rowBytes; ++block) {
            uint64_t bits = Mix(rowKey + block);
            for (int s = 0; s < 4 && i < rowBytes; ++s, ++i, bits >>= 16) {
                const int v = row[i] + noise[bits & 0xffff];
                row[i] = static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
            }
        }
    }
}

Generator::Generator(const Settings& settings) : impl_(std::make_unique<const Impl>(settings)) {}
Generator::~Generator() = default;
Generator::Generator(Generator&&) noexcept = default;
Generator& Generator::operator=(Generator&&) noexcept = default;

const Settings& Generator::settings() const
{
    return impl_->settings;
}

uint32_t Generator::FrameCount() const
{
    return impl_->settings.frames;
}

void Generator::Render(uint32_t frame, std::vector<uint8_t>& rgb) const
{
    if (frame >= impl_->settings.frames)
        throw std::out_of_range("Scene: frame " + std::to_string(frame) + " is past the end");
    const size_t rowBytes = static_cast<size_t>(impl_->settings.width) * 3;
    rgb.resize(rowBytes * impl_->settings.height);
    impl_->Draw(frame, rgb.data(), rowBytes);
}

void Generator::Render(uint32_t frame, uint8_t* rgb, size_t stride) const
{
    if (frame >= impl_->settings.frames)
        throw std::out_of_range("Scene: frame " + std::to_string(frame) + " is past the end");
    if (rgb == nullptr) throw std::invalid_argument("Scene: no buffer to render into");
    if (stride < static_cast<size_t>(impl_->settings.width) * 3)
        throw std::invalid_argument("Scene: the row stride is shorter than a row");
    impl_->Draw(frame, rgb, stride);
}

const std::vector<Truth>& Generator::TruthAt(uint32_t frame) const
{
    if (frame >= impl_->settings.frames)
        throw std::out_of_range("Scene: frame " + std::to_string(frame) + " is past the end");
    return impl_->truth[frame];
}

const std::vector<Box>& Generator::VehiclesAt(uint32_t frame) const
{
    if (frame >= impl_->settings.frames)
        throw std::out_of_range("Scene: frame " + std::to_string(frame) + " is past the end");
    return impl_->vehicleBoxes[frame];
}

uint64_t Generator::TimestampMs(uint32_t frame) const
{
    return static_cast<uint64_t>(std::llround(frame * 1000.0 / impl_->settings.fps));
}

}  // namespace Scene
