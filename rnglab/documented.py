"""What each of rand_lab's sources documents about itself, read from the
libraries' sources and manuals of the versions Debian 12 ships
(docs/sources.md names the files): how often it reseeds or re-keys by
itself, whether a fork child repeats its parent's bytes, and what an
application must call after fork() for fresh ones.

The lab's one table of these: the lifecycle's expected reseed periods and
the answer's fork safety, where no fork was checked, come from here. What a
run measures is set beside it, never written into it.
"""

import dataclasses
import math

from rnglab.errors import LabError


@dataclasses.dataclass(frozen=True)
class Reseed:
    """A reseed every so many units of output, counted per generator
    object: "request" (one generate call of the library, chunk bytes at most,
    so that a longer call of the lab's counts once per chunk) or "byte"."""
    every: int
    unit: str
    chunk: int = None

    def calls(self, bytes_):
        """rand_lab's calls of bytes_ between two reseeds."""
        if self.unit == "byte":
            return math.ceil(self.every / bytes_)
        return math.ceil(self.every / (math.ceil(bytes_ / self.chunk) if self.chunk else 1))


@dataclasses.dataclass(frozen=True)
class Documented:
    reseed: Reseed  # None: none after so many calls
    rule: str  # the reseed rule in words
    repeats_after_fork: bool  # a fork child repeats its parent's bytes
    after_fork: str  # what an application calls in the child for fresh bytes
    caveat: str = ""  # what else a forking application should know


STATELESS = "no state of its own: every call asks the {}"
NO_CALL = "nothing"

# OpenSSL's DRBG reseeds once its count of generate requests, started at 1
# by the seeding, reaches its reseed interval of 2^16: every 2^16 - 1
# requests, in 1.1.1 and 3.x alike, which is the period the samples show.
OPENSSL_RESEED_REQUESTS = 2 ** 16 - 1

DOCUMENTED = {
    "openssl": Documented(
        Reseed(OPENSSL_RESEED_REQUESTS, "request", 65536),
        "every 65,535 requests of the thread's public DRBG, or 7 minutes", False,
        NO_CALL + " (the process id is checked on every call; RAND_poll() forces a reseed)",
        "3.0 takes no fork handler: a thread inside a call at the fork can leave a lock held "
        "in the child"),
    "getrandom": Documented(None, "no state of its own: the kernel's generator, re-keyed "
                            "from its base every 60 s", False, NO_CALL),
    "getrandom-libc": Documented(
        None, "the kernel's: glibc's wrapper makes the system call before 2.41, and from 2.41 "
        "runs the vDSO's generator over a per-thread state the kernel re-keys (Linux 6.11 and "
        "later)", False, NO_CALL + " (the vDSO's state is wiped in the child)"),
    "rdrand": Documented(None, "in the processor (at most 511 128-bit samples between "
                         "reseeds, Intel documents)", False, NO_CALL),
    "rdseed": Documented(None, STATELESS.format("processor's conditioned entropy"), False,
                         NO_CALL),
    "boringssl": Documented(
        Reseed(4096, "request", 65536), "every 4,096 calls of the thread's DRBG", False,
        NO_CALL + " (a wiped-on-fork page tells it; RAND_enable_fork_unsafe_buffering opts out)"),
    "libsodium": Documented(None, STATELESS.format("kernel, through randombytes_sysrandom"),
                            False,
                            NO_CALL + " (randombytes_stir() for other implementations)"),
    "gnutls": Documented(
        Reseed(2 * 1024 * 1024, "byte"), "after 2 MiB of the thread's output, or 2 hours", False,
        NO_CALL + " (a fork handler re-keys it)"),
    "libgcrypt": Documented(
        None, "none periodic: every request stirs the pool with a fast poll", False,
        NO_CALL + " (the process id is mixed in on every call)",
        "its manual warns against fork without exec in a threaded program: a thread inside a "
        "call at the fork leaves the pool's lock held in the child"),
    "wolfssl": Documented(
        Reseed(1000000, "request", 65536), "every 1,000,000 requests of the WC_RNG", True,
        "wc_FreeRng(&rng) and wc_InitRng(&rng) in the child"),
    "mbedtls": Documented(
        Reseed(10000, "request", 1024), "every 10,000 requests of 1024 bytes at most", True,
        "mbedtls_ctr_drbg_reseed(&ctx, ...) in the child (and the parent), or prediction "
        "resistance on"),
    "vdso": Documented(None, "when the kernel's generation changes (its generator reseeds "
                       "every 60 s), not after so many calls", False,
                       NO_CALL + " (the state's page is wiped in the child)"),
    "arc4random": Documented(None, STATELESS.format("kernel, one getrandom in glibc 2.36"),
                             False, NO_CALL),
    "botan": Documented(None, STATELESS.format("kernel, through /dev/urandom"), False, NO_CALL),
    "botan-user": Documented(
        Reseed(1024, "request", 65536), "every 1,024 requests of the thread's AutoSeeded_RNG",
        False, NO_CALL + " (it reseeds on a new process id)",
        "Botan's manual asks for rng.force_reseed() in the child all the same (process ids "
        "wrap around)"),
    "bcrypt": Documented(None, "in the system's generator", False, NO_CALL + " (no fork)"),
}


def of(source):
    """A source's entry; LabError for one the table does not hold."""
    try:
        return DOCUMENTED[source]
    except KeyError as error:
        raise LabError(f"nothing documented for the source {source}") from error


def expected_period(source, bytes_):
    """The calls of bytes_ between two reseeds that the source documents,
    or None where it documents no such period."""
    reseed = of(source).reseed
    return None if reseed is None else reseed.calls(bytes_)
