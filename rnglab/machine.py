"""Which machine a run ran on: its identity as data, and a key made of its
stable parts only, which names the machine's folder of records
(tools/fleet) and tells machines apart.

The processor is as CPUID names it (bench/counter_check, which every
invocation runs once anyway: under a hypervisor each CPUID traps to it):
vendor, family, model, stepping and brand string; then the hypervisor's
name (CPUID's signature, else /sys/hypervisor/type, else "unnamed" where
the processor flags one), the processors this process may use, the kernel
and the distribution (/etc/os-release).

The key is the vendor, family, model, stepping, brand, hypervisor, the
number of processors the run may use and the distribution's ID and
VERSION_ID: what decides a generator's cost and stays the same from one
run to the next. Never the counter's rate or a CPUID's cost (measured:
they move between runs, and one machine would become two), nor the kernel
(updated in place) nor a point release (Ubuntu's 24.04.1 is VERSION_ID
24.04). Two machines alike in all of these are one kind of machine; a
brand string alone is not enough (a VM may show "AMD EPYC" for two
generations), so family, model and stepping are in it too."""

import os
import re

from rnglab import runner

# bench/counter_check's lines that name the processor rather than time it.
CPU_KEYS = ("vendor", "family", "model", "stepping", "brand")
HYPERVISOR_KEY = "hypervisor_signature"
# CPUID leaf 0x40000000's signatures, as hypervisors document them.
SIGNATURES = {"KVMKVMKVM": "KVM", "Linux KVM Hv": "KVM", "Microsoft Hv": "Hyper-V",
              "VMwareVMware": "VMware", "XenVMMXenVMM": "Xen", "TCGTCGTCGTCG": "QEMU TCG",
              "bhyve bhyve": "bhyve", "VBoxVBoxVBox": "VirtualBox", "ACRNACRNACRN": "ACRN",
              "lrpepyh vr": "Parallels", "QNXQVMBSQG": "QNX", "EVMMEVMMEVMM": "Intel EVMM"}
UNNAMED = "unnamed"


def is_identity(name):
    """Whether a line of bench/counter_check names the machine (it goes in
    the document's machine, not its counter)."""
    return name == HYPERVISOR_KEY or name in (f"cpu_{k}" for k in CPU_KEYS)


def cpu_of(counter_info):
    """The processor as CPUID names it; None for what it did not say."""
    found = {k: counter_info.get(f"cpu_{k}") for k in CPU_KEYS}
    for k in ("family", "model", "stepping"):
        found[k] = int(found[k]) if str(found[k]).isdigit() else None
    return found


def hypervisor_of(signature, sys_type="", flagged=False):
    """The hypervisor's name: CPUID's signature as the hypervisor calls
    itself (unknown ones as they are), else the kernel's word for it, else
    UNNAMED where the processor says it runs under one; None on bare metal."""
    if signature and signature != "?":
        return SIGNATURES.get(signature, signature)
    if sys_type:
        return sys_type
    return UNNAMED if flagged or signature == "?" else None


def read_text(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as text:
            return text.read()
    except OSError:
        return ""


def cpuinfo_flags(text):
    """The flags of /proc/cpuinfo's first processor."""
    for line in text.splitlines():
        key, _, value = line.partition(":")
        if key.strip() == "flags":
            return set(value.split())
    return set()


def distribution_of(text):
    """/etc/os-release's text as {id, version_id, name}; None if it names
    no system."""
    fields = {}
    for line in text.splitlines():
        key, sep, value = line.partition("=")
        if sep and re.fullmatch(r"[A-Z_]+", key.strip()):
            value = value.strip()
            if len(value) >= 2 and value[0] == value[-1] and value[0] in "\"'":
                value = value[1:-1]
            fields[key.strip()] = value
    if not fields.get("ID") and not fields.get("NAME"):
        return None
    return {"id": fields.get("ID", "linux"), "version_id": fields.get("VERSION_ID"),
            "name": fields.get("PRETTY_NAME") or fields.get("NAME")}


def slug(text):
    return re.sub(r"[^a-z0-9.]+", "-", str(text).lower()).strip("-.") or "unknown"


def key_of(identity):
    """The machine's key from its stable parts (see above), a name a folder
    can have; None where CPUID did not say which processor it is."""
    cpu = identity["cpu"]
    if cpu["vendor"] is None or None in (cpu["family"], cpu["model"], cpu["stepping"]):
        return None
    system = identity["distribution"] or {"id": "unknown", "version_id": None}
    parts = [slug(cpu["brand"] or "no-brand"),
             f"{slug(cpu['vendor'])}-{cpu['family']}-{cpu['model']}-{cpu['stepping']}",
             slug(identity["hypervisor"] or "metal"), f"{len(identity['cpus'])}cpu",
             slug(" ".join(filter(None, (system["id"], system["version_id"]))))]
    return "_".join(parts)


def identity(counter_info, root="/"):
    """The machine's identity as data, with its key. counter_info: what
    bench/counter_check printed; root: where /proc, /sys and /etc are (a
    test's folder)."""
    cpuinfo = read_text(os.path.join(root, "proc/cpuinfo"))
    found = {"cpu": cpu_of(counter_info),
             "hypervisor": hypervisor_of(counter_info.get(HYPERVISOR_KEY),
                                         read_text(os.path.join(root, "sys/hypervisor/type"))
                                         .strip(),
                                         "hypervisor" in cpuinfo_flags(cpuinfo)),
             "cpus": runner.usable_cpus(),
             "distribution": distribution_of(read_text(os.path.join(root, "etc/os-release")))}
    return {**found, "key": key_of(found)}
