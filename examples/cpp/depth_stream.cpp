// Streams depth frames for a few seconds and prints the frame rate, the
// frames dropped on the way and the distance at the centre of the image,
// as measured and through the default depth filters.
//
//     depth_stream [seconds]      (default 5; Ctrl-C ends it early)
//
// The camera is opened over USB; on a machine without a module, and with the
// simulated modules installed, that is a simulated module streaming a known
// scene.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <camera/QuorvexFrameBuffer.h>
#include <camera/QuorvexTOFCamera.h>
#include <filters/FilterChain.h>

namespace {

volatile sig_atomic_t interrupted = 0;

void onInterrupt(int)
{
    interrupted = 1;
}

// Median of the last intervals between frame timestamps: the frame period,
// robust against the very gaps it is used to find.
class PeriodEstimate {
public:
    void add(uint64_t interval)
    {
        recent[count % recent.size()] = interval;
        ++count;
    }
    uint64_t period() const
    {
        const size_t n = std::min(count, recent.size());
        std::array<uint64_t, 32> sorted = recent;
        std::nth_element(sorted.begin(), sorted.begin() + n / 2, sorted.begin() + n);
        return sorted[n / 2];
    }

private:
    std::array<uint64_t, 32> recent{};
    size_t count = 0;
};

double monotonicSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

} // namespace

int main(int argc, char** argv)
{
    using namespace Quorvex;
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;

    // Ctrl-C only raises a flag: the loop below notices it within one
    // request time-out and stops the stream properly.
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    QuorvexTOFCamera camera;
    TofErrorCode status = camera.open(Connection::USB, 0);
    if (status != QuorvexSuccess) {
        std::fprintf(stderr, "open failed: %s\n", to_str(status));
        return 1;
    }
    const CameraInfo info = camera.getCameraInfo();
    std::printf("opened %s module, %u x %u\n", info.device_type == HQVGA ? "HQVGA" : "VGA",
                static_cast<unsigned>(info.width), static_cast<unsigned>(info.height));

    status = camera.start(FrameType::DEPTH);
    if (status != QuorvexSuccess) {
        std::fprintf(stderr, "start failed: %s\n", to_str(status));
        camera.close();
        return 1;
    }

    // The filters judge aliasing by the range in force.
    int range = 4000;
    camera.getControl(CameraCtrl::RANGE, &range);
    // One chain for this stream: it keeps the stream's temporal average.
    // The filtered plane is ours; the frame's own planes are only read.
    FilterChain filters;
    std::vector<float> filtered;
    float filteredCentre = 0.0f;

    // The frame timestamps tell drops apart from a slow loop: a gap of n
    // frame periods means n - 1 frames were lost before we asked for them.
    PeriodEstimate periods;
    uint64_t lastStamp = 0;
    long frames = 0;
    long dropped = 0;
    float centre = 0.0f;
    double rate = 0.0;
    // On a terminal the progress line is redrawn in place; into a file or a
    // pipe it is written as lines, at most twice a second.
    const bool terminal = isatty(STDOUT_FILENO);
    const double begin = monotonicSeconds();
    double firstFrame = 0.0;
    double lastShown = 0.0;
    for (;;) {
        const double now = monotonicSeconds();
        if (interrupted || now - begin >= seconds)
            break;

        QuorvexFrameBuffer* frame = camera.requestFrame(500);
        if (!frame)
            continue;
        const double arrived = monotonicSeconds();
        FrameDataFormat format{};
        const auto* depth = static_cast<const float*>(frame->getData(FrameType::DEPTH));
        if (depth && frame->getFormat(FrameType::DEPTH, format) == QuorvexSuccess) {
            const int w = format.width;
            const int h = format.height;
            centre = depth[(h / 2) * w + w / 2];
            const auto* amplitude = static_cast<const float*>(frame->getData(FrameType::AMPLITUDE));
            filtered.resize(static_cast<size_t>(w) * h); // allocates with the first frame only
            if (amplitude &&
                filters.apply({{depth, w, h}, {amplitude, w, h}, float(range)}, {filtered.data(), w, h}) ==
                    QuorvexSuccess)
                filteredCentre = filtered[(h / 2) * w + w / 2];
            if (frames > 0 && format.timestamp > lastStamp) {
                const uint64_t interval = format.timestamp - lastStamp;
                periods.add(interval);
                const uint64_t period = periods.period();
                if (period > 0)
                    dropped += std::max<long>(0, long((interval + period / 2) / period) - 1);
            }
            lastStamp = format.timestamp;
            // The rate counts from the first frame: frames already waiting
            // when the stream started would inflate it.
            if (++frames == 1)
                firstFrame = arrived;
            else if (arrived > firstFrame)
                rate = double(frames - 1) / (arrived - firstFrame);
        }
        // Frames are lent: every frame taken must be given back, or the
        // stream runs out of buffers.
        camera.releaseFrame(frame);

        if (terminal || now - lastShown >= 0.5) {
            std::printf("%sframes %5ld   fps %5.1f   dropped %4ld   centre %7.1f mm (filtered %7.1f)%s",
                        terminal ? "\r" : "", frames, rate, dropped, double(centre), double(filteredCentre),
                        terminal ? "" : "\n");
            std::fflush(stdout);
            lastShown = now;
        }
    }
    if (terminal)
        std::printf("\n");

    camera.stop();
    camera.close();
    if (frames == 0) {
        std::fprintf(stderr, "no frame arrived\n");
        return 1;
    }
    std::printf("%ld frames, %.1f fps, %ld dropped, centre distance %.1f mm (filtered %.1f mm)%s\n", frames, rate,
                dropped, double(centre), double(filteredCentre), interrupted ? " (interrupted)" : "");
    return 0;
}
