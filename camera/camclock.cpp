// The emulated camera's clock, with a 64-bit time_t: the camera's BusyBox
// has a 32-bit one and fails past January 2038.
//   camclock rtc           the system clock from the real-time clock
//   camclock step SECONDS  steps the system clock (negative: back), as NTP does
//   camclock show [FORMAT] the system clock in UTC, strftime FORMAT
//                          (default: seconds since the epoch and the date)
#include <errno.h>
#include <fcntl.h>
#include <linux/rtc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

static_assert(sizeof(time_t) >= 8, "the camera's clock runs past 2038");

static int fail(const char *what)
{
    fprintf(stderr, "camclock: %s: %s\n", what, strerror(errno));
    return 1;
}

static int fromRtc()
{
    int fd = open("/dev/rtc0", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return fail("/dev/rtc0");
    struct rtc_time rt;
    memset(&rt, 0, sizeof rt);
    int r = ioctl(fd, RTC_RD_TIME, &rt);
    int saved = errno;
    (void)close(fd);
    errno = saved;
    if (r != 0)
        return fail("reading the real-time clock");
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    tm.tm_sec = rt.tm_sec;
    tm.tm_min = rt.tm_min;
    tm.tm_hour = rt.tm_hour;
    tm.tm_mday = rt.tm_mday;
    tm.tm_mon = rt.tm_mon;
    tm.tm_year = rt.tm_year;
    struct timespec ts = {timegm(&tm), 0};
    return clock_settime(CLOCK_REALTIME, &ts) == 0 ? 0 : fail("setting the clock");
}

static int step(const char *text)
{
    char *end = nullptr;
    errno = 0;
    long long by = strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0') {
        fprintf(stderr, "camclock: '%s' is not a number of seconds\n", text);
        return 2;
    }
    struct timespec ts;
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0)
        return fail("reading the clock");
    ts.tv_sec += static_cast<time_t>(by);
    return clock_settime(CLOCK_REALTIME, &ts) == 0 ? 0 : fail("setting the clock");
}

static int show(const char *format)
{
    time_t now = time(nullptr);
    struct tm tm;
    char text[128];
    if (now == static_cast<time_t>(-1) || gmtime_r(&now, &tm) == nullptr)
        return fail("reading the clock");
    if (format == nullptr) {
        (void)strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
        printf("%lld %s\n", static_cast<long long>(now), text);
    } else {
        (void)strftime(text, sizeof text, format, &tm);
        printf("%s\n", text);
    }
    return 0;
}

int main(int argc, char **argv)
{
    if (argc == 2 && strcmp(argv[1], "rtc") == 0)
        return fromRtc();
    if (argc == 3 && strcmp(argv[1], "step") == 0)
        return step(argv[2]);
    if ((argc == 2 || argc == 3) && strcmp(argv[1], "show") == 0)
        return show(argc == 3 ? argv[2] : nullptr);
    fprintf(stderr, "usage: camclock rtc | step SECONDS | show [FORMAT]\n");
    return 2;
}
