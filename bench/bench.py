#!/usr/bin/python3
"""Benchmarks of the installer, printed as one table.

    bench/bench.py BUILD_DIR [--quick] [--only install|growth|idle|launch|startup|keyboard]

CORVANE_BENCH_INSTALLER names another command for the installer (the emulated one of a
cross build: BUILD_DIR/tests/emulated/corvane-installer).

Every figure is the median of several runs, with min and max; every comparison is a
ratio measured in the same run, the two sides alternating, each on a fresh copy of the
same tree. An installation is timed as the user waits for it: the whole installer
process from its start to its end, on a device without a stick (so it installs, finds
the stick gone, starts the terminal application and ends). Times come from this
script's monotonic clock around the child process, or from the programs' own clocks.
"""

import ctypes
import os
import struct
import threading
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build-release")
QUICK = "--quick" in sys.argv
ONLY = sys.argv[sys.argv.index("--only") + 1] if "--only" in sys.argv else None
REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
INSTALLER = os.environ.get("CORVANE_BENCH_INSTALLER") or os.path.join(BUILD, "shell", "corvane-installer")
KEYBOARD_BENCH = os.path.join(BUILD, "bench", "bench_keyboard")
MAKE_DEVICE = os.path.join(REPO, "tools", "make-device.sh")
ENCRYPT = os.path.join(BUILD, "tools", "corvane-encrypt")
WORK = tempfile.mkdtemp(prefix="corvane-bench-", dir=os.environ.get("BENCH_DIR", "/var/tmp"))

rows = []


def row(name, values, unit, goal=None, ok=None, fmt="{:.1f}"):
    med = statistics.median(values)
    rows.append((name, fmt.format(med), fmt.format(min(values)), fmt.format(max(values)), unit,
                 goal or "", "" if ok is None else ("met" if ok(med, values) else "MISSED")))
    print(f"  {name}: {fmt.format(med)} {unit}", flush=True)


def env(root, **extra):
    e = dict(os.environ, CORVANE_DEVICE_ROOT=root, QT_QPA_PLATFORM="offscreen",
             CORVANE_ENCRYPT_TOOL=ENCRYPT)
    e.update(extra)
    return e


def write(path, size, seed):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    block = (bytes([seed % 251]) + os.urandom(4095))
    with open(path, "wb") as f:
        left = size
        while left > 0:
            n = min(left, len(block) * 256)
            f.write((block * 256)[:n])
            left -= n


def lay_out(root, files):
    """An installation and an update of the same shape: many files of 1 to 20 KB in
    nested folders and a few of 10 to 50 MB (about 200 MB for 2,000 files), half of
    them in the system folder and half in the application folder."""
    rnd = random.Random(files)
    big = max(1, files // 400)
    small = files - big
    fd = os.path.join(root, "FlashDisk")
    subprocess.run([MAKE_DEVICE, root], check=True, env=env(root), stdout=subprocess.DEVNULL)
    for part, share in (("System", small // 2), ("Corvane", small - small // 2)):
        for i in range(share):
            rel = f"d{i % 17}/e{i % 7}/f{i}.dat"
            size = rnd.randint(1024, 20 * 1024)
            write(os.path.join(fd, "Corvane_Installer", part, rel), size, i)
            if i % 2 == 0:  # half of them replace an installed file
                write(os.path.join(fd, part, rel), size // 2 + 1, i + 1)
    for i in range(big):
        part = ("System", "Corvane")[i % 2]
        size = (10 + (i * 37) % 41) * 1024 * 1024
        write(os.path.join(fd, "Corvane_Installer", part, "media", f"big{i}.bin"), size, i)
        write(os.path.join(fd, part, "media", f"big{i}.bin"), 4096, i)
    shutil.rmtree(stick(root))  # the run ends on its own: no stick to wait for
    return {part: sum(os.path.getsize(os.path.join(d, f))
                      for d, _, fs in os.walk(os.path.join(fd, "Corvane_Installer", part)) for f in fs)
            for part in ("System", "Corvane")}


def fresh_copy(template):
    work = os.path.join(WORK, "run")
    if os.path.exists(work):
        shutil.rmtree(work)
    subprocess.run(["cp", "-a", template, work], check=True)
    subprocess.run(["sync"], check=True)
    return work


def timed(cmd, **kw):
    """Runs a command to its end: wall milliseconds and the child's resource usage."""
    t = time.monotonic()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw)
    _, status, usage = os.wait4(proc.pid, 0)
    ms = (time.monotonic() - t) * 1000.0
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise SystemExit(f"{cmd[0]} failed with {proc.returncode}")
    return ms, usage


def installer_run(work, **kw):
    return timed([INSTALLER], env=env(work), **kw)


def cp_run(work):
    fd = os.path.join(work, "FlashDisk")
    return timed(["sh", "-c", 'cp -a "$0/Corvane_Installer/System/." "$0/System/" && '
                  'cp -a "$0/Corvane_Installer/Corvane/." "$0/Corvane/" && sync && '
                  'rm -rf "$0/Corvane_Installer/Corvane"', fd])


def rsync_run(work):
    fd = os.path.join(work, "FlashDisk")
    return timed(["sh", "-c", 'rsync -a "$0/Corvane_Installer/System/" "$0/System/" && '
                  'rsync -a "$0/Corvane_Installer/Corvane/" "$0/Corvane/" && sync && '
                  'rm -rf "$0/Corvane_Installer/Corvane"', fd])


class JournalWatch(threading.Thread):
    """Times the switch from outside: the journal's arrival in the work folder and its
    removal, seen through inotify."""
    IN_MOVED_TO, IN_DELETE = 0x80, 0x200

    def __init__(self, folder):
        super().__init__(daemon=True)
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK)
        os.makedirs(folder, exist_ok=True)
        self.libc.inotify_add_watch(self.fd, folder.encode(), self.IN_MOVED_TO | self.IN_DELETE)
        self.times = {}
        self.stop = False

    def run(self):
        while not self.stop and len(self.times) < 2:
            try:
                data = os.read(self.fd, 4096)
            except BlockingIOError:
                time.sleep(0.0002)
                continue
            now = time.monotonic()
            while data:
                _, mask, _, n = struct.unpack("iIII", data[:16])
                name = data[16:16 + n].rstrip(b"\0")
                data = data[16 + n:]
                if name == b"journal":
                    self.times.setdefault("named" if mask & self.IN_MOVED_TO else "removed", now)


class FreeSpaceWatch(threading.Thread):
    """The lowest free space of a file system while it runs."""

    def __init__(self, folder):
        super().__init__(daemon=True)
        self.folder, self.stop = folder, False
        self.low = self.start_free = self.free()

    def free(self):
        st = os.statvfs(self.folder)
        return st.f_bavail * st.f_frsize

    def run(self):
        while not self.stop:
            self.low = min(self.low, self.free())
            time.sleep(0.0005)


def bench_install():
    print("Installation, whole process", flush=True)
    template = os.path.join(WORK, "t2000")
    sizes = lay_out(template, 2000)
    mb = sum(sizes.values()) / 1e6
    runs = 3 if QUICK else 9
    sides = {"installer": installer_run, "cp -a + sync": cp_run}
    if shutil.which("rsync"):
        sides["rsync -a + sync"] = rsync_run
    times = {k: [] for k in sides}
    kernel = {k: [] for k in sides}
    written = []
    order = list(sides)
    for r in range(runs):
        for name in order[r % len(order):] + order[:r % len(order)]:
            ms, usage = sides[name](fresh_copy(template))
            times[name].append(ms)
            kernel[name].append(usage.ru_stime * 1000)
            if name == "installer":
                written.append(usage.ru_oublock * 512)
    row(f"installer, 2,000 files, {mb:.0f} MB (start to exit)", times["installer"], "ms")
    row("cp -a + sync + removal of the update, same tree", times["cp -a + sync"], "ms")
    ratios = [a / b for a, b in zip(times["installer"], times["cp -a + sync"])]
    row("installer / (cp -a + sync)", ratios, "x", "<= 0.75", lambda m, v: m <= 0.75, "{:.2f}")
    if "rsync -a + sync" in times:
        row("installer / (rsync -a + sync)", [a / b for a, b in zip(times["installer"],
                                                                 times["rsync -a + sync"])],
            "x", fmt="{:.2f}")
    row("kernel time, installer", kernel["installer"], "ms")
    row("kernel time, cp -a + sync", kernel["cp -a + sync"], "ms")

    peaks, windows, wholes, data = [], [], [], []
    for r in range(3):
        # What the file system's own records cost: the same run with every file of the
        # system part (the only part whose data is copied) emptied, next to the whole run.
        work = fresh_copy(template)
        for d, _, fs in os.walk(os.path.join(work, "FlashDisk", "Corvane_Installer", "System")):
            for f in fs:
                os.truncate(os.path.join(d, f), 0)
        metadata = installer_run(work)[1].ru_oublock * 512
        data.append((written[r] - metadata) / sizes["System"])
        work = fresh_copy(template)
        space = FreeSpaceWatch(work)
        journal = JournalWatch(os.path.join(work, "FlashDisk", ".corvane-install"))
        space.start()
        journal.start()
        ms, _ = installer_run(work)
        space.stop = journal.stop = True
        space.join()
        journal.join()
        peaks.append((space.start_free - space.low) / 1e6)
        if len(journal.times) == 2:
            windows.append((journal.times["removed"] - journal.times["named"]) * 1000)
            wholes.append(ms)
    row(f"bytes written / system folder ({sizes['System'] / 1e6:.0f} MB), without metadata", data, "x",
        "<= 1.1", lambda m, v: m <= 1.1, "{:.2f}")
    row(f"bytes written, metadata included", [w / 1e6 for w in written], "MB")
    row(f"extra disk space at the peak (update: {mb:.0f} MB)", peaks, "MB")
    if windows:
        row("switch (journal written to journal removed)", windows, "ms", fmt="{:.1f}")
        row("switch / whole installation", [w / t * 100 for w, t in zip(windows, wholes)], "%", fmt="{:.1f}")
    shutil.rmtree(template)
    dd = []
    target = os.path.join(WORK, "dd.bin")
    for _ in range(3):
        ms, _ = timed(["dd", "if=/dev/zero", f"of={target}", "bs=1M", "count=256", "conv=fsync"])
        dd.append(256 * 1.048576 / (ms / 1000))
        os.remove(target)
    row("disk sequential write (dd, conv=fsync)", dd, "MB/s")


def bench_growth():
    print("Growth", flush=True)
    per_file = {}
    for files in (500, 2000, 8000):
        template = os.path.join(WORK, f"g{files}")
        lay_out(template, files)
        values = [installer_run(fresh_copy(template))[0] / files for _ in range(3)]
        per_file[files] = statistics.median(values)
        row(f"installer per file, {files:,} files (start to exit)", values, "ms/file", fmt="{:.3f}")
        shutil.rmtree(template)
    ratio = per_file[8000] / per_file[500]
    row("per-file time 8,000 / 500 files", [ratio], "x", "flat (<= 1.5)", lambda m, v: m <= 1.5, "{:.2f}")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wait_for_line(log, text, proc, timeout=30):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        try:
            with open(log, errors="replace") as f:
                if text in f.read():
                    return True
        except FileNotFoundError:
            pass
        if proc.poll() is not None:
            return False
        time.sleep(0.001)
    return False


def device(name, *options):
    root = os.path.join(WORK, name)
    if os.path.exists(root):
        shutil.rmtree(root)
    subprocess.run([MAKE_DEVICE, root, *options], check=True, env=env(root), stdout=subprocess.DEVNULL)
    return root


def stick(root):
    return os.path.join(root, "USB HD", "Corvane_Installer")


def pull(root):
    os.rename(stick(root), os.path.join(root, "pulled-stick"))


def bench_idle():
    print("Idle cost", flush=True)
    seconds = 3 if QUICK else 10
    for label, options, line in (
            ("password page waiting", ["--no-update", "--password", "Geheim-1"], "Enter Password..."),
            ("stick watch polling", ["--no-update"], "delete installer directory")):
        values = []
        for trial in range(3):
            root = device("idle", *options)
            proc = subprocess.Popen([INSTALLER], env=env(root), stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
            if not wait_for_line(os.path.join(stick(root), "log.txt"), line, proc):
                proc.kill()
                raise SystemExit(f"installer did not reach '{line}'")
            time.sleep(0.5)
            c0, t0 = cpu_seconds(proc.pid), time.monotonic()
            time.sleep(seconds)
            c1, t1 = cpu_seconds(proc.pid), time.monotonic()
            values.append((c1 - c0) / (t1 - t0) * 100)
            proc.kill()
            proc.wait()
        row(f"CPU, {label} ({seconds} s)", values, "% of a core", "<= 1 %", lambda m, v: m <= 1.0, "{:.2f}")


def bench_launch():
    print("Stick removal to launch", flush=True)
    values = []
    trials = 10 if QUICK else 20
    for trial in range(trials):
        root = device("launch", "--no-update", "--launcher")
        exe = os.path.join(root, "FlashDisk", "Corvane", "Corvane.exe")
        with open(exe, "w") as f:  # records its own start time
            f.write("#!/bin/sh\ndate +%s.%N > \"$(dirname \"$0\")/../../started\"\n")
        os.chmod(exe, 0o755)
        proc = subprocess.Popen([INSTALLER], env=env(root), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        if not wait_for_line(os.path.join(stick(root), "log.txt"), "delete installer directory", proc):
            proc.kill()
            raise SystemExit("installer did not reach the stick watch")
        time.sleep(random.Random(trial).uniform(0.05, 0.25))
        pulled_at = time.time()
        pull(root)
        proc.wait(timeout=10)
        started = os.path.join(root, "started")
        end = time.monotonic() + 5
        while not os.path.exists(started) and time.monotonic() < end:
            time.sleep(0.001)
        time.sleep(0.01)
        with open(started) as f:
            values.append((float(f.read()) - pulled_at) * 1000)
    row(f"stick pulled -> application started ({trials} trials)", values, "ms",
        "median <= 110, max <= 200", lambda m, v: m <= 110 and max(v) <= 200)


def bench_startup():
    print("Start-up", flush=True)
    times, rss = [], []
    for trial in range(5 if QUICK else 10):
        root = device("startup", "--no-update")
        t = time.monotonic()
        proc = subprocess.Popen([INSTALLER], env=env(root), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        # The line follows the first screen: it is logged right after the screen is drawn.
        if not wait_for_line(os.path.join(stick(root), "log.txt"), "delete installer directory", proc):
            raise SystemExit("installer did not show its screen")
        times.append((time.monotonic() - t) * 1000)
        proc.kill()
        proc.wait()
    row("process start -> first screen (offscreen)", times, "ms", "<= 300", lambda m, v: m <= 300)
    for trial in range(3):
        root = device("rss", "--big-system-file", "64")  # copied, not moved
        proc = subprocess.Popen([INSTALLER], env=env(root), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        wait_for_line(os.path.join(stick(root), "log.txt"), "delete installer directory", proc, 120)
        with open(f"/proc/{proc.pid}/status") as f:  # the high-water mark of the whole run
            peak = next(int(l.split()[1]) / 1024 for l in f if l.startswith("VmHWM:"))
        rss.append(peak)
        pull(root)
        proc.wait(timeout=10)
    row("peak resident memory, whole run", rss, "MB", "<= 80", lambda m, v: m <= 80)


def bench_keyboard():
    if not os.path.exists(KEYBOARD_BENCH):
        return
    print("Keyboard", flush=True)
    out = subprocess.run([KEYBOARD_BENCH, "1000"], check=True, env=env(WORK), capture_output=True,
                         text=True)
    values = [float(v) for v in out.stdout.split()]
    row("tap -> character in the line edit (1,000 taps)", values, "ms", "median < 2",
        lambda m, v: m < 2, "{:.3f}")


def main():
    print(f"Machine: {os.cpu_count()} cores, "
          f"{os.sysconf('SC_PAGE_SIZE') * os.sysconf('SC_PHYS_PAGES') / 2**30:.0f} GiB, "
          f"{os.uname().sysname} {os.uname().release}; work folder {WORK}", flush=True)
    try:
        for name, bench in (("install", bench_install), ("growth", bench_growth),
                            ("idle", bench_idle), ("launch", bench_launch),
                            ("startup", bench_startup), ("keyboard", bench_keyboard)):
            if ONLY in (None, name):
                bench()
    finally:
        shutil.rmtree(WORK, ignore_errors=True)
    print()
    head = ("figure", "median", "min", "max", "unit", "goal", "")
    widths = [max(len(str(r[i])) for r in rows + [head]) for i in range(len(head))]
    for r in [head] + rows:
        print("| " + " | ".join(str(c).ljust(w) for c, w in zip(r, widths)) + " |")


if __name__ == "__main__":
    main()
