# SPDX-License-Identifier: MIT
"""The machine a figure was measured on, as a published figure needs it
named, and the work on its CPUs over a run, from /proc/stat."""

import os
import platform
import resource


def read_text(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return None


def cpuinfo():
    """/proc/cpuinfo: the processors' blocks by CPU number, and the lines of
    blocks that name no processor (machine-wide lines on Arm kernels)."""
    processors, common_lines = {}, {}
    for block in (read_text("/proc/cpuinfo") or "").split("\n\n"):
        fields = {}
        for line in block.splitlines():
            key, colon, value = line.partition(":")
            if colon:
                fields[key.strip()] = value.strip()
        number = fields.get("processor", "")
        if number.isdigit():
            processors[int(number)] = fields
        else:
            common_lines.update(fields)
    return processors, common_lines


def device_tree(name):
    """A device-tree property as text (NUL-separated strings split)."""
    for root in ("/proc/device-tree", "/sys/firmware/devicetree/base"):
        text = read_text(os.path.join(root, name))
        if text is not None:
            return [s for s in text.split("\0") if s]
    return []


# The identity fields of /proc/cpuinfo, by processor family: what tells
# one processor from another where the model name is generic (a virtual
# machine's, or none at all).
IDENTITY = {
    "x86": (("vendor_id", "vendor"), ("cpu family", "family"), ("model", "model"),
            ("stepping", "stepping"), ("microcode", "microcode"), ("flags", "flags")),
    "arm": (("CPU implementer", "implementer"), ("CPU architecture", "architecture"),
            ("CPU variant", "variant"), ("CPU part", "part"), ("CPU revision", "revision"),
            ("Features", "features")),
    "riscv": (("isa", "isa"), ("mmu", "mmu"), ("uarch", "uarch"), ("mvendorid", "mvendorid"),
              ("marchid", "marchid"), ("mimpid", "mimpid")),
}


def identity(fields):
    for family, keys in IDENTITY.items():
        if keys[0][0] in fields:
            found = {name: fields[key] for key, name in keys if key in fields}
            if "flags" in found:
                found["flags"] = found["flags"].split()
            if "features" in found:
                found["features"] = found["features"].split()
            return {"kind": family, **found}
    return {}


def machine_record(cpus):
    """The machine as a published figure needs it named."""
    processors, common_lines = cpuinfo()
    first = processors.get(cpus[0], next(iter(processors.values()), {}))
    merged = {**common_lines, **first}
    cpu_id = identity(merged)
    # Processors of other kinds in the affinity set (big and little cores).
    others = {}
    for cpu in cpus[1:]:
        other = identity({**common_lines, **processors.get(cpu, {})})
        if other and other != cpu_id:
            others.setdefault(repr(sorted(other.items())), (other, []))[1].append(cpu)
    compatible = device_tree("compatible")
    if compatible:
        cpu_id["compatible"] = compatible
    if others:
        cpu_id["others"] = [{**other, "cpus": listed} for other, listed in others.values()]
    # The name: an Arm kernel's model name is the architecture's
    # ("ARMv7 Processor rev 4 (v7l)"), so the board's name comes first there.
    board = device_tree("model")
    names = [merged.get("model name"), merged.get("uarch")]
    if cpu_id.get("kind") == "arm":
        names = [board[0] if board else None, merged.get("Hardware"), *names,
                 f"Arm implementer {cpu_id.get('implementer')} part {cpu_id.get('part')}"]
    model = next((name for name in names if name), "")
    libc = "unknown"
    try:
        libc = os.confstr("CS_GNU_LIBC_VERSION") or libc
    except (ValueError, OSError):
        name, version = platform.libc_ver()
        if name:
            libc = f"{name} {version}"
    load = os.getloadavg()
    return {
        "host": platform.node(),
        "cpu_model": model or platform.processor() or platform.machine(),
        "cpu_id": cpu_id,
        "cpus": len(cpus),
        "cpus_online": os.cpu_count(),
        "architecture": platform.machine(),
        "kernel": platform.release(),
        "libc": libc,
        "load_average": [round(x, 2) for x in load],
    }


def identity_line(cpu_id):
    """The identity of a processor in a few words."""
    if cpu_id.get("kind") == "x86":
        words = [cpu_id.get("vendor", "?"), "family", cpu_id.get("family", "?"), "model",
                 cpu_id.get("model", "?"), "stepping", cpu_id.get("stepping", "?")]
        if "microcode" in cpu_id:
            words += ["microcode", cpu_id["microcode"]]
        return " ".join(map(str, words))
    if cpu_id.get("kind") == "arm":
        return " ".join(f"{k} {cpu_id[k]}" for k in ("implementer", "part", "variant", "revision")
                        if k in cpu_id)
    if cpu_id.get("kind") == "riscv":
        return f"isa {cpu_id.get('isa', '?')}"
    return ", ".join(cpu_id.get("compatible", []))


def cpu_ticks(cpus):
    """/proc/stat's counters summed over CPUS: (total, busy, steal) in clock
    ticks, busy being everything but idle and I/O wait (steal included);
    None where /proc/stat cannot be read."""
    total = busy = steal = 0
    try:
        with open("/proc/stat", encoding="ascii") as stat:
            for line in stat:
                name, *fields = line.split()
                if name.startswith("cpu") and name[3:].isdigit() and int(name[3:]) in cpus:
                    # user nice system idle iowait irq softirq steal (guest is in user)
                    values = [int(v) for v in fields[:8]]
                    total += sum(values)
                    busy += sum(values) - values[3] - values[4]
                    steal += values[7]
    except (OSError, ValueError, IndexError):
        return None
    return (total, busy, steal) if total > 0 else None


def own_ticks():
    """The CPU time of this program and of the children it has waited for,
    in clock ticks."""
    used = 0.0
    for who in (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN):
        usage = resource.getrusage(who)
        used += usage.ru_utime + usage.ru_stime
    return used * os.sysconf("SC_CLK_TCK")


class CpuWork:
    """The work on CPUS between two readings, at the start and the end of a
    run (no polling: an observer would add to what it measures)."""

    def __init__(self, cpus):
        self.cpus = set(cpus)
        self.start = cpu_ticks(self.cpus), own_ticks()

    def shares(self):
        """(steal, other work): the shares of the CPUs' time since the start
        that the hypervisor gave to other guests, and that went to work
        other than this program and its children; None where /proc/stat
        cannot be read."""
        (before, own_before), after = self.start, cpu_ticks(self.cpus)
        if before is None or after is None or after[0] <= before[0]:
            return None, None
        total, busy, steal = (a - b for a, b in zip(after, before))
        other = busy - steal - (own_ticks() - own_before)
        return round(steal / total, 4), round(max(other, 0) / total, 4)
