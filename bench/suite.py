"""Runs every benchmark: each of our measurements beside its peers on the same
input, the contenders of a measurement taking turns run after run, each run
one process whose wall time and peak memory are recorded. Writes
results.json; bench/report.py turns it into the report.

Usage: suite.py <repository> <output folder> [--quick] [--runs=N] [group...]
"""

import json
import os
import platform
import shutil
import subprocess
import sys
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

import corpus

MEMORY_SAMPLE_SECONDS = 0.05


@dataclass
class Contender:
    name: str
    command: list
    # Prints {"seconds": s} of its own decoding, without process start and
    # file reading; its in-process peers do the same.
    internal: bool = False
    # A Wine program: its Windows processes are not all children of the one
    # started, so memory is sampled over its whole session.
    wine: bool = False
    output: Path = None  # the archive whose size is reported
    # Made fresh before every run: the folder the contender writes into...
    scratch: Path = None
    # ...with this file linked into it (an archive extracted beside itself).
    linked: Path = None


@dataclass
class Comparison:
    subject: str
    baseline: str
    # ratio = baseline's median time / subject's: above 1 the subject is faster.
    min_ratio: float = None
    max_size_ratio: float = None
    target: str = ""
    # The subject did this many times the baseline's work.
    work: int = 1


@dataclass
class Measurement:
    group: str
    name: str
    data_bytes: int
    contenders: list
    comparisons: list = field(default_factory=list)


def session_rss_kib(session, members, others):
    """The summed resident memory of the processes of a session. members and
    others cache which process ids were seen in it and which were not."""
    total = 0
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or entry in others:
            continue
        try:
            with open("/proc/%s/stat" % entry) as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        # After the command's name: state, ppid, pgrp, session, ..., rss at 22.
        if int(fields[3]) != session:
            others.add(entry)
            continue
        members.add(entry)
        total += int(fields[21]) * (os.sysconf("SC_PAGE_SIZE") // 1024)
    return total


def run_once(contender, env, scratch_out):
    """One run: (seconds, peak memory in KiB). The memory of a native process
    is the kernel's own peak; that of a Wine program the sampled session sum."""
    if contender.scratch:
        shutil.rmtree(contender.scratch, ignore_errors=True)
        contender.scratch.mkdir(parents=True)
        if contender.linked:
            os.link(contender.linked, contender.scratch / contender.linked.name)
    if contender.output and contender.output.exists():
        contender.output.unlink()
    out_path, err_path = scratch_out / "stdout", scratch_out / "stderr"
    actions = [(os.POSIX_SPAWN_OPEN, 1, str(out_path), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644),
               (os.POSIX_SPAWN_OPEN, 2, str(err_path), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)]
    # A native run's peak comes from time(1): a process spawned from this one
    # would start its count at this interpreter's size.
    memory_path = scratch_out / "memory"
    command = [str(a) for a in contender.command]
    if not contender.wine:
        command = ["/usr/bin/time", "-f", "%M", "-o", str(memory_path)] + command
    start = time.perf_counter()
    pid = os.posix_spawnp(command[0], command, env, file_actions=actions, setsid=True)
    peak, done = [0], threading.Event()

    def sample():
        members, others = set(), set()
        while not done.wait(MEMORY_SAMPLE_SECONDS):
            peak[0] = max(peak[0], session_rss_kib(pid, members, others))

    sampler = threading.Thread(target=sample) if contender.wine else None
    if sampler:
        sampler.start()
    _, status = os.waitpid(pid, 0)
    seconds = time.perf_counter() - start
    done.set()
    if sampler:
        sampler.join()
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError("%s failed (%d): %s" % (
            " ".join(map(str, contender.command)), os.waitstatus_to_exitcode(status),
            err_path.read_text(errors="replace")[-2000:]))
    if contender.internal:
        seconds = json.loads(out_path.read_text().strip().splitlines()[-1])["seconds"]
    return seconds, peak[0] if contender.wine else int(memory_path.read_text().split()[-1])


def measure(measurement, runs, env, scratch_out, log):
    """Alternating runs: every contender once per round, the order reversed
    each round so that no one always runs on a cache the other warmed."""
    results = {c.name: {"seconds": [], "memory_kib": [], "size": None}
               for c in measurement.contenders}
    for round_index in range(runs):
        order = measurement.contenders if round_index % 2 == 0 else measurement.contenders[::-1]
        for contender in order:
            seconds, memory = run_once(contender, env, scratch_out)
            entry = results[contender.name]
            entry["seconds"].append(round(seconds, 6))
            entry["memory_kib"].append(memory)
            if contender.output:
                entry["size"] = contender.output.stat().st_size
    for contender in measurement.contenders:
        if contender.scratch:
            shutil.rmtree(contender.scratch, ignore_errors=True)
        if contender.output and contender.output.exists():
            contender.output.unlink()
    log("%-44s %s" % (measurement.name, "  ".join(
        "%s %.3fs" % (name, sorted(r["seconds"])[len(r["seconds"]) // 2])
        for name, r in results.items())))
    return {
        "group": measurement.group,
        "name": measurement.name,
        "data_bytes": measurement.data_bytes,
        "contenders": [dict(name=c.name, command=" ".join(map(str, c.command)),
                            wine=c.wine, internal=c.internal, **results[c.name])
                       for c in measurement.contenders],
        "comparisons": [vars(c) for c in measurement.comparisons],
    }


def dos(path):
    return "Z:" + str(path).replace("/", "\\")


def in_folder(folder, *command):
    """A peer that names its items relative to folder, as ours do."""
    return ["sh", "-c", 'cd "$0" && exec "$@"', str(folder), *map(str, command)]


def tree_bytes(root):
    return sum(path.stat().st_size for path in Path(root).rglob("*") if path.is_file())


def inflate_bytes(path):
    data, total, at = Path(path).read_bytes(), 0, 0
    while at < len(data):
        total += int.from_bytes(data[at:at + 4], "little")
        at += 8 + int.from_bytes(data[at + 4:at + 8], "little")
    return total


def at_once(copies, command):
    """copies runs of command at the same time; fails when one of them fails."""
    script = ('pids=; for i in $(seq "$0"); do "$@" & pids="$pids $!"; done; '
              'for p in $pids; do wait "$p" || exit 1; done')
    return ["sh", "-c", script, str(copies), *map(str, command)]


def threaded_pair(group, name, size, ours, peer, threads, one_thread_target, peer_name="7zz t"):
    """Ours and the peer on one thread and on every core, with the targets of
    every-core decoding: 1.8x our own one thread, and the peer's speed. Beside
    them, one single-thread run per core at the same time: the scaling the
    machine itself gave this run, which other jobs' load or shared caches
    can hold far below the number of cores."""
    n = "%d threads" % threads
    control = "ours, 1 thread, %d at once" % threads
    return Measurement(group, name, size, [
        Contender("ours, 1 thread", ours(1)), Contender("ours, " + n, ours(threads)),
        Contender(peer_name + ", 1 thread", peer(1)), Contender(peer_name + ", " + n, peer(threads)),
        Contender(control, at_once(threads, ours(1))),
    ], [
        Comparison(control, "ours, 1 thread", work=threads, target="the machine's own scaling"),
        Comparison("ours, 1 thread", peer_name + ", 1 thread", one_thread_target,
                   target="1 thread >= %.2fx %s" % (one_thread_target, peer_name)
                   if one_thread_target else ""),
        Comparison("ours, " + n, "ours, 1 thread", 1.8, target="every core >= 1.8x our 1 thread"),
        Comparison("ours, " + n, peer_name + ", " + n, 1.0, target="every core >= 1.0x " + peer_name),
    ])


def codec_measurements(c, threads, codec_bench, work):
    cb = [str(codec_bench)]
    size = (c / "codec.bin").stat().st_size
    lzma2_block = corpus_sizes(c).lzma2_block
    mixed = tree_bytes(c / "mixed")
    streams = c / "inflate.streams"

    def seven_t(archive):
        return lambda t: ["7zz", "t", "-bso0", "-bsp0", "-mmt=%d" % t, str(archive)]

    def ours_t(archive):
        return lambda t: cb + ["test", str(archive), str(t)]

    def in_memory(archive, name):
        return Measurement("codecs", name, size, [
            Contender("ours", cb + ["lzma", "ours", str(archive)], internal=True),
            Contender("liblzma", cb + ["lzma", "liblzma", str(archive)], internal=True),
        ], [Comparison("ours", "liblzma")])

    def single(archive, name, target):
        return Measurement("codecs", name, size, [
            Contender("ours", ours_t(archive)(1)), Contender("7zz t", seven_t(archive)(1))],
            [Comparison("ours", "7zz t", target, target=">= %.2fx 7zz t" % target)])

    pack = work / "pack"
    n = "%d threads" % threads

    def ours_pack(t):
        return Contender("ours, %d thread%s" % (t, "s" if t > 1 else ""),
                         cb + ["pack", str(c / "mixed"), str(pack / ("ours%d.zip" % t)), str(t)],
                         output=pack / ("ours%d.zip" % t), scratch=pack / ("ours%d" % t))

    def seven_pack(t):
        return Contender("7zz a -mx5, %d thread%s" % (t, "s" if t > 1 else ""), in_folder(
            c / "mixed", "7zz", "a", "-tzip", "-mx5", "-mmt=%d" % t, "-bso0", "-bsp0",
            pack / ("7zz%d.zip" % t), "."), output=pack / ("7zz%d.zip" % t))

    pack.mkdir(parents=True, exist_ok=True)
    return [
        Measurement("codecs", "Inflate, mixed corpus (zlib -6 streams)", inflate_bytes(streams), [
            Contender(name, cb + ["inflate", name, str(streams)], internal=True)
            for name in ("ours", "zlib", "libdeflate")
        ], [Comparison("ours", "zlib", 2.0, target=">= 2x zlib"),
            Comparison("ours", "libdeflate", 0.9, target=">= 0.9x libdeflate")]),
        # What archive level 5 asks of the encoder, beside the peers' same level.
        Measurement("codecs", "Deflate, level 6, mixed tree (each file whole)", mixed, [
            Contender(name, cb + ["deflate", name, "6", str(c / "mixed"),
                                  str(pack / ("deflate-%s" % name))],
                      internal=True, output=pack / ("deflate-%s" % name))
            for name in ("ours", "zlib", "libdeflate")
        ], [Comparison("ours", "zlib"), Comparison("ours", "libdeflate")]),
        single(c / "codec/lzma.7z", "LZMA, 1 thread", 1.0),
        in_memory(c / "codec/lzma.7z", "LZMA stream in memory"),
        threaded_pair("codecs", "LZMA2 multi-block (%d MiB blocks)" % (lzma2_block >> 20), size,
                      ours_t(c / "codec/lzma2.7z"), seven_t(c / "codec/lzma2.7z"), threads, 1.0),
        in_memory(c / "codec/lzma2.7z", "LZMA2 stream in memory, 1 thread"),
        single(c / "codec/ppmd.7z", "PPMd H (7z), 1 thread", 0.95),
        single(c / "codec/ppmd.zip", "PPMd I (ZIP), 1 thread", 0.95),
        threaded_pair("codecs", "BZip2", size, ours_t(c / "codec/bzip2.7z"),
                      seven_t(c / "codec/bzip2.7z"), threads, 0.95),
        threaded_pair("codecs", "ZIP extraction, Deflate, mixed tree", mixed,
                      ours_t(c / "codec/deflate.zip"), seven_t(c / "codec/deflate.zip"), threads,
                      None),
        Measurement("codecs", "ZIP packing, level 5, mixed tree", mixed, [
            ours_pack(1), ours_pack(threads), seven_pack(1), seven_pack(threads),
            Contender("zip -5", in_folder(c / "mixed", "zip", "-5", "-r", "-q", pack / "zip.zip",
                                          "."), output=pack / "zip.zip"),
        ], [
            Comparison("ours, 1 thread", "7zz a -mx5, 1 thread", 4.0, 1.02,
                       ">= 4x 7zz at 1 thread, size <= +2%"),
            Comparison("ours, " + n, "7zz a -mx5, " + n, 4.0, 1.02,
                       ">= 4x 7zz at every core, size <= +2%"),
            Comparison("ours, 1 thread", "zip -5"),
        ]),
    ]


def program_measurements(c, threads, wine, dist, floor, work):
    vantle = wine + [str(dist / "Vantle.exe")]
    small_bytes = tree_bytes(c / "small")
    files = sum(1 for _ in (c / "small").rglob("*") if _.is_file())
    floor_target = Comparison("Vantle", "floor", 1 / 1.5, target="time <= 1.5x the floor")
    peer_target = Comparison("Vantle", "7zz x", 0.5, target="time <= 2x 7zz x")

    def extraction(name, archive, size, comparisons, manifest=None, peers=("7zz x", "bsdtar -x")):
        folder = work / archive.stem
        contenders = [Contender("Vantle", vantle + ["--headless-extract",
                                                    dos(folder / "vantle" / archive.name)],
                                wine=True, scratch=folder / "vantle", linked=archive)]
        if manifest:
            contenders.append(Contender("floor", wine + [str(floor), "write", dos(manifest),
                                                         dos(folder / "floor" / "out")],
                                        wine=True, scratch=folder / "floor"))
        commands = {
            "7zz x": ["7zz", "x", "-y", "-bso0", "-bsp0", "-mmt=%d" % threads,
                      "-o" + str(folder / "7zz"), str(archive)],
            "unzip": ["unzip", "-q", "-o", str(archive), "-d", str(folder / "unzip")],
            "bsdtar -x": ["bsdtar", "-x", "-f", str(archive), "-C", str(folder / "bsdtar")],
        }
        for peer in peers:
            contenders.append(Contender(peer, commands[peer],
                                        scratch=folder / peer.split()[0]))
        others = [Comparison("Vantle", peer) for peer in peers
                  if all(peer != x.baseline for x in comparisons)]
        return Measurement("programs", name, size, contenders, comparisons + others)

    def packing(name, folder, size, peers):
        out = work / ("pack-" + folder.name)
        contenders = [
            Contender("Vantle", vantle + ["--headless-pack", dos(folder)], wine=True,
                      output=folder.parent / (folder.name + ".zip")),
            Contender("floor", wine + [str(floor), "read", dos(folder), dos(out / "floor" / "all")],
                      wine=True, scratch=out / "floor"),
            Contender("7zz a -mx5", in_folder(folder.parent, "7zz", "a", "-tzip", "-mx5",
                                              "-mmt=%d" % threads, "-bso0", "-bsp0",
                                              out / "7zz.zip", folder.name),
                      output=out / "7zz.zip"),
        ]
        if "zip -5" in peers:
            contenders.append(Contender("zip -5", in_folder(folder.parent, "zip", "-5", "-r", "-q",
                                                            out / "zip.zip", folder.name),
                                        output=out / "zip.zip"))
        out.mkdir(parents=True, exist_ok=True)
        comparisons = [Comparison("Vantle", "floor", 1 / 1.5, target="time <= 1.5x the floor")
                       if "floor target" in peers else Comparison("Vantle", "floor"),
                       Comparison("Vantle", "7zz a -mx5")]
        if "zip -5" in peers:
            comparisons.append(Comparison("Vantle", "zip -5"))
        return Measurement("programs", name, size, contenders, comparisons)

    p = c / "programs"
    manifest = c / "small.manifest"
    folder_bytes = sum(size for size, path in read_manifest(manifest)
                       if int(path.split("/")[1][1:]) < corpus_sizes(c).many_folders)
    return [
        extraction("ZIP extract, %d small files" % files, p / "small.zip", small_bytes,
                   [floor_target], manifest, ("7zz x", "unzip", "bsdtar -x")),
        extraction("7z extract, %d small files, solid" % files, p / "small.7z", small_bytes,
                   [floor_target], manifest),
        extraction("7z extract, solid text and binaries", p / "solid.7z",
                   tree_bytes(c / "mixed"), []),
        extraction("7z extract, many LZMA2 folders", p / "folders.7z", folder_bytes,
                   [peer_target]),
        extraction("7z extract, many BZip2 folders", p / "bzip2-folders.7z", folder_bytes,
                   [peer_target]),
        extraction("ZIP extract, many BZip2 entries", p / "bzip2.zip", folder_bytes,
                   [peer_target], peers=("7zz x", "unzip", "bsdtar -x")),
        packing("Pack %d small files" % files, c / "small", small_bytes,
                ("floor target", "zip -5")),
        packing("Pack one big file", c / "big", tree_bytes(c / "big"), ()),
    ]


def read_manifest(path):
    for line in Path(path).read_text().splitlines():
        size, relative = line.split("\t", 1)
        yield int(size), relative


def corpus_sizes(root):
    return corpus.Sizes(**json.loads((root / "stamp.json").read_text())["sizes"])


def part_timing(c, wine, repo, work, env):
    """Where a 20,000-file extraction's time goes: publishing and folder
    guarding measured on their own (bench/windows/pipeline_phases.cpp)."""
    program = work / "phases-program"
    program.mkdir(parents=True, exist_ok=True)
    for name in ("bin/pipeline_phases.exe", "dist/Cindral.Engine.dll"):
        shutil.copy(repo / "build" / name, program)
    result = subprocess.run(wine + [str(program / "pipeline_phases.exe"),
                                    dos(c / "programs" / "small.zip"), dos(work / "phases")],
                            env=env, capture_output=True, text=True)
    return (result.stdout + result.stderr).strip()


def first_line(command):
    try:
        output = subprocess.run(command, capture_output=True, text=True).stdout
    except OSError:
        return "missing"
    return next((line.strip() for line in output.splitlines() if line.strip()), "")


def machine(threads):
    model = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                  if line.startswith("model name")), platform.processor())
    return {
        "cpu": model,
        "cores": os.cpu_count(),
        "threads": threads,
        "kernel": platform.release(),
        "memory_gib": round(os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30, 1),
        "7zz": first_line(["7zz"]),
        "wine": first_line([os.environ.get("CINDRAL_WINE", "wine64"), "--version"]),
    }


def main(argv):
    repo, out = Path(argv[0]).resolve(), Path(argv[1]).resolve()
    options = [a for a in argv[2:] if a.startswith("--")]
    quick = "--quick" in options
    runs = next((int(o.split("=")[1]) for o in options if o.startswith("--runs=")),
                3 if quick else 5)
    groups = [a for a in argv[2:] if not a.startswith("--")] or ["codecs", "programs"]
    sizes = corpus.QUICK if quick else corpus.FULL
    c = out / "corpus" / ("quick" if quick else "full")
    work = out / "work"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    log = lambda text: print(text, flush=True)
    log("corpus: %s" % c)
    corpus.ensure(c, sizes)

    threads = os.cpu_count()
    env = dict(os.environ)
    wine = [os.environ.get("CINDRAL_WINE", "/usr/lib/wine/wine64")]
    results = {
        "mode": "quick" if quick else "full",
        "runs": runs,
        "started": time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime()),
        "machine": machine(threads),
        "load_start": [round(x, 2) for x in os.getloadavg()],
        "corpus": vars(sizes),
        "measurements": [],
        "notes": {},
    }
    plan = []
    if "codecs" in groups:
        plan += codec_measurements(c, threads, repo / "build-native/bench/codec_bench", work)
    if "programs" in groups:
        plan += program_measurements(c, threads, wine, repo / "build/dist",
                                     repo / "build/bin/file_floor.exe", work)
    scratch_out = work / "process-output"
    scratch_out.mkdir()

    def save(finished):
        # After every measurement, so that a run cut short still reports.
        results["load_end"] = [round(x, 2) for x in os.getloadavg()]
        results["finished"] = time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime()) + (
            "" if finished else ", incomplete: %d of %d measurements" % (
                len(results["measurements"]), len(plan)))
        (out / "results.json").write_text(json.dumps(results, indent=1))

    for measurement in plan:
        results["measurements"].append(measure(measurement, runs, env, scratch_out, log))
        save(finished=False)
    if "programs" in groups:
        results["notes"]["part timing"] = part_timing(c, wine, repo, work, env)
        log(results["notes"]["part timing"])
    save(finished=True)
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main(sys.argv[1:])
