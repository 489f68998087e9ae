// Stand-in for the camera platform's capture library: a simulated camera
// that serves a frame file byte for byte, or a generated test picture.

#include "capture.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <turbojpeg.h>

#include "scenario.h"

using namespace simcam;

struct _media_stream {
    std::string props;
};

struct _media_frame {
    std::vector<unsigned char> bytes; // a generated picture
    void *mapped = nullptr;           // or the frame file, mapped
    size_t mappedSize = 0;
    const unsigned char *data() const
    {
        return mapped != nullptr ? static_cast<const unsigned char *>(mapped) : bytes.data();
    }
    size_t size() const { return mapped != nullptr ? mappedSize : bytes.size(); }
};

namespace {

const char kJournal[] = "SIMCAM_CAPTURE_JOURNAL";

struct Camera {
    Scenario scenario{"SIMCAM_CAPTURE_SCENARIO", {"open", "frame", "frame_delay_ms"}};
    Outcomes open{scenario.get("open", "ok")};
    Outcomes frame{scenario.get("frame", "ok")};
    long delayMs = atol(scenario.get("frame_delay_ms", "0").c_str());
    bool reported = false;

    Camera()
    {
        scenario.checkOutcomes("open", {"ok", "fail"});
        scenario.checkOutcomes("frame", {"ok", "none"});
    }
};

Camera &camera()
{
    static Camera c;
    return c;
}

bool scenarioUsable()
{
    Camera &c = camera();
    if (!c.scenario.valid() && !c.reported) {
        fprintf(stderr, "simcam capture: %s\n", c.scenario.error().c_str());
        c.reported = true;
    }
    return c.scenario.valid();
}

void resolution(const std::string &props, int *w, int *h)
{
    *w = 640;
    *h = 480;
    for (const std::string &kv : splitTrimmed(props, '&')) {
        int rw = 0, rh = 0;
        char tail = 0;
        if (sscanf(kv.c_str(), "resolution=%dx%d%c", &rw, &rh, &tail) == 2 && rw > 0 && rh > 0 &&
            rw <= 8192 && rh <= 8192) {
            *w = rw;
            *h = rh;
        }
    }
}

// Colour bars, with a band that moves with the time so frames differ.
std::vector<unsigned char> testPicture(int w, int h)
{
    static const unsigned char bars[8][3] = {{235, 235, 235}, {235, 235, 16}, {16, 235, 235},
                                             {16, 235, 16},   {235, 16, 235}, {235, 16, 16},
                                             {16, 16, 235},   {16, 16, 16}};
    std::vector<unsigned char> rgb(static_cast<size_t>(w) * h * 3);
    int band = static_cast<int>(time(nullptr) % h);
    for (int y = 0; y < h; y++) {
        for (int x = 0; x < w; x++) {
            unsigned char *p = &rgb[(static_cast<size_t>(y) * w + x) * 3];
            const unsigned char *c = bars[x * 8 / w];
            bool inBand = y >= band && y < band + h / 16 + 1;
            for (int i = 0; i < 3; i++)
                p[i] = inBand ? static_cast<unsigned char>(255 - c[i]) : c[i];
        }
    }
    tjhandle tj = tjInitCompress();
    unsigned char *jpeg = nullptr;
    unsigned long size = 0;
    std::vector<unsigned char> out;
    if (tj != nullptr && tjCompress2(tj, rgb.data(), w, 0, h, TJPF_RGB, &jpeg, &size, TJSAMP_420, 85, 0) == 0)
        out.assign(jpeg, jpeg + size);
    tjFree(jpeg);
    if (tj != nullptr)
        tjDestroy(tj);
    return out;
}

// The frame file is served from the page cache as it stands: no copy.
bool mapWhole(const char *path, media_frame *frame)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0;
    if (ok && st.st_size > 0) {
        void *p = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
        ok = p != MAP_FAILED;
        if (ok) {
            frame->mapped = p;
            frame->mappedSize = static_cast<size_t>(st.st_size);
        }
    }
    close(fd);
    return ok;
}

} // namespace

media_stream *capture_open_stream(const char *media_type, const char *media_props)
{
    Camera &c = camera();
    bool ok = scenarioUsable() && parseOutcome(c.open.take()).kind == Outcome::Ok;
    JournalLine("capture_open_stream")
        .str("media_type", media_type != nullptr ? media_type : "")
        .str("media_props", media_props != nullptr ? media_props : "")
        .boolean("result", ok).write(kJournal);
    if (!ok)
        return nullptr;
    return new media_stream{media_props != nullptr ? media_props : ""};
}

media_frame *capture_get_frame(media_stream *stream)
{
    Camera &c = camera();
    if (c.delayMs > 0)
        usleep(static_cast<useconds_t>(c.delayMs) * 1000);
    Outcome o = parseOutcome(c.frame.take());
    media_frame *frame = nullptr;
    if (stream != nullptr && o.kind == Outcome::Ok) {
        frame = new media_frame;
        const char *path = getenv("SIMCAM_CAPTURE_FRAME");
        if (path != nullptr && *path != '\0') {
            // A frame file that can't be read is no frame, not an empty one.
            if (!mapWhole(path, frame)) {
                fprintf(stderr, "simcam capture: cannot read SIMCAM_CAPTURE_FRAME %s\n", path);
                delete frame;
                frame = nullptr;
            }
        } else {
            int w, h;
            resolution(stream->props, &w, &h);
            frame->bytes = testPicture(w, h);
        }
    }
    JournalLine line("capture_get_frame");
    line.boolean("result", frame != nullptr);
    if (frame != nullptr)
        line.num("size", static_cast<long long>(frame->size()));
    line.write(kJournal);
    return frame;
}

size_t capture_frame_size(media_frame *frame)
{
    size_t size = frame != nullptr ? frame->size() : 0;
    JournalLine("capture_frame_size").num("size", static_cast<long long>(size)).write(kJournal);
    return size;
}

void *capture_frame_data(media_frame *frame)
{
    JournalLine("capture_frame_data").boolean("result", frame != nullptr).write(kJournal);
    return frame != nullptr ? const_cast<unsigned char *>(frame->data()) : nullptr;
}

void capture_frame_free(media_frame *frame)
{
    JournalLine("capture_frame_free").write(kJournal);
    if (frame != nullptr && frame->mapped != nullptr)
        munmap(frame->mapped, frame->mappedSize);
    delete frame;
}

void capture_close_stream(media_stream *stream)
{
    JournalLine("capture_close_stream").write(kJournal);
    delete stream;
}
