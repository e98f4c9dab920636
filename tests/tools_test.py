"""The shell tools that meet the distribution: tools/install-deps with the
packages, the user and the processor it finds (through fake dpkg-query,
apt-cache and uname first on PATH), and the apt entries for Debian's
archive that tools/libcrypto and tools/distro-check derive their mirrors
from (through a fake /etc)."""

import os
import subprocess
import tempfile
from pathlib import Path

import pytest

from tests.helpers import ROOT

FAKES = {
    # Nothing is installed but the packages named in FAKE_INSTALLED.
    "dpkg-query": '[[ " $FAKE_INSTALLED " == *" $3 "* ]] && echo -n "install ok installed"',
    # A candidate for every package but those named in FAKE_ABSENT.
    "apt-cache": '[[ " $FAKE_ABSENT " == *" $2 "* ]] && exit 0\n'
                 'printf "%s:\\n  Installed: (none)\\n  Candidate: 1.0-1\\n" "$2"',
    "uname": 'echo "${FAKE_MACHINE:-x86_64}"',
    # A user whom sudo refuses.
    "sudo": 'echo "sudo: a password is required" >&2; exit 1',
}


@pytest.fixture(name="fakes", scope="module")
def fixture_fakes():
    """Folders of fake commands that another user (nobody) can run, the
    test's own folders being root's alone: sudo in a folder of its own."""
    with tempfile.TemporaryDirectory() as folder:
        os.chmod(folder, 0o755)
        for name, body in FAKES.items():
            path = Path(folder) / ("refusing" if name == "sudo" else "plain") / name
            path.parent.mkdir(mode=0o755, exist_ok=True)
            path.write_text(f"#!/bin/bash\n{body}\n")
            path.chmod(0o755)
        yield Path(folder)


def as_a_user(tool, *args, env):
    """A tool as nobody when this is root, else as this user."""
    return subprocess.run(["/bin/bash", str(ROOT / "tools" / tool), *args], env=env,
                          capture_output=True, text=True, check=False,
                          user="nobody" if os.geteuid() == 0 else None)


def install_deps(fakes, *args, machine="x86_64", absent="", sudo=False, installed=""):
    """tools/install-deps with only the fake commands on PATH (sudo,
    refusing, if asked)."""
    path = f"{fakes / 'plain'}:{fakes / 'refusing'}" if sudo else str(fakes / "plain")
    return as_a_user("install-deps", *args, env={
        "PATH": path, "FAKE_MACHINE": machine, "FAKE_ABSENT": absent,
        "FAKE_INSTALLED": installed})


COMMAND = ("install-deps: not root and no sudo: run as root: apt-get install -y g++ cmake make "
           "perl libssl-dev openssl libgtest-dev binutils pkg-config clang-tidy clang-format "
           "python3-scipy python3-matplotlib python3-pytest python3-flake8 rng-tools5 ent "
           "zlib1g-dev libzstd-dev")
SKIPPED = ("install-deps: the archive has no libbotan-2-dev: skipped: rand_lab will not have "
           "botan, botan-user")
WANTED = " android-libboringssl-dev libsodium-dev libgnutls28-dev libgcrypt20-dev " \
    "libwolfssl-dev libmbedtls-dev"


# Each: the arguments, the machine, the packages the archive lacks, whether
# sudo is there (refusing), then the status, standard error's lines and the
# output.
INSTALLS = {
    "no sudo, an optional package missing": (
        [], "x86_64", "libbotan-2-dev", False, 1, [SKIPPED, COMMAND + WANTED], ""),
    "sudo refuses, extra names wanted": (
        ["wine64"], "x86_64", "", True, 1,
        ["sudo: a password is required",
         COMMAND + " wine64" + WANTED + " libbotan-2-dev"], ""),
    "another architecture": (
        [], "aarch64", "", False, 1,
        ["install-deps: this machine is aarch64: the program counts x86-64's time-stamp counter "
         "and is built on x86-64 only; nothing installed"], ""),
    "--list on an archive without two libraries": (
        ["--list"], "x86_64", "libbotan-2-dev libsodium-dev", False, 0,
        ["install-deps: the archive has no libsodium-dev: skipped: rand_lab will not have "
         "libsodium", SKIPPED],
        COMMAND.split("-y ")[1] + WANTED.replace(" libsodium-dev", "") + "\n"),
}


@pytest.mark.parametrize("case", INSTALLS, ids=list(INSTALLS))
def test_install_deps_installs_what_it_can_or_says_what_to_run(fakes, case):
    args, machine, absent, sudo, status, lines, out = INSTALLS[case]
    done = install_deps(fakes, *args, machine=machine, absent=absent, sudo=sudo)
    assert (done.returncode, done.stderr.splitlines(), done.stdout) == (status, lines, out)


def test_install_deps_without_root_goes_on_when_only_lab_libraries_are_missing(fakes):
    # The README's first command then builds without the sources they make.
    core = COMMAND.split("-y ")[1]
    done = install_deps(fakes, absent="libbotan-2-dev", installed=core + " libsodium-dev")
    assert (done.returncode, done.stderr.splitlines(), done.stdout) == (0, [
        SKIPPED, "install-deps: not root and no sudo: the lab's libraries are missing, to install "
        "as root: apt-get install -y" + WANTED.replace(" libsodium-dev", "")], "")


DISTRO_USAGE = "usage: tools/distro-check [--full] SUITE"


@pytest.mark.parametrize("args, status, said", [
    ([], 2, DISTRO_USAGE),
    (["--full"], 2, DISTRO_USAGE),
    (["trixie", "sid"], 2, DISTRO_USAGE),
    (["../trixie"], 2, DISTRO_USAGE),
    (["--full", "trixie"], 1, "distro-check: trixie: making and entering a Debian root needs "
                              "root"),
])
def test_distro_check_refuses_before_it_makes_anything(args, status, said):
    # Not root here (nobody): a refusal before debootstrap, apt or a folder.
    done = as_a_user("distro-check", *args, env={"PATH": os.environ["PATH"]})
    assert (done.returncode, done.stderr, done.stdout) == (status, said + "\n", "")


DEBIAN = 'NAME="Debian GNU/Linux"\nID=debian\nVERSION_CODENAME=trixie\n'
UBUNTU = 'NAME="Ubuntu"\nID=ubuntu\nID_LIKE=debian\nVERSION_CODENAME=noble\n'
DEB822 = """Types: deb
URIs: http://mirror.example/debian
Suites: trixie trixie-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: http://mirror.example/debian-security
Suites: trixie-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: http://other.example/debian
Suites: trixie
Enabled: no
"""
KEY = "/usr/share/keyrings/debian-archive-keyring.gpg"

# Each: os-release, the apt files, then the status and output (or, failing,
# standard error).
ENTRIES = {
    "deb822, a disabled entry": (DEBIAN, {"sources.list.d/debian.sources": DEB822}, 0,
                                 f"http://mirror.example/debian\t0\t{KEY}\n"
                                 f"http://mirror.example/debian-security\t1\t{KEY}\n"),
    "one-line lists, another release's and a third party's entries": (
        DEBIAN, {"sources.list": "deb [arch=amd64 signed-by=/k.gpg] http://m.example/debian "
                                 "trixie main\n# deb http://m.example/debian sid main\n"
                                 "deb http://m.example/debian bookworm main\n",
                 "sources.list.d/vendor.list": "deb http://vendor.example/apt stable main\n"},
        0, "http://m.example/debian\t0\t/k.gpg\n"),
    "unstable named by its suite": (DEBIAN, {"sources.list": "deb http://m.example/debian sid "
                                             "main\n"}, 0, "http://m.example/debian\t0\t\n"),
    "no entry for this release": (DEBIAN, {}, 1, "no apt entry of Debian's archive for trixie "
                                  "in ETC/apt\n"),
    "Ubuntu": (UBUNTU, {"sources.list": "deb http://archive.example/ubuntu noble main\n"}, 1,
               "this system's apt sources are Ubuntu's (noble), not Debian's\n"),
}


def fake_etc(tmp_path, release, apt):
    etc = tmp_path / "etc"
    (etc / "apt" / "sources.list.d").mkdir(parents=True)
    (etc / "os-release").write_text(release)
    for name, text in apt.items():
        (etc / "apt" / name).write_text(text)
    return etc


@pytest.mark.parametrize("case", ENTRIES, ids=list(ENTRIES))
def test_the_entries_for_debians_archive_are_the_systems_own(tmp_path, case):
    release, apt, status, said = ENTRIES[case]
    etc = fake_etc(tmp_path, release, apt)
    done = subprocess.run([str(ROOT / "tools" / "debian-sources")], capture_output=True,
                          text=True, check=False, env={**os.environ, "OPENSSL_RNG_ETC": str(etc)})
    assert (done.returncode, done.stdout if status == 0 else done.stderr) == \
        (status, said.replace("ETC", str(etc)))


@pytest.mark.parametrize("series, wanted", [
    ("1.1.1", "series 1.1.1, from Debian's archive (bullseye)"),
    ("3", "series 3.x after 3.0, from Debian's archive (trixie or sid)"),
])
def test_libcrypto_on_another_archive_says_what_it_needs_and_asks_it_nothing(tmp_path, series,
                                                                             wanted):
    etc = fake_etc(tmp_path, UBUNTU, {"sources.list": "deb http://archive.example/ubuntu noble "
                                      "main\n"})
    env = {**os.environ, "OPENSSL_RNG_ETC": str(etc), "OPENSSL_RNG_CACHE": str(tmp_path / "c")}
    done = subprocess.run([str(ROOT / "tools" / "libcrypto"), series], capture_output=True,
                          text=True, check=False, env=env)
    assert (done.returncode, done.stdout, done.stderr) == (
        1, "", f"libcrypto: OpenSSL {series} is built from Debian's openssl source package of "
        f"{wanted}, fetched through the system's apt entries for that archive, but this "
        "system's apt sources are Ubuntu's (noble), not Debian's\n")
    assert not (tmp_path / "c" / "apt").exists()
