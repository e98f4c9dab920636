"""The lab's runner against the system's libcrypto: the probe reports the
generator a configuration really selects, a variant that would measure
something else stops, and each run's records are the ones it appended; and
against the FIPS provider's build, the path RAND_bytes takes."""

import os
import subprocess
from pathlib import Path

import pytest

from rnglab import runner, variants
from rnglab.errors import LabError
from tests.helpers import BUILD, needs_source_builds


@pytest.fixture(name="build", scope="module")
def fixture_build():
    assert (BUILD / "bench" / "libcrypto_info").exists(), f"build the program first: {BUILD}"
    return variants.local_build(BUILD)


@pytest.mark.parametrize("generator, drbg, param, value", [
    ("ctr-aes-128", "CTR-DRBG", "cipher", "AES-128-CTR"),
    ("hash-sha512", "HASH-DRBG", "digest", "SHA2-512"),
    ("hmac-sha256", "HMAC-DRBG", "digest", "SHA2-256"),
])
def test_the_probe_reports_the_generator_asked_for(build, tmp_path, generator, drbg, param, value):
    variant = variants.variant(build, generator)
    runner.prepare([variant], tmp_path)
    assert (variant.probe["drbg"], variant.probe[param], variant.probe["provider"]) == \
        (drbg, value, "default")


def test_a_generator_other_than_the_one_asked_for_stops_the_variant(build, tmp_path):
    variant = variants.variant(build, "hash-sha256")
    # as a typo would leave it
    variant.config = variants.config_text(variants.DEFAULT_GENERATOR, build)
    with pytest.raises(LabError, match="asked for HASH-DRBG SHA2-256 default, but the "
                       "probe saw CTR-DRBG AES-256-CTR"):
        runner.prepare([variant], tmp_path)


def test_a_failed_call_in_a_run_stops_the_command(build, tmp_path):
    variant = variants.variant(build, variants.DEFAULT_GENERATOR)
    runner.prepare([variant], tmp_path)
    (variant.folder / "openssl.cnf").write_text(
        "openssl_conf = init\n[init]\nrandom = random\n[random]\nrandom = NO-SUCH\n")
    with pytest.raises(LabError, match=r"a call failed: RAND_bytes Failed--> 0\. cycle"):
        runner.run_once(variant)


def test_the_probe_refuses_a_configuration_file_that_is_not_there(tmp_path):
    # The library would quietly run its default generator instead.
    done = subprocess.run([str(BUILD / "bench" / "libcrypto_info")], cwd=tmp_path,
                          env={**os.environ, "OPENSSL_CONF": "elsewhere/openssl.cnf"},
                          capture_output=True, text=True, check=False)
    assert done.returncode == 1
    assert "config No such file or directory" in done.stdout


def test_a_run_owns_exactly_the_records_it_appended(build, tmp_path):
    program = variants.variant(build, variants.DEFAULT_GENERATOR)
    runner.prepare([program], tmp_path)
    (program.folder / "osslRb1a.txt").write_bytes(b"RAND_bytes:\nTOTAL: torn")
    cpu = min(os.sched_getaffinity(0))  # not always 0: a cpuset may leave it out
    runner.run_rounds([program], 2, cpus=[cpu])
    assert [(r.round, r.cpu, r.first, len(r.records)) for r in program.runs] == \
        [(1, cpu, 0, 1), (2, cpu, 1, 1)]


@pytest.fixture(name="fips_build", scope="module")
def fixture_fips_build(tmp_path_factory):
    needs_source_builds(variants.FIPS_BUILD)
    with pytest.MonkeyPatch.context() as patch:
        # The test command says where the lab may build; without it,
        # nowhere in the checkout.
        patch.setenv("OPENSSL_RNG_COMPARE_BUILDS", os.environ.get(
            "OPENSSL_RNG_COMPARE_BUILDS") or str(tmp_path_factory.mktemp("builds")))
        return variants.build_against(variants.FIPS_BUILD)


@pytest.mark.parametrize("generator, path, saw", [
    ("fips", "provider", "random provider fips"),
    ("fips-drbg", "public-drbg", "CTR-DRBG AES-256-CTR, fips"),
])
def test_the_probe_follows_rand_bytes_past_the_public_drbg(fips_build, tmp_path, generator,
                                                           path, saw):
    # From 3.5 on the FIPS provider, once loaded, takes RAND_bytes unless
    # random_provider names another; the public DRBG looks the same either way.
    assert fips_build.has_random_provider, fips_build.info["version"]
    variant = variants.variant(fips_build, generator)
    runner.prepare([variant], tmp_path)
    assert (variant.probe["path"], variants.probe_text(variant.probe)) == (path, saw)


@pytest.mark.parametrize("version, generator, random_provider", [
    ("OpenSSL 3.0.19 27 Jan 2026", "fips", []),  # 3.0 refuses the key
    ("OpenSSL 3.4.1 11 Feb 2025", "fips", []),
    ("OpenSSL 3.5.0 8 Apr 2025", "fips", ["random_provider = fips"]),
    ("OpenSSL 3.6.3 27 Jan 2026", "fips-drbg", ["random_provider = none"]),
    ("OpenSSL 3.6.3 27 Jan 2026", "hash-sha256", []),
])
def test_random_provider_is_written_only_where_the_library_reads_it(version, generator,
                                                                    random_provider):
    build = variants.Build(variants.FIPS_BUILD, Path("build"), True, {"version": version},
                           Path("fipsmodule.cnf"))
    written = variants.config_text(generator, build).splitlines()
    assert [line for line in written if line.startswith("random_provider")] == random_provider
