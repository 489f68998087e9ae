// A spin of a known number of instructions, for the benchmark on the
// emulated camera: there the emulator counts instructions as its clock,
// so the camera's CPU ticks are instructions at a rate the kernel fixed at
// boot, and this measures that rate in the same boot.
//   benchspin MILLIONS   spins MILLIONS million instructions (to one loop's
//                        worth); prints "INSTRUCTIONS USER-TICKS SYSTEM-TICKS"
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/times.h>

// The loop is written out per architecture so that its length is fixed by
// the source, whatever the compiler does around it.
#if defined(__mips__)
// The branch's delay slot is an instruction of its own.
constexpr unsigned kPerIteration = 3;
static void spin(unsigned long n)
{
    asm volatile(".set push\n.set noreorder\n"
                 "1: addiu %0, %0, -1\n"
                 "   bnez %0, 1b\n"
                 "   nop\n"
                 ".set pop"
                 : "+r"(n));
}
#elif defined(__aarch64__) || defined(__arm__)
constexpr unsigned kPerIteration = 2;
#if defined(__aarch64__)
#define SPIN_BRANCH "b.ne 1b"
#else
#define SPIN_BRANCH "bne 1b"
#endif
static void spin(unsigned long n)
{
    asm volatile("1: subs %0, %0, #1\n"
                 "   " SPIN_BRANCH
                 : "+r"(n)
                 :
                 : "cc");
}
#else
#error "no spin loop for this architecture"
#endif

int main(int argc, char **argv)
{
    char *end = nullptr;
    errno = 0;
    unsigned long millions = argc == 2 ? strtoul(argv[1], &end, 10) : 0;
    // 4,000 million on a 32-bit camera is the most one count holds.
    if (argc != 2 || errno != 0 || end == argv[1] || *end != '\0' || millions == 0 || millions > 4000) {
        fprintf(stderr, "usage: benchspin MILLIONS (1 to 4000)\n");
        return 2;
    }
    unsigned long iterations = millions * 1000000UL / kPerIteration;
    struct tms before, after;
    (void)times(&before);
    spin(iterations);
    (void)times(&after);
    printf("%llu %ld %ld\n", static_cast<unsigned long long>(iterations) * kPerIteration,
           static_cast<long>(after.tms_utime - before.tms_utime),
           static_cast<long>(after.tms_stime - before.tms_stime));
    return 0;
}
