#!/usr/bin/python3
"""The installer's bounds, printed as one table: updates of many folders under a low
descriptor limit, and the peak memory of the whole process with a long list.

    bench/bounds.py [BUILD_DIR] [--only folders|memory]

BUILD_DIR defaults to "build". Each row is one run of corvane-installer on a simulated
device in BENCH_DIR (default /var/tmp), with the stick present: the script waits for the
result line in the log on the stick, pulls the stick and reads the log.

  folders  N folders of one small file each, in the update's system folder, either new
           (the installed system folder has none of them) or replaced (it has all of
           them, each file with other content); the installer runs with the soft limit
           of open descriptors set as a service manager would (setrlimit before exec).
           Goal: 2,000 folders under 1,024, 20,000 under 256, installed whole; the
           last also signed (every staged file hashed on the hashes' queue).
  memory   a list of 740,000 short lines beside a small update (every line a link, so
           the run ends with "listed but not in the update"), once with no trusted key
           and once signed by a trusted key. The figure is the installer's peak resident
           memory, as /usr/bin/time -f %M reports it. Goal: below 64 MB.
"""

import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import time

ARGS = [a for a in sys.argv[1:] if not a.startswith("--")]
BUILD = os.path.abspath(ARGS[0] if ARGS else "build")
ONLY = sys.argv[sys.argv.index("--only") + 1] if "--only" in sys.argv else None
REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
INSTALLER = os.path.join(BUILD, "shell", "corvane-installer")
ENCRYPT = os.path.join(BUILD, "tools", "corvane-encrypt")
MANIFEST_TOOL = os.path.join(BUILD, "tools", "corvane-update-manifest")
WORK = tempfile.mkdtemp(prefix="corvane-bounds-", dir=os.environ.get("BENCH_DIR", "/var/tmp"))
RESULT = re.compile(r"HandleEvents: InitialState: (Successful|Nothing done|Failed)\.")

rows = []


def env(root):
    return dict(os.environ, CORVANE_DEVICE_ROOT=root, CORVANE_CONFIRM_SECONDS="0",
                QT_QPA_PLATFORM="offscreen", CORVANE_ENCRYPT_TOOL=ENCRYPT)


def device(root):
    subprocess.run([os.path.join(REPO, "tools", "make-device.sh"), root], check=True, env=env(root),
                   stdout=subprocess.DEVNULL)
    subprocess.run([INSTALLER, "--recover-only"], check=True, env=env(root),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return os.path.join(root, "FlashDisk")


def run(root, nofile=None):
    """One run with the stick: (result, log lines, seconds, peak RSS in MB)."""
    stick = os.path.join(root, "USB HD", "Corvane_Installer")
    log = os.path.join(stick, "log.txt")
    limit = (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))) if nofile else None
    # The peak as time(1) sees it: the installer's own. The rusage of this script's child
    # would count the memory of this script that the child had before its exec.
    peak_file = os.path.join(WORK, "peak")
    started = time.monotonic()
    proc = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", peak_file, INSTALLER], env=env(root),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, preexec_fn=limit)
    text = ""
    while proc.poll() is None and time.monotonic() - started < 600:
        if os.path.exists(log):
            with open(log, errors="replace") as f:
                text = f.read()
            if RESULT.search(text):
                os.rename(stick, stick + ".pulled")  # the stick is pulled
                break
        time.sleep(0.05)
    proc.wait()
    seconds = time.monotonic() - started
    with open(peak_file) as f:
        peak = int(f.read().split()[-1]) / 1024
    pulled = stick + ".pulled"
    if os.path.exists(os.path.join(pulled, "log.txt")):
        with open(os.path.join(pulled, "log.txt"), errors="replace") as f:
            text = f.read()
    found = RESULT.search(text)
    return (found.group(1) if found else "no result"), text.splitlines(), seconds, peak


def row(name, figure, goal, ok, note=""):
    rows.append((name, figure, goal, "met" if ok else "MISSED", note))
    print(f"  {name}: {figure} ({'met' if ok else 'MISSED'}) {note}", flush=True)


def reason(lines):
    """The first line that tells why a run failed."""
    for line in lines:
        if re.search(r"failed|cannot|not match|Too many", line):
            return line.strip()[:160]
    return ""


def trust_and_sign(root, make_list):
    """The device trusts a new key; the update's list (made by the maker's tool when
    make_list) is signed with it."""
    update = os.path.join(root, "FlashDisk", "Corvane_Installer")
    keys = os.path.join(root, "keys")
    os.makedirs(keys)
    subprocess.run(["minisign", "-G", "-W", "-p", os.path.join(keys, "maker.pub"), "-s",
                    os.path.join(keys, "maker.key")], check=True, stdout=subprocess.DEVNULL)
    trusted = os.path.join(root, "etc", "corvane-installer", "trusted-keys")
    os.makedirs(trusted)
    shutil.copy(os.path.join(keys, "maker.pub"), trusted)
    if make_list:
        subprocess.run([MANIFEST_TOOL, update, "--version", "2.4.1"], check=True,
                       stdout=subprocess.DEVNULL)
    subprocess.run(["minisign", "-S", "-s", os.path.join(keys, "maker.key"), "-m",
                    os.path.join(update, "update.manifest")], check=True, stdout=subprocess.DEVNULL)


def folders(count, nofile, replaced, signed=False):
    root = os.path.join(WORK, f"f{count}-{nofile}-{'replaced' if replaced else 'new'}")
    flash = device(root)
    update = os.path.join(flash, "Corvane_Installer", "System", "many")
    installed = os.path.join(flash, "System", "many")
    for i in range(count):
        rel = f"g{i // 100}/h{i}" if i >= count // 100 else f"g{i}"
        os.makedirs(os.path.join(update, rel), exist_ok=True)
        with open(os.path.join(update, rel, "f.txt"), "w") as f:
            f.write(f"update {i}\n")
        if replaced:
            os.makedirs(os.path.join(installed, rel), exist_ok=True)
            with open(os.path.join(installed, rel, "f.txt"), "w") as f:
                f.write(f"installed {i}, longer\n")
    if signed:  # every staged file is read back and hashed: the hashes' queue is full
        trust_and_sign(root, True)
    result, lines, seconds, _ = run(root, nofile)
    files = sum(1 for _, _, names in os.walk(installed) for n in names if n == "f.txt")
    right = sum(1 for d, _, names in os.walk(installed) for n in names
                if open(os.path.join(d, n)).read().startswith("update "))
    case = ("replaced" if replaced else "new") + (", signed" if signed else "")
    ok = result == "Successful" and right == count and files == count
    row(f"{count:,} folders, {case}, soft limit {nofile}",
        f"{result}, {right:,} of {count:,} installed, {seconds:.1f} s", "all installed", ok,
        "" if ok else reason(lines))
    shutil.rmtree(root)


def long_list(signed):
    root = os.path.join(WORK, f"list-{'signed' if signed else 'unsigned'}")
    flash = device(root)
    update = os.path.join(flash, "Corvane_Installer")
    entries = 740_000
    with open(os.path.join(update, "update.manifest"), "w") as f:
        f.write("corvane-update-manifest 1\nversion 2.4.1\nfolder 0755 Corvane\nfolder 0755 System\n")
        alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
        names = sorted("".join(alphabet[(i // len(alphabet) ** k) % len(alphabet)] for k in (3, 2, 1, 0))
                       for i in range(entries - 2))
        for name in names:
            f.write(f"link System/{name} t\n")
    del names
    size = os.path.getsize(os.path.join(update, "update.manifest"))
    if signed:
        trust_and_sign(root, False)
    result, lines, _, peak = run(root)
    told = any("listed but not in the update" in line for line in lines)
    row(f"{entries:,}-entry list ({size / 2**20:.1f} MiB), {'signed' if signed else 'no trusted key'}",
        f"{peak:.1f} MB peak", "< 64 MB", peak < 64 and result == "Failed" and told,
        f"result {result}" + ("" if told else ", the missing entries were not told"))
    shutil.rmtree(root)


def main():
    if not os.access(INSTALLER, os.X_OK):
        sys.exit(f"bench/bounds.py: {INSTALLER} is missing; build it first")
    try:
        if ONLY in (None, "folders"):
            print("Folders under a descriptor limit", flush=True)
            for count, nofile in ((2000, 1024), (20000, 256)):
                for replaced in (False, True):
                    folders(count, nofile, replaced)
            if shutil.which("minisign") and os.access(MANIFEST_TOOL, os.X_OK):
                folders(20000, 256, True, signed=True)
            else:
                rows.append(("20,000 folders, signed: SKIPPED: minisign or corvane-update-manifest "
                             "is missing", "", "", "", ""))
        if ONLY in (None, "memory"):
            print("Peak memory with a long list", flush=True)
            long_list(False)
            if shutil.which("minisign"):
                long_list(True)
            else:
                rows.append(("740,000-entry list, signed: SKIPPED: minisign is missing", "", "", "", ""))
    finally:
        shutil.rmtree(WORK, ignore_errors=True)
    print()
    print("| case | figure | goal | | note |")
    print("|---|---|---|---|---|")
    for r in rows:
        print("| " + " | ".join(r) + " |")
    return 0 if all(r[3] != "MISSED" for r in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
