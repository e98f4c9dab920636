"""A variant's command and name are made from its typed fields alone."""

from pathlib import Path

import pytest

from rnglab import lifecycle, runner, sources, variants
from rnglab.errors import LabError

BUILD = variants.Build("b", Path("/b"), False, {"version": "OpenSSL 3.0.19 27 Jan 2026"})


def made(**fields):
    """variants.variant's arguments, by name."""
    lab = fields.pop("lab", None)
    return variants.variant(BUILD, fields.pop("generator", variants.DEFAULT_GENERATOR), None,
                            lab, **fields)


# the variant, its name, and its command after the executable
CASES = [
    (made(), "b", None),
    (made(generator="hash-sha256"), "b+hash-sha256", None),
    (made(lab=(32, 1, False)), "b+32B", ["--bytes", "32", "--threads", "1"]),
    (made(lab=(64, 4, False), calls=512), "b+64B+4threads+512calls",
     ["--bytes", "64", "--threads", "4", "--calls", "512"]),
    (made(lab=(64, 1, True)), "b+aes-256-ctr+64B", ["--bytes", "64", "--threads", "1",
                                                    "--cipher"]),
    (made(lab=(32, 2, False), source="getrandom"), "b+getrandom+32B+2threads",
     ["--bytes", "32", "--threads", "2", "--source", "getrandom"]),
    (lifecycle.keep_samples(made(lab=(16, 1, False), calls=262144, fork=True)),
     "b+16B+262144calls+fork",
     ["--bytes", "16", "--threads", "1", "--calls", "262144", "--fork", "--samples",
      "samples.csv"]),
]


@pytest.mark.parametrize("v, name, args", CASES, ids=[c[1] for c in CASES])
def test_a_variants_name_and_command_come_from_its_fields(v, name, args):
    assert v.name == name
    executable = "/b/openssl_rng" if args is None else "/b/bench/rand_lab"
    assert v.command == [executable, *(args or [])]


def test_a_source_variant_names_its_source_and_its_version():
    [v] = sources.make_variants(BUILD, {"rdrand": "instruction"}, [32], [1], 1024)
    assert (v.name, v.generator, v.source_version) == \
        ("b+rdrand+32B", "source rdrand", "instruction")


@pytest.mark.parametrize("fork, threads, medians, figure", [
    (False, 1, [100], 100.0),
    (False, 2, [100, 300], 200.0),
    # The fork child's records follow the parent's and are not its figure.
    (True, 1, [100, 900], 100.0),
    (True, 2, [100, 300, 900, 900], 200.0),
    (True, 2, [], None),
])
def test_a_runs_figure_is_its_parents_records(fork, threads, medians, figure):
    v = made(lab=(32, threads, False), fork=fork)
    run = runner.Run(1, 0, 0, [{"median": m} for m in medians], "")
    assert v.figure(run) == figure


@pytest.mark.parametrize("made, said", [
    (False, "No such file or directory"),
    (True, "Permission denied"),  # there, but not executable
])
def test_a_build_whose_probe_cannot_run_is_one_line(tmp_path, made, said):
    probe = tmp_path / "bench" / "libcrypto_info"
    if made:
        probe.parent.mkdir()
        probe.write_text("")
    with pytest.raises(LabError, match=f"^cannot run {probe}: {said}$"):
        variants.local_build(tmp_path)
