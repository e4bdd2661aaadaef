#include "vendor/libquorvex_evk_sdk/EvkConfig.h"

#include <cerrno>
#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvex_evk {

namespace {

std::string trim(const std::string& s)
{
    const char* ws = " \t\r";
    const size_t b = s.find_first_not_of(ws);
    if (b == std::string::npos)
        return {};
    return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

bool parseUnsigned(const std::string& v, uint64_t max, uint64_t& out)
{
    if (v.empty() || v[0] < '0' || v[0] > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long n = std::strtoull(v.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || n > max)
        return false;
    out = n;
    return true;
}

bool parseNumber(const std::string& v, double lo, double hi, double& out)
{
    if (v.empty())
        return false;
    char* end = nullptr;
    const double d = std::strtod(v.c_str(), &end);
    if (*end != '\0' || !std::isfinite(d) || d < lo || d > hi)
        return false;
    out = d;
    return true;
}

bool parseBool(const std::string& v, bool& out)
{
    if (v == "yes" || v == "true" || v == "1" || v == "on") {
        out = true;
        return true;
    }
    if (v == "no" || v == "false" || v == "0" || v == "off") {
        out = false;
        return true;
    }
    return false;
}

// Comma- or space-separated unsigned numbers; `minimum` excludes 0 for
// capture numbers.
bool parseList(const std::string& v, uint64_t minimum, std::vector<uint64_t>& out)
{
    std::string text = v;
    for (char& c : text)
        if (c == ',')
            c = ' ';
    std::istringstream in(text);
    std::string item;
    out.clear();
    while (in >> item) {
        uint64_t n = 0;
        if (!parseUnsigned(item, UINT64_MAX, n) || n < minimum)
            return false;
        out.push_back(n);
    }
    return !out.empty();
}

// One key's parser: returns the expected form of the value on failure.
using Setter = const char* (*)(const std::string& value, ModuleConfig& c);

#define EXPECT(cond, what) \
    do {                   \
        if (!(cond))       \
            return what;   \
    } while (0)

const std::map<std::string, Setter>& setters()
{
    static const std::map<std::string, Setter> table = {
        {"variant",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(v == "hqvga" || v == "vga", "expected hqvga or vga");
             c.variant = v == "vga" ? Variant::VGA : Variant::HQVGA;
             return nullptr;
         }},
        {"width",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             uint64_t n = 0;
             EXPECT(parseUnsigned(v, 4096, n), "expected a width in pixels");
             c.width = static_cast<uint32_t>(n);
             return nullptr;
         }},
        {"height",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             uint64_t n = 0;
             EXPECT(parseUnsigned(v, 4096, n), "expected a height in rows");
             c.height = static_cast<uint32_t>(n);
             return nullptr;
         }},
        {"fps",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             uint64_t n = 0;
             EXPECT(parseUnsigned(v, 1000, n), "expected 0 (unpaced) to 1000 frames per second");
             c.fps = static_cast<uint32_t>(n);
             return nullptr;
         }},
        {"frequency",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(v == "single" || v == "dual", "expected single or dual");
             c.dualFrequency = v == "dual";
             return nullptr;
         }},
        {"scene",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             if (v == "wall")
                 c.scene = SceneChoice::WALL;
             else if (v == "flat")
                 c.scene = SceneChoice::FLAT;
             else if (v == "sphere")
                 c.scene = SceneChoice::SPHERE;
             else if (v == "box")
                 c.scene = SceneChoice::BOX;
             else if (v == "corner")
                 c.scene = SceneChoice::CORNER;
             else if (v == "steps")
                 c.scene = SceneChoice::STEPS;
             else if (v == "checkerboard")
                 c.scene = SceneChoice::CHECKERBOARD;
             else if (v == "pattern")
                 c.scene = SceneChoice::PATTERN;
             else
                 return "expected wall, flat, sphere, box, corner, steps, checkerboard or pattern";
             return nullptr;
         }},
        {"board",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             const size_t x = v.find('x');
             uint64_t cols = 0, rows = 0;
             EXPECT(x != std::string::npos && parseUnsigned(v.substr(0, x), 40, cols) &&
                        parseUnsigned(v.substr(x + 1), 40, rows) && cols >= 3 && rows >= 3,
                    "expected COLSxROWS inner corners, each 3 to 40, e.g. 9x6");
             c.boardCols = static_cast<int>(cols);
             c.boardRows = static_cast<int>(rows);
             return nullptr;
         }},
        {"board_square_mm",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(parseNumber(v, 5.0, 200.0, c.boardSquareMm), "expected 5 to 200 millimetres");
             return nullptr;
         }},
        {"lens_fx",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(parseNumber(v, 1.0, 100000.0, c.lens.fx), "expected a focal length of 1 to 100000 pixels");
             return nullptr;
         }},
        {"lens_fy",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(parseNumber(v, 1.0, 100000.0, c.lens.fy), "expected a focal length of 1 to 100000 pixels");
             return nullptr;
         }},
        {"lens_cx",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(parseNumber(v, -100000.0, 100000.0, c.lens.cx), "expected a column in pixels");
             return nullptr;
         }},
        {"lens_cy",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(parseNumber(v, -100000.0, 100000.0, c.lens.cy), "expected a row in pixels");
             return nullptr;
         }},
        {"lens_k1",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(parseNumber(v, -10.0, 10.0, c.lens.k1), "expected a coefficient from -10 to 10");
             return nullptr;
         }},
        {"lens_k2",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(parseNumber(v, -10.0, 10.0, c.lens.k2), "expected a coefficient from -10 to 10");
             return nullptr;
         }},
        {"lens_p1",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(parseNumber(v, -1.0, 1.0, c.lens.p1), "expected a coefficient from -1 to 1");
             return nullptr;
         }},
        {"lens_p2",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(parseNumber(v, -1.0, 1.0, c.lens.p2), "expected a coefficient from -1 to 1");
             return nullptr;
         }},
        {"lens_k3",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(parseNumber(v, -10.0, 10.0, c.lens.k3), "expected a coefficient from -10 to 10");
             return nullptr;
         }},
        {"distance",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(parseNumber(v, 200.0, 20000.0, c.distanceMm), "expected 200 to 20000 millimetres");
             return nullptr;
         }},
        {"motion",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(parseNumber(v, -1000.0, 1000.0, c.motionMm),
                    "expected -1000 to 1000 millimetres per frame");
             return nullptr;
         }},
        {"motion_period",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             uint64_t n = 0;
             EXPECT(parseUnsigned(v, 100000, n) && n > 0, "expected 1 to 100000 frames");
             c.motionPeriod = static_cast<uint32_t>(n);
             return nullptr;
         }},
        {"motion_direction",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(v == "away" || v == "right", "expected away or right");
             c.motionDirection = v == "right" ? Quorvex::sim::MotionDirection::RIGHT
                                              : Quorvex::sim::MotionDirection::AWAY;
             return nullptr;
         }},
        {"physics",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(v == "ideal" || v == "realistic", "expected ideal or realistic");
             c.physics.realistic = v == "realistic";
             return nullptr;
         }},
        {"supersample",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             uint64_t n = 0;
             EXPECT(parseUnsigned(v, 16, n) && n >= 1, "expected 1 to 16 sub-rays per pixel side");
             c.physics.supersample = static_cast<int>(n);
             return nullptr;
         }},
        {"shot_noise",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(parseBool(v, c.physics.shotNoise), "expected yes or no");
             return nullptr;
         }},
        {"read_noise",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(parseNumber(v, 0.0, 100000.0, c.physics.readNoiseE),
                    "expected 0 to 100000 electrons rms per sample");
             return nullptr;
         }},
        {"ambient",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(parseNumber(v, 0.0, 1e7, c.physics.ambientE), "expected 0 to 10000000 electrons per sample");
             return nullptr;
         }},
        {"full_well",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(parseNumber(v, 1000.0, 1e7, c.physics.fullWellE), "expected 1000 to 10000000 electrons");
             return nullptr;
         }},
        {"multipath",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(parseBool(v, c.physics.multipath), "expected yes or no");
             return nullptr;
         }},
        {"subframe_motion",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(parseBool(v, c.physics.subframeMotion), "expected yes or no");
             return nullptr;
         }},
        {"noise",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(parseNumber(v, 0.0, 1000.0, c.noise), "expected 0 to 1000 sample units");
             return nullptr;
         }},
        {"seed",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(parseUnsigned(v, UINT64_MAX, c.seed), "expected an unsigned integer");
             return nullptr;
         }},
        {"bit_width",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             uint64_t n = 0;
             EXPECT(parseUnsigned(v, 16, n) && n >= 8, "expected 8 to 16 bits");
             c.bitWidth = static_cast<uint32_t>(n);
             return nullptr;
         }},
        {"bytes_per_sample",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(v == "1" || v == "2", "expected 1 or 2");
             c.bytesPerSample = v == "1" ? 1 : 2;
             return nullptr;
         }},
        {"clock_drift_ppm",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(parseNumber(v, -500.0, 500.0, c.clockDriftPpm), "expected -500 to 500 parts per million");
             return nullptr;
         }},
        {"latency_ms",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(parseNumber(v, 0.0, 1000.0, c.latencyMs), "expected 0 to 1000 milliseconds");
             return nullptr;
         }},
        {"latency_jitter_ms",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(parseNumber(v, 0.0, 1000.0, c.latencyJitterMs), "expected 0 to 1000 milliseconds");
             return nullptr;
         }},
        {"clock_truth",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(!v.empty(), "expected the path of a file to append to");
             c.clockTruth = v;
             return nullptr;
         }},
        {"timestamps",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(parseList(v, 0, c.timestamps), "expected a list of milliseconds");
             return nullptr;
         }},
        {"timeout_at",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(parseList(v, 1, c.timeoutAt), "expected a list of capture numbers from 1");
             return nullptr;
         }},
        {"wrong_size_at",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(parseList(v, 1, c.wrongSizeAt), "expected a list of capture numbers from 1");
             return nullptr;
         }},
        {"gap_at",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(parseList(v, 1, c.gapAt), "expected a list of capture numbers from 1");
             return nullptr;
         }},
        {"reset_at",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(parseList(v, 1, c.resetAt), "expected a list of capture numbers from 1");
             return nullptr;
         }},
        {"unplugged",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(parseBool(v, c.unplugged), "expected yes or no");
             return nullptr;
         }},
        {"unplug_after",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(parseUnsigned(v, UINT64_MAX, c.unplugAfter) && c.unplugAfter > 0,
                    "expected a capture count from 1");
             return nullptr;
         }},
        {"fail_init",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(parseBool(v, c.failInit), "expected yes or no");
             return nullptr;
         }},
        {"fail_start",
         [](const std::string& v, ModuleConfig& c) -> const char* {
             EXPECT(parseBool(v, c.failStart), "expected yes or no");
             return nullptr;
         }},
    };
    return table;
}

#undef EXPECT

// Text from the file as a message quotes it: cut to a length a terminal
// shows, bytes that are not printable written as \xNN.
std::string quoted(const std::string& text)
{
    constexpr size_t kShown = 60;
    std::string out;
    for (size_t i = 0; i < text.size() && i < kShown; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    if (text.size() > kShown)
        out += "... (" + std::to_string(text.size()) + " bytes)";
    return out;
}

std::string message(const std::string& name, size_t line, const std::string& key,
                    const std::string& what)
{
    std::ostringstream m;
    m << name << ":" << line << ": ";
    if (!key.empty())
        m << "key '" << quoted(key) << "': ";
    m << what;
    return m.str();
}

} // namespace

bool parseModuleConfig(const std::string& text, const std::string& name, ModuleConfig& out,
                       std::string& error)
{
    ModuleConfig c;
    std::map<std::string, size_t> lineOf;
    std::istringstream in(text);
    std::string raw;
    size_t lineNo = 0;
    while (std::getline(in, raw)) {
        ++lineNo;
        // A text file has none; read as text, a NUL would end the value
        // there and the rest of it would go unseen.
        if (raw.find('\0') != std::string::npos) {
            error = message(name, lineNo, "", "NUL byte in the line");
            return false;
        }
        const size_t hash = raw.find('#');
        const std::string line = trim(hash == std::string::npos ? raw : raw.substr(0, hash));
        if (line.empty())
            continue;
        const size_t eq = line.find('=');
        if (eq == std::string::npos) {
            error = message(name, lineNo, "", "expected 'key = value', got '" + quoted(line) + "'");
            return false;
        }
        const std::string key = trim(line.substr(0, eq));
        const std::string value = trim(line.substr(eq + 1));
        const auto it = setters().find(key);
        if (it == setters().end()) {
            error = message(name, lineNo, key, "unknown key");
            return false;
        }
        if (lineOf.count(key)) {
            error = message(name, lineNo, key,
                            "given twice (first on line " + std::to_string(lineOf[key]) + ")");
            return false;
        }
        lineOf[key] = lineNo;
        if (const char* what = it->second(value, c)) {
            error = message(name, lineNo, key, "bad value '" + quoted(value) + "': " + what);
            return false;
        }
    }

    // Checks across keys name the line of the key that does not fit.
    auto where = [&](const char* key) { return lineOf.count(key) ? lineOf[key] : lineNo; };
    if (c.variant == Variant::VGA && !lineOf.count("width") && !lineOf.count("height")) {
        c.width = 640;
        c.height = 480;
    }
    if (c.variant == Variant::HQVGA) {
        if (c.width != 240 || c.height != 180) {
            const char* key = c.width != 240 ? "width" : "height";
            error = message(name, where(key), key, "the HQVGA module is 240 x 180");
            return false;
        }
        if (c.dualFrequency) {
            error = message(name, where("frequency"), "frequency",
                            "the HQVGA module has one modulation frequency");
            return false;
        }
    } else {
        const bool full = c.width == 640 && c.height == 480;
        const bool half = c.width == 320 && c.height == 240;
        if (!full && !half) {
            const char* key = lineOf.count("height") && (c.width == 640 || c.width == 320) ? "height" : "width";
            error = message(name, where(key), key, "the VGA module is 640 x 480 or 320 x 240");
            return false;
        }
        if (c.bitWidth != 12 || c.bytesPerSample != 2) {
            const char* key = c.bitWidth != 12 ? "bit_width" : "bytes_per_sample";
            error = message(name, where(key), key,
                            "the VGA module delivers 12-bit samples in 2 bytes");
            return false;
        }
    }
    // A lens given in part keeps the nominal lens's other values.
    static const char* const kLensKeys[] = {"lens_fx", "lens_fy", "lens_cx", "lens_cy", "lens_k1",
                                            "lens_k2", "lens_p1", "lens_p2", "lens_k3"};
    for (const char* key : kLensKeys)
        c.hasLens = c.hasLens || lineOf.count(key) > 0;
    if (c.hasLens) {
        const Quorvex::sim::LensModel nominal =
            Quorvex::sim::nominalLens(static_cast<int>(c.width), static_cast<int>(c.height));
        if (!lineOf.count("lens_fx"))
            c.lens.fx = nominal.fx;
        if (!lineOf.count("lens_fy"))
            c.lens.fy = nominal.fy;
        if (!lineOf.count("lens_cx"))
            c.lens.cx = nominal.cx;
        if (!lineOf.count("lens_cy"))
            c.lens.cy = nominal.cy;
        // A distortion that folds the image over shows some rays twice and
        // others never: no lens does that within its own image.
        const double w = c.width - 1.0, h = c.height - 1.0;
        const double edges[][2] = {{0, 0}, {w, 0}, {0, h}, {w, h}, {w / 2, 0}, {w / 2, h}, {0, h / 2}, {w, h / 2}};
        for (const auto& e : edges) {
            double dir[3];
            if (!c.lens.ray(e[0], e[1], dir)) {
                const char* key = nullptr;
                for (const char* k : {"lens_k3", "lens_k2", "lens_k1", "lens_p2", "lens_p1"})
                    if (!key && lineOf.count(k))
                        key = k;
                key = key ? key : "lens_fx";
                error = message(name, lineOf[key], key,
                                "the lens's distortion folds the image over at its edge: no ray reaches "
                                "pixel (" + std::to_string(static_cast<int>(e[0])) + ", " +
                                    std::to_string(static_cast<int>(e[1])) + ")");
                return false;
            }
        }
    }
    if (c.scene != SceneChoice::CHECKERBOARD) {
        for (const char* key : {"board", "board_square_mm"}) {
            if (lineOf.count(key)) {
                error = message(name, lineOf[key], key, "applies to scene = checkerboard only");
                return false;
            }
        }
    }
    // Keys of the other world would be silently ignored: refuse them.
    if (!c.physics.realistic) {
        for (const char* key : {"supersample", "shot_noise", "read_noise", "ambient", "full_well", "multipath",
                                "subframe_motion"}) {
            if (lineOf.count(key)) {
                error = message(name, lineOf[key], key, "applies to physics = realistic only");
                return false;
            }
        }
        if (c.motionDirection == Quorvex::sim::MotionDirection::RIGHT) {
            error = message(name, lineOf["motion_direction"], "motion_direction",
                            "right applies to physics = realistic only");
            return false;
        }
    } else if (lineOf.count("noise")) {
        error = message(name, lineOf["noise"], "noise",
                        "applies to physics = ideal only; the realistic world's noise comes from shot_noise, "
                        "read_noise and ambient");
        return false;
    }
    if (c.bytesPerSample == 1 && c.bitWidth != 8) {
        error = message(name, where("bytes_per_sample"), "bytes_per_sample",
                        "1 byte per sample needs bit_width 8");
        return false;
    }
    out = c;
    return true;
}

bool loadModuleConfig(const char* path, ModuleConfig& out, std::string& error)
{
    struct stat st {};
    if (::stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
        error = std::string(path) + ": not a regular file";
        return false;
    }
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = std::string(path) + ": cannot open configuration file: " + std::strerror(errno);
        return false;
    }
    // Read to the end, every error noticed: a file that opens but cannot be
    // read must not pass for an empty configuration.
    std::string text;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0) {
            text.append(chunk, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int e = errno;
            ::close(fd);
            error = std::string(path) + ": cannot read configuration file: " + std::strerror(e);
            return false;
        }
        break;
    }
    ::close(fd);
    return parseModuleConfig(text, path, out, error);
}

} // namespace quorvex_evk
