#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <unistd.h>

#include <capture.h>

static void complain(const char *message)
{
    (void)!write(STDERR_FILENO, message, strlen(message));
}

// Every byte, or false: a truncated JPEG must not pass for a frame.
static bool writeAll(const unsigned char *data, size_t len)
{
    while (len > 0) {
        ssize_t n = write(STDOUT_FILENO, data, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

int main(int argc, char **argv)
{
    // Not outliving the program that started it.
    (void)prctl(PR_SET_PDEATHSIG, SIGTERM);
    // A reader that went away is a failed write, reported as such.
    (void)signal(SIGPIPE, SIG_IGN);

    const char *media_props = argc >= 2 && argv[1] != nullptr ? argv[1] : "";
    if (*media_props == '\0')
        media_props = "?";

    media_stream *stream = capture_open_stream("image/jpeg", media_props);
    if (stream == nullptr) {
        complain("Capturev2: stream null");
        return 1;
    }
    media_frame *frame = capture_get_frame(stream);
    if (frame == nullptr) {
        capture_close_stream(stream);
        complain("Capturev2: frame null");
        return 2;
    }
    ssize_t byteSize = static_cast<ssize_t>(capture_frame_size(frame));
    const unsigned char *data = static_cast<const unsigned char *>(capture_frame_data(frame));
    bool written = byteSize >= 0 && (byteSize == 0 || data != nullptr) &&
                   writeAll(data, static_cast<size_t>(byteSize));
    capture_frame_free(frame);
    capture_close_stream(stream);
    if (!written) {
        complain("Capturev2: write failed");
        return 3;
    }
    return 0;
}
