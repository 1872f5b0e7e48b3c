#!/usr/bin/python3
"""Benchmarks of the installer, printed as one table.

    bench/bench.py BUILD_DIR [--quick] [--only SECTION[,SECTION...]] [--fs disk|ext4|flash] [--rounds N]
                   [--cold]

SECTION is install, scenarios, signed, growth, idle, launch, startup or keyboard. CORVANE_BENCH_INSTALLER
names another command for the installer (the emulated one of a cross build:
BUILD_DIR/tests/emulated/corvane-installer).

Installations run on three file systems: this machine's disk ("disk": BENCH_DIR, default
/var/tmp), an ext4 with a journal mounted from a loop device ("ext4": BENCH_EXT4_DIR,
which bench/run.sh makes and mounts as root; BENCH_EXT4_SKIPPED says why there is none,
and the table says so in place of figures), and the same over a slow flash ("flash":
BENCH_FLASH_DIR and the rate file bench/flash.sh made, or BENCH_FLASH_SKIPPED). --fs runs
the sections that install on that file system, on it alone. --cold drops the files of
each fresh copy from the page cache before a side runs, so that both sides read them from
the file system's device, as after a restart (rows marked "[KEY, cold]").

Every figure is the median of several runs, with min and max; every comparison is a
ratio measured in the same run, the two sides alternating, each on a fresh copy of the
same tree. An installation is timed as the user waits for it: the whole installer
process from its start to its end, on a device without a stick (so it installs, finds
the stick gone, starts the terminal application and ends); beside it, the time to the
result screen of a run with the stick present, which is then pulled. Times come from
this script's monotonic clock around the child process, or from the programs' own clocks.
"""

import contextlib
import ctypes
import os
import re
import select
import stat
import struct
import threading
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def option(name, default=None):
    return sys.argv[sys.argv.index(name) + 1] if name in sys.argv else default


BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build-release")
QUICK = "--quick" in sys.argv
COLD = "--cold" in sys.argv
ONLY = option("--only", "").split(",") if option("--only") else None
FS_ONLY = option("--fs")
ROUNDS = int(option("--rounds", 0))
REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
INSTALLER = os.environ.get("CORVANE_BENCH_INSTALLER") or os.path.join(BUILD, "shell", "corvane-installer")
MANIFEST_TOOL = os.path.join(BUILD, "tools", "corvane-update-manifest")
KEYBOARD_BENCH = os.path.join(BUILD, "bench", "bench_keyboard")
MAKE_DEVICE = os.path.join(REPO, "tools", "make-device.sh")
ENCRYPT = os.path.join(BUILD, "tools", "corvane-encrypt")
WORK = tempfile.mkdtemp(prefix="corvane-bench-", dir=os.environ.get("BENCH_DIR", "/var/tmp"))
LIBC = ctypes.CDLL(None, use_errno=True)


def device_names():
    """The device's paths and file names, read from their one home in the sources."""
    with open(os.path.join(REPO, "platform", "devicefiles.h")) as f:
        return dict(re.findall(r'constexpr char (\w+)\[\] = "([^"]*)";', f.read()))


DEVICE = device_names()
# Each update folder and the installed folder it goes into.
PARTS = (("updateSystemFolder", "systemFolder"), ("updateAppFolder", "appFolder"))
RESULT_LINES = tuple("HandleEvents: InitialState: " + r for r in ("Successful.", "Nothing done.", "Failed."))


def dev(root, name):
    """A device path on the simulated device at root, as the installer maps it."""
    return root + DEVICE[name]


rows = []


def row(name, values, unit, goal=None, ok=None, fmt="{:.1f}"):
    med = statistics.median(values)
    rows.append((name, fmt.format(med), fmt.format(min(values)), fmt.format(max(values)), unit,
                 goal or "", "" if ok is None else ("met" if ok(med, values) else "MISSED")))
    print(f"  {name}: {fmt.format(med)} {unit}", flush=True)


def skipped(name, reason):
    """A line in the table in place of figures that could not be measured."""
    rows.append((f"{name}: SKIPPED: {reason}", "", "", "", "", "", ""))
    print(f"  {name}: SKIPPED: {reason}", flush=True)


def env(root, **extra):
    # Nothing held back: the installation alone is measured (the bench's application is
    # no program that could prove itself).
    e = dict(os.environ, CORVANE_DEVICE_ROOT=root, CORVANE_CONFIRM_SECONDS="0",
             QT_QPA_PLATFORM="offscreen", CORVANE_ENCRYPT_TOOL=ENCRYPT)
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


def entries(root):
    """Every entry below root as (relative path, lstat), each folder before what it holds."""
    found = []

    def visit(rel):
        for name in sorted(os.listdir(os.path.join(root, rel))):
            path = os.path.join(rel, name)
            st = os.lstat(os.path.join(root, path))
            found.append((path, st))
            if stat.S_ISDIR(st.st_mode):
                visit(path)

    visit("")
    return found


def payload(rel):
    """What lay_out itself writes into an update folder, beside the simulated device's own files."""
    return re.match(r"(d\d+|media)(/|$)", rel) is not None


def lay_out(root, files, installed="mixed"):
    """An update of many files of 1 to 20 KB in nested folders and a few of 10 to 50 MB
    (about 200 MB for 2,000 files), half of them in the system folder and half in the
    application folder; a tenth of the files are executable, each top folder holds a
    link, one has a mode of its own. The installation beside it, by `installed`:

      mixed    half of the small files there, each smaller than the update's, the other
               half new; the big ones 4 KB (an update that adds and replaces)
      full     every file of the update there, of its size, with other content; every
               link pointing elsewhere
      tenth    as the update, but a tenth of the files of each folder differ (of their
               size, other content), the system folder's smallest big file among them
      nothing  as the update, times included (what a copy with its times leaves)

    Returns the update's bytes per folder and the bytes of its files that differ from the
    installed ones (0 for mixed)."""
    rnd = random.Random(files)
    big = max(1, files // 400)
    small = files - big
    subprocess.run([MAKE_DEVICE, root], check=True, env=env(root), stdout=subprocess.DEVNULL)
    for (update, target), share in zip(PARTS, (small // 2, small - small // 2)):
        for i in range(share):
            rel = f"d{i % 17}/e{i % 7}/f{i}.dat"
            size = rnd.randint(1024, 20 * 1024)
            write(os.path.join(dev(root, update), rel), size, i)
            if i % 10 == 5:
                os.chmod(os.path.join(dev(root, update), rel), 0o755)
            if installed == "mixed" and i % 2 == 0:  # half of them replace an installed file
                write(os.path.join(dev(root, target), rel), size // 2 + 1, i + 1)
        for k in range(min(17, share)):
            os.symlink(f"e{k % 7}", os.path.join(dev(root, update), f"d{k}", "current"))
        if share > 16:
            os.chmod(os.path.join(dev(root, update), "d16"), 0o750)
    for i in range(big):
        update, target = PARTS[i % 2]
        size = (10 + (i * 37) % 41) * 1024 * 1024
        write(os.path.join(dev(root, update), "media", f"big{i}.bin"), size, i)
        if installed == "mixed":
            write(os.path.join(dev(root, target), "media", f"big{i}.bin"), 4096, i)
    shutil.rmtree(stick(root))  # the run ends on its own: no stick to wait for
    changed = 0 if installed == "mixed" else lay_out_installation(root, installed)
    # A device has the installer's work folder and lock: the recovery at boot makes them.
    subprocess.run([INSTALLER, "--recover-only"], check=True, env=env(root),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    sizes = {update: sum(st.st_size for _, st in entries(dev(root, update)) if stat.S_ISREG(st.st_mode))
             for update, _ in PARTS}
    return sizes, changed


def lay_out_installation(root, how):
    """Makes the installed folders equal to the update's (the same bytes, modes, links and
    folders, the files' times a day older, as after an earlier copy, or the same times for
    nothing), but for what `how` makes differ (see lay_out). Returns the bytes of the
    update's files that differ."""
    changed = 0
    day = 0 if how == "nothing" else 86400 * 10**9
    for update, target in PARTS:
        items = entries(dev(root, update))
        files = [rel for rel, st in items if stat.S_ISREG(st.st_mode)]
        differ = set()
        if how == "full":
            differ = set(files)
        elif how == "tenth":
            picked = []
            if update == "updateSystemFolder":
                picked = sorted((st.st_size, rel) for rel, st in items if rel.startswith("media/"))[:1]
                picked = [rel for _, rel in picked]
            candidates = [rel for rel in files if re.match(r"d\d+/", rel)]  # the small ones
            picked += random.Random(update).sample(candidates, round(len(files) / 10) - len(picked))
            differ = set(picked)
        for rel, st in items:
            src, dst = os.path.join(dev(root, update), rel), os.path.join(dev(root, target), rel)
            if stat.S_ISDIR(st.st_mode):
                os.makedirs(dst, exist_ok=True)
                os.chmod(dst, stat.S_IMODE(st.st_mode))
                continue
            if os.path.lexists(dst):
                os.remove(dst)
            if stat.S_ISLNK(st.st_mode):
                link = os.readlink(src)
                os.symlink(link + ".old" if how == "full" else link, dst)
                os.utime(dst, ns=(st.st_atime_ns - day, st.st_mtime_ns - day),
                         follow_symlinks=False)
                continue
            if rel in differ:
                with open(src, "rb") as f:
                    first = f.read(1)[0]
                write(dst, st.st_size, first + 1)  # its first byte differs, and the rest
                changed += st.st_size
            else:
                shutil.copyfile(src, dst)
            os.chmod(dst, stat.S_IMODE(st.st_mode))
            os.utime(dst, ns=(st.st_atime_ns - day, st.st_mtime_ns - day))
    return changed


def check_installed(work, template):
    """The installed folders of a run hold the update's payload as the template has it:
    every file byte for byte, every link and mode. A fast run must be a right one too."""
    for update, target in PARTS:
        for rel, st in entries(dev(template, update)):
            if not payload(rel):
                continue
            want, got = os.path.join(dev(template, update), rel), os.path.join(dev(work, target), rel)
            try:
                have = os.lstat(got)
            except FileNotFoundError:
                raise SystemExit(f"not installed: {got}")
            if stat.S_IFMT(have.st_mode) != stat.S_IFMT(st.st_mode) or (
                    not stat.S_ISLNK(st.st_mode) and stat.S_IMODE(have.st_mode) != stat.S_IMODE(st.st_mode)):
                raise SystemExit(f"installed with another type or mode: {got}")
            if stat.S_ISLNK(st.st_mode) and os.readlink(want) != os.readlink(got):
                raise SystemExit(f"installed link points elsewhere: {got}")
            if stat.S_ISREG(st.st_mode) and not same_bytes(want, got):
                raise SystemExit(f"installed file differs from the update: {got}")


def same_bytes(a, b):
    if os.path.getsize(a) != os.path.getsize(b):
        return False
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            x, y = fa.read(1 << 20), fb.read(1 << 20)
            if x != y:
                return False
            if not x:
                return True


class FileSystem:
    """Where installations run, and how the bytes they write are counted there: from the
    block device's own counters where the file system has a device to itself (the loop
    device), else from the write accounting of the process and the children it waited
    for (what /proc/PID/io calls write_bytes), since the machine's disk is shared.
    A slow flash (rate_file) is filled at full speed and runs the timed sides at its rate."""

    def __init__(self, key, label, work=None, reason=None, counters=False, rounds=(3, 9),
                 rate_file=None):
        self.key, self.label, self.work, self.reason = key, label, work, reason
        self.rounds = rounds[0] if QUICK else rounds[1]
        self.rate_file = rate_file if work else None
        self.mark = f"[{key}, cold]" if COLD else f"[{key}]"
        self.stat = None
        if self.work and counters:
            st = os.stat(self.work)
            path = f"/sys/dev/block/{os.major(st.st_dev)}:{os.minor(st.st_dev)}/stat"
            if os.path.exists(path):
                self.stat = path
        self.counting = "device counters" if self.stat else "process accounting"

    def sectors_written(self):
        with open(self.stat) as f:
            return int(f.read().split()[6])

    def sync(self):
        fd = os.open(self.work, os.O_RDONLY | os.O_DIRECTORY)
        try:
            LIBC.syncfs(fd)
        finally:
            os.close(fd)

    def throttle(self, on):
        """The flash's rate (bits per second, as bench/flash.sh set it) or full speed;
        the filter reads its file at each request."""
        if self.rate_file:
            bits = os.environ["BENCH_FLASH_RATE_BITS" if on else "BENCH_FLASH_UNLIMITED_BITS"]
            with open(self.rate_file + ".new", "w") as f:
                f.write(bits + "\n")
            os.replace(self.rate_file + ".new", self.rate_file)

    @contextlib.contextmanager
    def limited(self):
        self.throttle(True)
        try:
            yield
        finally:
            self.throttle(False)

    def fresh_copy(self, template):
        """fresh_copy on this file system, at full speed; on the flash its freed blocks are
        then given back (fstrim), so that the memory behind it holds only what is in use."""
        work = fresh_copy(template, self.work)
        if self.rate_file:
            subprocess.run(["fstrim", self.work], check=False, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        if COLD:
            evict(work)
        return work

    def run(self, side, work):
        """Runs one side on work: wall ms, bytes written, the rusage of the side (children
        included) and ms of the flush of what it left unwritten. On a device of its own
        the file system is flushed right before the first reading of the counters and
        right before the second, so that what the side left in memory is counted too.
        self.machine_ms is then the whole machine's CPU time meanwhile (kernel threads
        included: the flush of what the side wrote runs in them, not in the side)."""
        if not self.stat:
            ms, usage = side(work)
            return ms, usage.ru_oublock * 512, usage, 0.0
        self.sync()
        with self.limited():
            before, busy = self.sectors_written(), machine_busy_ms()
            ms, usage = side(work)
            t = time.monotonic()
            self.sync()
            flushed = (time.monotonic() - t) * 1000
            self.machine_ms = machine_busy_ms() - busy
            return ms, (self.sectors_written() - before) * 512, usage, flushed


def machine_busy_ms():
    """CPU time of the whole machine since its start (all but idle and I/O wait), in ms."""
    with open("/proc/stat") as f:
        ticks = [int(v) for v in f.readline().split()[1:]]
    return (sum(ticks) - ticks[3] - ticks[4]) * 1000 / os.sysconf("SC_CLK_TCK")


def mounted(key, name, missing, label, **options):
    """A file system bench/run.sh mounted as root (BENCH_NAME_DIR, BENCH_NAME_DIRECT: 1 where
    its loop device does direct I/O), or the reason there is none (BENCH_NAME_SKIPPED)."""
    folder = os.environ.get(f"BENCH_{name}_DIR")
    reason = os.environ.get(f"BENCH_{name}_SKIPPED") or (None if folder else missing)
    work = tempfile.mkdtemp(prefix="corvane-bench-", dir=folder) if not reason else None
    cache = "direct I/O" if os.environ.get(f"BENCH_{name}_DIRECT") == "1" else "through this machine's cache"
    return FileSystem(key, label.format(cache=cache), work, reason, counters=True, **options)


def file_systems():
    # Fewer rounds on the disk: a copy of the tree there takes seconds, and the goals are
    # judged on the ext4.
    found = [FileSystem("disk", "this machine's disk", WORK, rounds=(2, 3))]
    if FS_ONLY in (None, "ext4"):
        found.append(mounted("ext4", "EXT4", "no loop-mounted ext4 (bench/run.sh mounts one when run as root)",
                             "ext4 with a journal on a loop device ({cache})"))
    if FS_ONLY in (None, "flash"):
        # Fewer rounds: each side writes at the flash's rate (a full copy takes 5 s at 40 MB/s),
        # which varies little from run to run.
        rate = os.environ.get("BENCH_FLASH_RATE", "?")
        found.append(mounted("flash", "FLASH", "no flash (bench/run.sh makes one with bench/flash.sh as root)",
                             "ext4 with a journal on a loop device ({cache}) over nbdkit's memory plugin "
                             f"behind its rate filter at {rate} bytes/s", rounds=(3, 5),
                             rate_file=os.environ.get("BENCH_FLASH_RATE_FILE")))
    return [fs for fs in found if FS_ONLY in (None, fs.key)]


FILE_SYSTEMS = []


def evict(root):
    """Drops the (flushed) pages of every file below root from the page cache, as after a
    restart, so that a run reads them from the disk. Folders and inodes stay cached."""
    for rel, st in entries(root):
        if stat.S_ISREG(st.st_mode):
            fd = os.open(os.path.join(root, rel), os.O_RDONLY | os.O_NOATIME)
            try:
                os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
            finally:
                os.close(fd)


def fresh_copy(template, base=WORK):
    """A copy of template to run on, on disk. The previous one is removed meanwhile (a
    removal on this machine's disk takes seconds); both are done before it is used."""
    work, old = os.path.join(base, "run"), os.path.join(base, "old-run")
    removal = None
    if os.path.exists(work):
        os.rename(work, old)
        removal = threading.Thread(target=shutil.rmtree, args=(old,))
        removal.start()
    subprocess.run(["cp", "-a", template, work], check=True)
    if removal:
        removal.join()
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


def copy_command(tool):
    """tool (cp -a or rsync -a) over both installed folders, sync, and removal of the
    update's application folder, as one shell command on a device root."""
    steps = " && ".join(f'{tool} "$0{dev("", u)}/{"" if tool.startswith("rsync") else "."}" "$0{dev("", t)}/"'
                        for u, t in PARTS)
    return ["sh", "-c", f'{steps} && sync && rm -rf "$0{dev("", "updateAppFolder")}"']


def cp_run(work):
    return timed(copy_command("cp -a") + [work])


# A yardstick for the bytes of a partial update: a bare copy that knows what differs copies
# those files in place (no staging, no journal, nothing a power cut would survive), sets
# the times of the equal ones, syncs and removes the update's application folder.
LEAST = r"""
import os, shutil, subprocess, sys
work, parts = sys.argv[1], sys.argv[2:]
def opened(path, flags=0):  # read without touching access times, as the installer does
    return os.open(path, os.O_RDONLY | os.O_NOATIME | flags)
def content(path):
    fd = opened(path)
    try:
        return b"".join(iter(lambda: os.read(fd, 1 << 20), b""))
    finally:
        os.close(fd)
def walk(folder):
    fd = opened(folder, os.O_DIRECTORY)
    try:
        entries = list(os.scandir(fd))
    finally:
        os.close(fd)
    for e in entries:
        path = os.path.join(folder, e.name)
        if e.is_dir(follow_symlinks=False):
            yield from walk(path)
        elif e.is_file(follow_symlinks=False):
            yield path
for update, target in zip(parts[::2], parts[1::2]):
    for source in walk(work + update):
        there = work + target + source[len(work + update):]
        st, now = os.stat(source), os.stat(there)
        if st.st_size == now.st_size and content(source) == content(there):
            if (st.st_atime_ns, st.st_mtime_ns) != (now.st_atime_ns, now.st_mtime_ns):
                os.utime(there, ns=(st.st_atime_ns, st.st_mtime_ns))
        else:
            shutil.copy2(source, there)
subprocess.run(["sync"], check=True)
shutil.rmtree(work + parts[2])
"""


def least_run(work):
    return timed([sys.executable, "-c", LEAST, work] + [dev("", name) for part in PARTS for name in part])


def rsync_run(work):
    return timed(copy_command("rsync -a") + [work])


class Inotify:
    """Events of one folder, waited for without polling."""
    IN_MODIFY, IN_MOVED_TO, IN_CREATE, IN_DELETE = 0x2, 0x80, 0x100, 0x200

    def __init__(self, folder, mask):
        self.fd = LIBC.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self.fd < 0 or LIBC.inotify_add_watch(self.fd, folder.encode(), mask) < 0:
            raise OSError(ctypes.get_errno(), f"inotify on {folder}")

    def events(self, timeout):
        """(mask, name) of what happened, waiting at most timeout seconds for the first."""
        if not select.select([self.fd], [], [], timeout)[0]:
            return []
        data, found = os.read(self.fd, 65536), []
        while data:
            _, mask, _, n = struct.unpack("iIII", data[:16])
            found.append((mask, data[16:16 + n].rstrip(b"\0")))
            data = data[16 + n:]
        return found

    def close(self):
        os.close(self.fd)


def installer_with_stick(work):
    """The installer with the stick folder present: ms from its start to the result line
    in the log on the stick (logged as the result screen is shown), and, the stick pulled
    as soon as the line is there, ms from its start to its exit."""
    folder = stick(work)
    os.makedirs(folder, exist_ok=True)
    log = log_file(work)
    watch = Inotify(folder, Inotify.IN_CREATE | Inotify.IN_MODIFY)
    text, result, f = "", None, None
    t = time.monotonic()
    proc = subprocess.Popen([INSTALLER], env=env(work), stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    try:
        while result is None:
            watch.events(0.05)
            if f is None and os.path.exists(log):
                f = open(log, "rb")
            if f is not None:
                text += f.read().decode(errors="replace")
                result = next((line for line in RESULT_LINES if line in text), None)
            if result is None and (proc.poll() is not None or time.monotonic() - t > 300):
                proc.kill()
                raise SystemExit("installer ended or hung before its result screen")
        shown = time.monotonic()
        pull(work)
    finally:
        watch.close()
        if f is not None:
            f.close()
    _, status, _ = os.wait4(proc.pid, 0)
    ended = time.monotonic()
    if os.waitstatus_to_exitcode(status) != 0 or result.endswith("Failed."):
        raise SystemExit(f"installer with the stick: '{result}', exit code "
                         f"{os.waitstatus_to_exitcode(status)}")
    return (shown - t) * 1000.0, (ended - t) * 1000.0


class JournalWatch(threading.Thread):
    """Times the switch from outside: the journal's arrival in the work folder and its
    removal, seen through inotify."""

    def __init__(self, folder):
        super().__init__(daemon=True)
        os.makedirs(folder, exist_ok=True)
        self.watch = Inotify(folder, Inotify.IN_MOVED_TO | Inotify.IN_DELETE)
        self.times = {}
        self.stop = False

    def run(self):
        while not self.stop and len(self.times) < 2:
            for mask, name in self.watch.events(0.05):
                now = time.monotonic()
                if name == b"journal":
                    self.times.setdefault("named" if mask & Inotify.IN_MOVED_TO else "removed", now)
        self.watch.close()


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
    sizes, _ = lay_out(template, 2000)
    mb = sum(sizes.values()) / 1e6
    runs = ROUNDS or (3 if QUICK else 5)
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
        for rel, st in entries(dev(work, "updateSystemFolder")):
            if stat.S_ISREG(st.st_mode):
                os.truncate(os.path.join(dev(work, "updateSystemFolder"), rel), 0)
        metadata = installer_run(work)[1].ru_oublock * 512
        data.append((written[r] - metadata) / sizes["updateSystemFolder"])
        work = fresh_copy(template)
        space = FreeSpaceWatch(work)
        journal = JournalWatch(dev(work, "installWorkFolder"))
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
    row(f"bytes written / system folder ({sizes['updateSystemFolder'] / 1e6:.0f} MB), without metadata", data, "x",
        "<= 1.1", lambda m, v: m <= 1.1, "{:.2f}")
    row(f"bytes written, metadata included", [w / 1e6 for w in written], "MB")
    row(f"extra disk space at the peak (update: {mb:.0f} MB)", peaks, "MB")
    if windows:
        row("switch (journal written to journal removed)", windows, "ms", fmt="{:.1f}")
        row("switch / whole installation", [w / t * 100 for w, t in zip(windows, wholes)], "%", fmt="{:.1f}")
    shutil.rmtree(template)
    row("disk sequential write (dd, conv=fsync)", sequential_write(WORK), "MB/s")


def sequential_write(folder):
    """MB/s of three writes of 256 MiB, each flushed before dd ends."""
    rates = []
    target = os.path.join(folder, "dd.bin")
    for _ in range(3):
        ms, _ = timed(["dd", "if=/dev/zero", f"of={target}", "bs=1M", "count=256", "conv=fsync"])
        rates.append(256 * 1.048576 / (ms / 1000))
        os.remove(target)
    return rates


def stack_throughput(fs):
    """MB/s written and read back through the whole stack of a file system with direct I/O
    (dd of 64 MiB, three times), at its timed runs' rate: what the flash really was."""
    written, read = [], []
    target = os.path.join(fs.work, "dd.bin")
    with fs.limited():
        for _ in range(3):
            ms, _ = timed(["dd", "if=/dev/zero", f"of={target}", "bs=1M", "count=64", "oflag=direct"])
            written.append(64 * 1.048576 / (ms / 1000))
            ms, _ = timed(["dd", f"if={target}", "of=/dev/null", "bs=1M", "iflag=direct"])
            read.append(64 * 1.048576 / (ms / 1000))
            os.remove(target)
    return written, read


# The update's cases: key, name, and the most the installer may take, as a share of cp -a
# of the whole update + sync + removal, on the file systems where a goal is set: the ext4
# with a journal and the slow flash. On the flash a full update's time is bound by the
# bytes it must write: "bytes" there stands for its bytes' share of the reference's + 0.05.
SCENARIOS = (("full", "full update", {"ext4": 0.9, "flash": "bytes"}),
             ("tenth", "a tenth changed", {"ext4": 0.5, "flash": 0.12}),
             ("nothing", "nothing changed", {"ext4": 0.4, "flash": 0.05}))


def bench_scenarios():
    print("Installation scenarios, whole process, on each file system", flush=True)
    for fs in FILE_SYSTEMS:
        if fs.reason:
            skipped(f"{fs.mark} installation scenarios", fs.reason)
    if all(fs.reason for fs in FILE_SYSTEMS):
        return
    for key, name, goals in SCENARIOS:
        template = os.path.join(WORK, f"s-{key}")
        sizes, changed = lay_out(template, 2000, key)
        files = sum(1 for u, _ in PARTS for _, st in entries(dev(template, u)) if stat.S_ISREG(st.st_mode))
        print(f" {name}: {files:,} files, {sum(sizes.values()) / 1e6:.0f} MB, "
              f"{changed / 1e6:.1f} MB of them differ from the installed ones", flush=True)
        for fs in FILE_SYSTEMS:
            if not fs.reason:
                scenario(fs, f"{fs.mark} {name}", template, key, goals, changed)
        shutil.rmtree(template)
    for fs in FILE_SYSTEMS:
        if fs.key == "ext4" and not fs.reason:
            row(f"{fs.mark} sequential write (dd, conv=fsync)", sequential_write(fs.work), "MB/s")


def scenario(fs, name, template, key, goals, changed):
    """One case on one file system: the installer without a stick, the installer with
    one (to its result screen, then pulled), and cp -a + sync + removal, in turn; where
    few files differ, also the bytes of the least a copy in place writes. On the fast
    file systems also each side's CPU time (user + system, children included), since a
    device's cores are several times slower than these."""
    runs = ROUNDS or fs.rounds
    times = {"installer": [], "stick": [], "cp": []}
    written = {"installer": [], "cp": [], "least": []}
    cpu = {"installer": [], "cp": []}
    machine = {"installer": [], "cp": []}
    flushed, shown = [], []
    order = list(times)
    for r in range(runs):
        for side in order[r % len(order):] + order[:r % len(order)]:
            work = fs.fresh_copy(template)
            if side == "stick":
                with fs.limited():
                    to_result, to_exit = installer_with_stick(work)
                shown.append(to_result)
                times[side].append(to_exit)
                continue
            ms, nbytes, usage, flush_ms = fs.run(installer_run if side == "installer" else cp_run, work)
            times[side].append(ms)
            written[side].append(nbytes / 1e6)
            cpu[side].append((usage.ru_utime + usage.ru_stime) * 1000)
            if fs.stat:
                machine[side].append(fs.machine_ms)
            if side == "installer":
                flushed.append(flush_ms)
                if r == 0:
                    check_installed(work, template)
        if key != "full" and r < 3:
            written["least"].append(fs.run(least_run, fs.fresh_copy(template))[1] / 1e6)
    goal = goals.get(fs.key)
    if goal == "bytes":
        share = statistics.median(written["installer"]) / statistics.median(written["cp"])
        goal = share + 0.05
        text = f"<= {goal:.2f} (bytes {share:.2f} + 0.05)"
    else:
        text = f"<= {goal}" if goal is not None else None
    row(f"{name}: installer, no stick (start to exit)", times["installer"], "ms")
    row(f"{name}: installer, stick: start to result line", shown, "ms")
    row(f"{name}: installer, stick pulled at the result: start to exit", times["stick"], "ms")
    row(f"{name}: cp -a + sync + removal of the update", times["cp"], "ms")
    row(f"{name}: installer / (cp -a + sync + removal)",
        [a / b for a, b in zip(times["installer"], times["cp"])], "x",
        text, (lambda m, v: m <= goal) if goal is not None else None, "{:.2f}")
    if fs.stat:
        row(f"{name}: installer, flush of what it left unwritten at its exit (syncfs)", flushed, "ms")
    if fs.key != "flash":
        judged = fs.key == "ext4"
        row(f"{name}: CPU (user + system), installer", cpu["installer"], "ms")
        row(f"{name}: CPU (user + system), cp -a + sync + removal", cpu["cp"], "ms")
        row(f"{name}: CPU, installer / (cp -a + sync + removal)",
            [a / b for a, b in zip(cpu["installer"], cpu["cp"])], "x",
            "<= 1.0" if judged else None, (lambda m, v: m <= 1.0) if judged else None, "{:.2f}")
        if machine["installer"]:
            # Beside it, not judged: a side's flush runs in kernel threads, which rusage leaves
            # out (most of cp's, whose data all waits for its sync); other work of the
            # machine counts too, so the machine must be quiet.
            row(f"{name}: CPU of the whole machine, side and its flush, installer", machine["installer"], "ms")
            row(f"{name}: CPU of the whole machine, side and its flush, cp -a + sync + removal",
                machine["cp"], "ms")
            row(f"{name}: CPU of the whole machine, installer / (cp -a + sync + removal)",
                [a / b for a, b in zip(machine["installer"], machine["cp"])], "x", fmt="{:.2f}")
    judged = fs.key == "ext4"  # the bytes are the file system's, judged once
    most = 1.1 * changed / 1e6 + 2
    byte_goals = {"tenth": (f"<= {most:.1f} (1.1 x {changed / 1e6:.1f} + 2)", lambda m, v: m <= most),
                  "nothing": ("< 1", lambda m, v: m < 1)}
    text, ok = byte_goals.get(key, (None, None)) if judged else (None, None)
    row(f"{name}: bytes written, installer ({fs.counting})", written["installer"], "MB", text, ok)
    row(f"{name}: bytes written, cp -a + sync + removal ({fs.counting})", written["cp"], "MB")
    if written["least"]:
        row(f"{name}: bytes written, in-place copy of what differs + times + removal ({fs.counting})",
            written["least"], "MB")


def sign(root, keys):
    """The device trusts a maker's key; the update carries its list, signed with it."""
    trusted = os.path.join(root, "etc", "corvane-installer", "trusted-keys")
    os.makedirs(trusted)
    shutil.copy(os.path.join(keys, "maker.pub"), trusted)
    update = os.path.dirname(dev(root, "updateSystemFolder"))
    subprocess.run([MANIFEST_TOOL, update, "--version", "2.4.1"], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["minisign", "-S", "-s", os.path.join(keys, "maker.key"), "-m",
                    os.path.join(update, "update.manifest")], check=True, stdout=subprocess.DEVNULL)


def bench_signed():
    """The signed update's price: the same installation, listed and signed with a key the
    device trusts (every file hashed, the staged bytes read back), against it unsigned."""
    print("Signed against unsigned, whole process", flush=True)
    if not shutil.which("minisign") or not os.path.exists(MANIFEST_TOOL):
        skipped("signed against unsigned", "minisign or corvane-update-manifest is missing")
        return
    for fs in FILE_SYSTEMS:
        if fs.reason:
            skipped(f"{fs.mark} signed against unsigned", fs.reason)
    if all(fs.reason for fs in FILE_SYSTEMS):
        return
    keys = tempfile.mkdtemp(dir=WORK)
    subprocess.run(["minisign", "-G", "-W", "-p", os.path.join(keys, "maker.pub"), "-s",
                    os.path.join(keys, "maker.key")], check=True, stdout=subprocess.DEVNULL)
    plain, signed = os.path.join(WORK, "unsigned"), os.path.join(WORK, "signed")
    lay_out(plain, 2000)
    subprocess.run(["cp", "-a", plain, signed], check=True)
    sign(signed, keys)
    for fs in FILE_SYSTEMS:
        if fs.reason:
            continue
        times = {"unsigned": [], "signed": []}
        for r in range(ROUNDS or fs.rounds):
            for side in (("unsigned", "signed") if r % 2 == 0 else ("signed", "unsigned")):
                ms = fs.run(installer_run, fs.fresh_copy(plain if side == "unsigned" else signed))[0]
                times[side].append(ms)
        row(f"{fs.mark} installer, unsigned update (start to exit)", times["unsigned"], "ms")
        row(f"{fs.mark} installer, signed update (start to exit)", times["signed"], "ms")
        goal = {"ext4": 1.10, "flash": 1.03}.get(fs.key)
        row(f"{fs.mark} signed / unsigned", [s / u for s, u in zip(times["signed"], times["unsigned"])],
            "x", f"<= {goal:.2f}" if goal else None, (lambda m, v: m <= goal) if goal else None,
            "{:.2f}")
    shutil.rmtree(plain)
    shutil.rmtree(signed)


def bench_growth():
    print("Growth", flush=True)
    values = {}
    for files in (500, 2000, 8000) if not all(fs.reason for fs in FILE_SYSTEMS) else ():
        template = os.path.join(WORK, f"g{files}")
        lay_out(template, files)
        for fs in FILE_SYSTEMS:
            if not fs.reason:
                values[fs.key, files] = [fs.run(installer_run, fs.fresh_copy(template))[0] / files
                                         for _ in range(3)]
        shutil.rmtree(template)
    for fs in FILE_SYSTEMS:
        if fs.reason:
            skipped(f"{fs.mark} installer per file", fs.reason)
            continue
        for files in (500, 2000, 8000):
            row(f"{fs.mark} installer per file, {files:,} files (start to exit)", values[fs.key, files],
                "ms/file", fmt="{:.3f}")
        ratio = statistics.median(values[fs.key, 8000]) / statistics.median(values[fs.key, 500])
        row(f"{fs.mark} per-file time 8,000 / 500 files", [ratio], "x", "flat (<= 1.5)",
            lambda m, v: m <= 1.5, "{:.2f}")


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
    return dev(root, "stickFolder")


def log_file(root):
    return os.path.join(stick(root), DEVICE["logFileName"])


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
            if not wait_for_line(log_file(root), line, proc):
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
        exe = dev(root, "appExecutable")
        with open(exe, "w") as f:  # records its own start time
            f.write("#!/bin/sh\ndate +%s.%N > \"$(dirname \"$0\")/../../started\"\n")
        os.chmod(exe, 0o755)
        proc = subprocess.Popen([INSTALLER], env=env(root), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        if not wait_for_line(log_file(root), "delete installer directory", proc):
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
        if not wait_for_line(log_file(root), "delete installer directory", proc):
            raise SystemExit("installer did not show its screen")
        times.append((time.monotonic() - t) * 1000)
        proc.kill()
        proc.wait()
    row("process start -> first screen (offscreen)", times, "ms", "<= 300", lambda m, v: m <= 300)
    for trial in range(3):
        root = device("rss", "--big-system-file", "64")  # copied, not moved
        proc = subprocess.Popen([INSTALLER], env=env(root), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        wait_for_line(log_file(root), "delete installer directory", proc, 120)
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
    global FILE_SYSTEMS
    print(f"Machine: {os.cpu_count()} cores, "
          f"{os.sysconf('SC_PAGE_SIZE') * os.sysconf('SC_PHYS_PAGES') / 2**30:.0f} GiB, "
          f"{os.uname().sysname} {os.uname().release}; work folder {WORK}", flush=True)
    try:
        FILE_SYSTEMS = file_systems()
        for fs in FILE_SYSTEMS:
            fs.throttle(False)  # full speed but for the timed runs
            print(f"{fs.mark} {fs.label}: " + (f"SKIPPED: {fs.reason}" if fs.reason else
                                                f"{fs.work}, bytes written from {fs.stat or 'the processes'}"),
                  flush=True)
        # Each section and the file systems it installs on (None: none in particular);
        # --fs runs those that install on that one.
        every = {fs.key for fs in FILE_SYSTEMS}
        sections = [(name, bench) for name, bench, on in (
            ("install", bench_install, {"disk"}), ("scenarios", bench_scenarios, every),
            ("signed", bench_signed, every), ("growth", bench_growth, every),
            ("idle", bench_idle, None), ("launch", bench_launch, None),
            ("startup", bench_startup, None), ("keyboard", bench_keyboard, None))
            if (ONLY is None or name in ONLY) and (FS_ONLY is None or FS_ONLY in (on or ()))]
        for fs in FILE_SYSTEMS:
            if fs.rate_file and any(name in ("scenarios", "signed", "growth") for name, _ in sections):
                written, read = stack_throughput(fs)
                print(f"{fs.mark} through the whole stack (dd of 64 MiB, direct I/O): "
                      f"writes {statistics.median(written):.1f} MB/s, reads {statistics.median(read):.1f} MB/s",
                      flush=True)
                row(f"{fs.mark} write through the whole stack (dd bs=1M oflag=direct, 64 MiB)", written, "MB/s")
                row(f"{fs.mark} read through the whole stack (dd bs=1M iflag=direct, 64 MiB)", read, "MB/s")
        for name, bench in sections:
            began = time.monotonic()
            bench()
            print(f"  ({time.monotonic() - began:.0f} s)", flush=True)
    finally:
        for fs in FILE_SYSTEMS:
            if fs.work and fs.work != WORK:
                shutil.rmtree(fs.work, ignore_errors=True)
        shutil.rmtree(WORK, ignore_errors=True)
    print()
    head = ("figure", "median", "min", "max", "unit", "goal", "")
    widths = [max(len(str(r[i])) for r in rows + [head]) for i in range(len(head))]
    for r in [head] + rows:
        print("| " + " | ".join(str(c).ljust(w) for c, w in zip(r, widths)) + " |")


if __name__ == "__main__":
    main()
