"""Makes reseed_samples.npz, the reseed finder's real fixture, from
rand_lab's samples files: per recording, every STEP-th call of each
sequence and the calls within WINDOW of each reseed place, enough to
rebuild sequences of the recorded length whose level, spikes and reseeds
are the recording's (tests/reseeds_test.py, rebuild).

    /usr/bin/python3 -m tests.data.make_reseed_samples OUT.npz NAME=FILE,THREADS,CALLS,PERIOD ...

(from the checkout's top folder, where the package is).

FILE holds rand_lab --samples lines; THREADS counts the fork child's
threads too (each is a sequence); PERIOD places the windows at its
multiples. Recorded on 2026-12-09 with, on processor 0:

    rand_lab --bytes 16 --calls 262144 --fork --samples s.csv        (2 runs)
    rand_lab --source boringssl --bytes 16 --calls 65536 --samples  (2 runs)
    rand_lab --source mbedtls --bytes 16 --calls 40000 --samples    (2 runs)

idle, then busy: taskset -c 0 sh -c 'while :; do :; done' beside it on the
same processor, or a build of this project (-j1) on processor 1.
"""

import sys

import numpy as np

from rnglab import lifecycle

STEP = 64
WINDOW = 32


def main(argv):
    if len(argv) < 2:
        sys.exit("usage: python3 -m tests.data.make_reseed_samples OUT.npz "
                 "NAME=FILE,THREADS,CALLS,PERIOD ...")
    out, recordings = argv[0], argv[1:]
    arrays = {}
    for recording in recordings:
        name, _, rest = recording.partition("=")
        path, threads, calls, period = rest.split(",")
        threads, calls, period = int(threads), int(calls), int(period)
        with open(path, "rb") as samples:
            x = lifecycle.parse(samples, threads, calls, path).reshape(-1, calls)
        places = np.arange(period, calls, period)
        # A window that would run past the last call repeats the last call.
        around = np.minimum(places[:, None] + np.arange(-WINDOW, WINDOW + 1), calls - 1)
        assert x.max() < 2 ** 32
        arrays[f"{name}_thin"] = x[:, ::STEP].astype(np.uint32)
        arrays[f"{name}_windows"] = x[:, around].astype(np.uint32)
        arrays[f"{name}_places"] = places
        arrays[f"{name}_calls"] = np.array(calls)
    np.savez_compressed(out, **arrays)


if __name__ == "__main__":
    main(sys.argv[1:])
