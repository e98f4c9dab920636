"""What each of rand_lab's sources documents about itself, read from the
libraries' sources and manuals of the versions Debian 12 ships
(docs/sources.md names the files): how often it reseeds or re-keys by
itself, what an application must call after fork() for fresh bytes, and
whether a fork child repeats its parent's bytes. That last is a fact of a
range of versions, as the library documents it or as `rand_lab --fork`
found it here with those versions (Debian 12's and 13's): a version outside
every range has no fact, and the lab says "unknown" rather than guess.

The lab's one table of these: the lifecycle's expected reseed periods and
the answer's fork safety, where no fork was checked, come from here. What a
run measures is set beside it, never written into it.
"""

import dataclasses
import math
import re

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
class Fork:
    """Whether a fork child repeats its parent's bytes, for the versions
    from low to high, both included, each compared on as many numbers as it
    has ((5, 7) holds every 5.7.x); None: no bound, where no version could
    change it (no state in the process). found: where the fact comes from."""
    repeats: bool
    low: tuple
    high: tuple
    found: str

    def holds(self, numbers):
        if self.low is None and self.high is None:
            return True
        return numbers is not None and \
            (self.low is None or numbers[:len(self.low)] >= self.low) and \
            (self.high is None or numbers[:len(self.high)] <= self.high)


@dataclasses.dataclass(frozen=True)
class Documented:
    reseed: Reseed  # None: none after so many calls
    rule: str  # the reseed rule in words
    fork: tuple  # of Fork, for the versions they hold
    after_fork: str  # what an application calls in the child for fresh bytes
    caveat: str = ""  # what else a forking application should know


STATELESS = "no state of its own: every call asks the {}"
NO_CALL = "nothing"

# OpenSSL's DRBG reseeds once its count of generate requests, started at 1
# by the seeding, reaches its reseed interval of 2^16: every 2^16 - 1
# requests, in 1.1.1 and 3.x alike, which is the period the samples show.
OPENSSL_RESEED_REQUESTS = 2 ** 16 - 1

# Whatever its version: the source keeps no generator state in the process.
NO_STATE = (Fork(False, None, None, "no generator state in the process"),)


def dotted(numbers):
    return ".".join(map(str, numbers))


def measured(repeats, debian12, debian13):
    """What rand_lab --fork found here, 1 to 4 threads, with the version
    Debian 12 ships and the one Debian 13 ships: it holds between them."""
    return (Fork(repeats, debian12, debian13,
                 f"rand_lab --fork with {dotted(debian12)} (Debian 12) and "
                 f"{dotted(debian13)} (Debian 13)"),)


DOCUMENTED = {
    # 3.0's alphas repeated (OpenSSL issue 12377); its releases check the
    # process id, as 1.1.1 does.
    "openssl": Documented(
        Reseed(OPENSSL_RESEED_REQUESTS, "request", 65536),
        "every 65,535 requests of the thread's public DRBG, or 7 minutes",
        (Fork(False, (1, 1, 1), (3,), "its DRBGs check the process id on every call, 1.1.1 "
              "and 3.x; rand_lab --fork with 3.0.22 (Debian 12) and 3.5.9 (Debian 13)"),),
        NO_CALL + " (the process id is checked on every call; RAND_poll() forces a reseed)",
        "3.0 takes no fork handler: a thread inside a call at the fork can leave a lock held "
        "in the child"),
    "getrandom": Documented(None, "no state of its own: the kernel's generator, re-keyed "
                            "from its base every 60 s", NO_STATE, NO_CALL),
    "getrandom-libc": Documented(
        None, "the kernel's: glibc's wrapper makes the system call before 2.41, and from 2.41 "
        "runs the vDSO's generator over a per-thread state the kernel re-keys (Linux 6.11 and "
        "later)",
        (Fork(False, None, None, "the system call keeps no state in the process, and the "
              "kernel wipes glibc's vDSO state in a fork child"),),
        NO_CALL),
    "rdrand": Documented(None, "in the processor (at most 511 128-bit samples between "
                         "reseeds, Intel documents)", NO_STATE, NO_CALL),
    "rdseed": Documented(None, STATELESS.format("processor's conditioned entropy"), NO_STATE,
                         NO_CALL),
    # Its version is its API's number.
    "boringssl": Documented(
        Reseed(4096, "request", 65536), "every 4,096 calls of the thread's DRBG",
        measured(False, (17,), (19,)),
        NO_CALL + " (a wiped-on-fork page tells it; RAND_enable_fork_unsafe_buffering opts out)"),
    "libsodium": Documented(None, STATELESS.format("kernel, through randombytes_sysrandom"),
                            measured(False, (1, 0, 18), (1, 0, 18)),
                            NO_CALL + " (randombytes_stir() for other implementations)"),
    "gnutls": Documented(
        Reseed(2 * 1024 * 1024, "byte"), "after 2 MiB of the thread's output, or 2 hours",
        measured(False, (3, 7, 9), (3, 8, 9)), NO_CALL + " (a fork handler re-keys it)"),
    "libgcrypt": Documented(
        None, "none periodic: every request stirs the pool with a fast poll",
        measured(False, (1, 10, 1), (1, 11, 0)),
        NO_CALL + " (the process id is mixed in on every call)",
        "its manual warns against fork without exec in a threaded program: a thread inside a "
        "call at the fork leaves the pool's lock held in the child"),
    # The WC_RNG never looked for a fork until wolfSSL's pull request 11210
    # (2026), whose first release is past this range: a newer version is
    # unknown until a fork check or a new range says.
    "wolfssl": Documented(
        Reseed(1000000, "request", 65536), "every 1,000,000 requests of the WC_RNG",
        measured(True, (5, 5, 4), (5, 7, 2)),
        "wc_FreeRng(&rng) and wc_InitRng(&rng) in the child"),
    "mbedtls": Documented(
        Reseed(10000, "request", 1024), "every 10,000 requests of 1024 bytes at most",
        measured(True, (2, 28, 3), (3, 6, 6)),
        "mbedtls_ctr_drbg_reseed(&ctx, ...) in the child (and the parent), or prediction "
        "resistance on"),
    # The kernel's design since the vDSO's getrandom came (Linux 6.11).
    "vdso": Documented(None, "when the kernel's generation changes (its generator reseeds "
                       "every 60 s), not after so many calls",
                       (Fork(False, (6, 11), None, "the kernel wipes the state's page in a "
                             "fork child"),),
                       NO_CALL + " (the state's page is wiped in the child)"),
    "arc4random": Documented(None, STATELESS.format("kernel, one getrandom in glibc 2.36"),
                             measured(False, (2, 36), (2, 41)), NO_CALL),
    "botan": Documented(None, STATELESS.format("kernel, through /dev/urandom"),
                        measured(False, (2, 19, 3), (2, 19, 5)), NO_CALL),
    "botan-user": Documented(
        Reseed(1024, "request", 65536), "every 1,024 requests of the thread's AutoSeeded_RNG",
        measured(False, (2, 19, 3), (2, 19, 5)), NO_CALL + " (it reseeds on a new process id)",
        "Botan's manual asks for rng.force_reseed() in the child all the same (process ids "
        "wrap around)"),
    "bcrypt": Documented(None, "in the system's generator",
                         (Fork(False, None, None, "Windows has no fork"),), NO_CALL + " (no fork)"),
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


def numbers_of(version):
    """The first dotted number of a version as its source reports it, as a
    tuple ("OpenSSL 3.0.22 25 Aug 2026": (3, 0, 22)); None where it has none
    ("instruction")."""
    found = re.search(r"\d+(?:\.\d+)*", version or "")
    return tuple(int(n) for n in found.group().split(".")) if found else None


def fork_fact(source, version):
    """The Fork that holds for the source's version, or None where none
    does: then whether its child repeats is unknown."""
    numbers = numbers_of(version)
    return next((f for f in of(source).fork if f.holds(numbers)), None)


def repeats_after_fork(source, version):
    """True or False as documented for the version, None where unknown."""
    fact = fork_fact(source, version)
    return None if fact is None else fact.repeats
