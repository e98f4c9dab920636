"""Files of generator output read once: each whole block hashed and its one
bits counted, and the blocks fed at the same time to rngtest (two, taking
chunks in turn, for the two cores) and ent, each reading from a pipe fed by
a thread of its own. What the figures mean is rnglab.quality's."""

import hashlib
import os
import queue
import stat
import subprocess
import threading

import numpy as np

from rnglab.errors import LabError

BLOCK = 16384
CHUNK = 256 * BLOCK            # read, hashed and piped 4 MiB at a time


class QualityError(LabError):
    """A tool missing or failing: the run cannot go on."""


class Pipe:
    """A tool reading from its standard input, fed by a thread of its own so
    that the tools and the hashing all run at once."""

    def __init__(self, argv):
        self.process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
        self.chunks = queue.Queue(maxsize=4)
        self.out = {}
        self.writer = threading.Thread(target=self._write, daemon=True)
        self.writer.start()
        self.readers = [threading.Thread(target=self._read, args=(name,), daemon=True)
                        for name in ("stdout", "stderr")]
        for reader in self.readers:
            reader.start()

    def _write(self):
        try:
            while (chunk := self.chunks.get()) is not None:
                self.process.stdin.write(chunk)
        except (BrokenPipeError, OSError):
            while self.chunks.get() is not None:    # drain, so put() never blocks
                pass
        finally:
            try:
                self.process.stdin.close()
            except OSError:
                pass

    def _read(self, name):
        self.out[name] = getattr(self.process, name).read().decode(errors="replace")

    def feed(self, chunk):
        self.chunks.put(chunk)

    def finish(self):
        self.chunks.put(None)
        self.writer.join()
        for reader in self.readers:
            reader.join()
        return self.process.wait(), self.out.get("stdout", ""), self.out.get("stderr", "")

    def kill(self):
        self.process.kill()
        self.chunks.put(None)
        self.writer.join()
        self.process.wait()


ZERO_DIGEST = hashlib.sha256(bytes(BLOCK)).digest()
POPCOUNT16 = np.array([bin(i).count("1") for i in range(1 << 16)], dtype=np.uint8)


class Unreadable(Exception):
    pass


def open_regular(path):
    try:
        handle = open(path, "rb")
    except OSError as error:
        raise Unreadable(error.strerror or str(error)) from None
    mode = os.fstat(handle.fileno()).st_mode
    if not stat.S_ISREG(mode):
        handle.close()
        raise Unreadable("not a regular file")
    return handle


def hash_blocks(chunk, blocks, index, seen, result):
    """Notes each whole block of chunk, the first of them block number
    blocks of file number index, that is all zero or was seen before;
    returns the number of the block after them."""
    view = memoryview(chunk)
    for start in range(0, len(chunk), BLOCK):
        digest = hashlib.sha256(view[start:start + BLOCK]).digest()
        if digest == ZERO_DIGEST:
            result["zero_blocks"].append(blocks)
        elif digest in seen:
            result["duplicates"].append({"block": blocks, "equals": seen[digest]})
        else:
            seen[digest] = (index, blocks)
        blocks += 1
    return blocks


def scan(path, index, seen, progress=None):
    """Reads one file once: hashes and counts the ones of each whole block and
    feeds the whole blocks to rngtest (two, taking chunks in turn, for the two
    cores) and ent."""
    handle = open_regular(path)
    size = os.fstat(handle.fileno()).st_size
    tools = []
    result = {"file": str(path), "zero_blocks": [], "duplicates": [], "ones": []}
    try:
        tools = [Pipe(["rngtest"]), Pipe(["rngtest"]), Pipe(["ent", "-t"])]
        carry, blocks, fed = b"", 0, 0
        while True:
            try:
                data = handle.read(CHUNK)
            except OSError as error:
                raise Unreadable(error.strerror or str(error)) from None
            if not data:
                break
            data = carry + data if carry else data
            whole = len(data) // BLOCK * BLOCK
            carry = data[whole:]
            if not whole:
                continue
            chunk = data[:whole]
            blocks = hash_blocks(chunk, blocks, index, seen, result)
            words = np.frombuffer(chunk, dtype=np.uint16)
            result["ones"].append(POPCOUNT16[words].reshape(-1, BLOCK // 2)
                                  .sum(axis=1, dtype=np.int64))
            tools[fed % 2].feed(chunk)
            tools[2].feed(chunk)
            fed += 1
            if progress:
                progress(path, blocks * BLOCK, size)
        outputs = [tool.finish() for tool in tools]
        tools = []
    finally:
        handle.close()
        for tool in tools:
            tool.kill()
    result.update(size=blocks * BLOCK + len(carry), blocks=blocks, leftover=len(carry))
    result["ones"] = np.concatenate(result["ones"]) if result["ones"] else np.zeros(0, np.int64)
    # (status, standard output, standard error) of each rngtest that was fed, and of ent
    result["rngtest_outputs"], result["ent_output"] = outputs[:min(2, fed)], outputs[2]
    return result
