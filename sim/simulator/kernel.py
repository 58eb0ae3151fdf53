# SPDX-License-Identifier: MIT
"""rtprobe runs under a real PowerPC Linux kernel, on qemu's e500 board.

Guest RAM spans the first 4 GiB, so the FPGA window is RAM, filled from the
board image before the boot; mem=256M keeps the kernel off it. One boot runs
a batch of command lines; then qemu saves the window, and the words the runs
changed go back to the image."""

import fcntl
import hashlib
import json
import os
import re
import select
import shutil
import subprocess
import sys
import time

from .board import FPGA_BASE as WINDOW
from .image import IMAGE_PAGES as WINDOW_SIZE
from .isolation import Result, die_with_parent, binary_target

HERE = os.path.dirname(os.path.realpath(__file__))
OPTIONS = os.path.join(HERE, "..", "kernel", "rtsim.config")
INIT = os.path.join(HERE, "..", "kernel", "init.c")
# RTSIM_CACHE if set; else build/kernel in the source tree; installed, the user's cache.
TREE = os.path.normpath(os.path.join(HERE, "..", ".."))
if os.environ.get("RTSIM_CACHE"):
    CACHE = os.path.abspath(os.environ["RTSIM_CACHE"])
elif os.path.exists(os.path.join(TREE, "CMakePresets.json")):
    CACHE = os.path.join(TREE, "build", "kernel")
else:
    CACHE = os.path.join(os.path.expanduser("~"), ".cache", "rtsim", "kernel")
SOURCE = "/usr/src/linux-source-6.1.tar.xz"
CROSS = "powerpc-linux-gnu-"
# What a dynamically linked rtprobe loads, from the PowerPC sysroot.
LIBRARIES = ("ld.so.1", "libc.so.6", "libm.so.6", "libgcc_s.so.1", "libstdc++.so.6")
TIMEOUT = 600  # seconds from qemu's start, boot included, unless --timeout says
# init's frames: a chunk of the program's output, or its status (see init.c).
FRAME = re.compile(rb"\x1ertsim-(?:out (\d+)|status (-?\d+))\n")
# Each tool a boot or a build needs, by the Debian package that brings it.
PACKAGES = {"qemu-system-ppc": "qemu-system-ppc", CROSS + "gcc": "gcc-powerpc-linux-gnu",
            SOURCE: "linux-source-6.1", "make": "make", "gcc": "gcc", "flex": "flex",
            "bison": "bison", "bc": "bc", "xz": "xz-utils"}
# Written last into a cached folder: each file's size and SHA-256.
MARKER = "built.json"


class KernelError(RuntimeError):
    """A kernel that could not be built or booted."""


class TimeLimit(KernelError):
    """A boot stopped at its time limit; outputs holds what each run begun printed."""

    def __init__(self, timeout, outputs):
        super().__init__(f"stopped at the time limit of {timeout:g} s (--timeout SECONDS sets it)")
        self.outputs = outputs


def _say(message):
    print(f"rtsim: {message}", file=sys.stderr, flush=True)


def _run(argv, **options):
    # A build dies with rtsim, even when rtsim is killed with SIGKILL.
    done = subprocess.run(argv, capture_output=True, preexec_fn=die_with_parent, **options)
    if done.returncode:
        raise KernelError(f"{argv[0]} failed: {done.stderr.decode(errors='replace')[-2000:]}")


def _version():
    """The kernel source package's version; None without its source."""
    if not os.path.exists(SOURCE):
        return None
    found = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "linux-source-6.1"],
                           capture_output=True, text=True)
    if found.returncode:
        raise KernelError(f"{SOURCE} is not from the Debian package linux-source-6.1 "
                          "(apt-get install --reinstall linux-source-6.1)")
    return found.stdout.encode()


def _build_kernel(out, stage):
    """vmlinux, and vmlinux-nodevmem from the same tree without /dev/mem."""
    tree = os.path.join(out, "linux")
    os.makedirs(tree)
    stage("unpacking the source")
    _run(["tar", "-xf", SOURCE, "-C", tree, "--strip-components=1"])
    stage("configuring")
    make = ["make", "-C", tree, "-j", str(os.cpu_count()), "ARCH=powerpc", f"CROSS_COMPILE={CROSS}"]
    _run([*make, "tinyconfig"])
    lines = _content(OPTIONS).decode().splitlines()
    wanted = [line for line in lines if line.startswith("CONFIG_")]
    missing = set(wanted) - _configure(make, tree, wanted)
    if missing:
        raise KernelError(f"kernel options not taken: {' '.join(sorted(missing))}")
    stage("building vmlinux")
    _run([*make, "vmlinux"])
    shutil.copy(os.path.join(tree, "vmlinux"), os.path.join(out, "vmlinux"))
    stage("building vmlinux without /dev/mem")
    _configure(make, tree, ["CONFIG_DEVMEM=n"])
    _run([*make, "vmlinux"])
    shutil.copy(os.path.join(tree, "vmlinux"), os.path.join(out, "vmlinux-nodevmem"))
    shutil.rmtree(tree)


def _configure(make, tree, lines):
    """Adds lines to the tree's .config; the lines of the resulting one."""
    config = os.path.join(tree, ".config")
    with open(config, "a") as f:
        f.write("\n".join(lines) + "\n")
    _run([*make, "olddefconfig"])
    with open(config) as f:
        return set(f.read().splitlines())


def _build_init(out, _stage):
    _run([f"{CROSS}gcc", "-static", "-Os", "-o", os.path.join(out, "init"), INIT])


# Each cached build: its function, the files it makes, the tools it needs.
BUILDS = {"kernel": (_build_kernel, ("vmlinux", "vmlinux-nodevmem"),
                     (SOURCE, "make", "gcc", "flex", "bison", "bc", "xz", CROSS + "gcc")),
          "init": (_build_init, ("init",), (CROSS + "gcc",))}


def prepared():
    """The folders of the kernel and of init, each built unless it holds what
    was built into it; before any build, one KernelError naming every package
    missing. Under the cache's lock: one build, whoever comes first."""
    version = _version()
    folders = {"kernel": version and _folder("kernel", [version, _content(OPTIONS)]),
               "init": _folder("init", [_content(INIT)])}
    os.makedirs(CACHE, exist_ok=True)
    with open(os.path.join(CACHE, "lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        faults = {name: _fault(folder, BUILDS[name][1]) if folder else "no source"
                  for name, folder in folders.items()}
        _check_packages(faults)
        for name, folder in folders.items():
            if faults[name]:
                _build(name, folder, faults[name])
            elif not os.path.exists(os.path.join(folder, MARKER)):
                _mark(folder, BUILDS[name][1])
    return folders["kernel"], folders["init"]


def _check_packages(faults):
    """One KernelError naming every package missing for a boot and for the
    builds that faults, {build: why it is needed or None}, call for."""
    needs = ["qemu-system-ppc"]
    for name, fault in faults.items():
        needs += BUILDS[name][2] if fault else ()
    lacking = list(dict.fromkeys(PACKAGES[tool] for tool in needs if not (
        os.path.exists(tool) if os.path.isabs(tool) else shutil.which(tool))))
    if lacking:
        raise KernelError(f"the kernel run needs {', '.join(lacking)} "
                          f"(apt-get install {' '.join(lacking)})")


def _folder(name, inputs):
    digest = hashlib.sha256()
    for data in inputs:
        digest.update(data + b"\0")
    return os.path.join(CACHE, f"{name}-{digest.hexdigest()[:16]}")


def _record(folder, files):
    """{file: [size, SHA-256]} of files in folder; a missing one has neither."""
    record = {}
    for name in files:
        try:
            data = _content(os.path.join(folder, name))
            record[name] = [len(data), hashlib.sha256(data).hexdigest()]
        except FileNotFoundError:
            record[name] = None
    return record


def _fault(folder, files):
    """Why a cached folder does not hold what was built into it; None if it does.
    A folder cached before the marker was written is taken if its files are
    whole ELF files, as the runs it served needed."""
    if not os.path.isdir(folder):
        return "not built"
    try:
        with open(os.path.join(folder, MARKER), encoding="ascii") as f:
            built = json.load(f)
    except FileNotFoundError:
        try:
            for name in files:
                binary_target(os.path.join(folder, name))
            return None
        except ValueError as error:
            return str(error).replace(folder + os.sep, "")
    except (OSError, ValueError):
        return f"{MARKER} unreadable"
    found = _record(folder, files)
    for name in files:
        now, then = found[name], built.get(name)
        if not now:
            return f"{name} is missing"
        if then and now[0] != then[0]:
            return f"{name} is {now[0]} bytes, {then[0]} when built"
        if now != then:
            return f"{name} has changed since it was built"
    return None


def _build(name, folder, fault):
    """Builds into FOLDER.part, writes the marker last, renames it folder."""
    build, files, _ = BUILDS[name]
    if os.path.isdir(folder):
        _say(f"{folder}: not the {name} built ({fault}); building it again")
        shutil.rmtree(folder)
    begun = time.monotonic()
    _say(f"building the {name} into {folder}")
    part = folder + ".part"
    shutil.rmtree(part, ignore_errors=True)
    os.makedirs(part)
    build(part, lambda stage: _say(
        f"{name} build: {stage} ({time.monotonic() - begun:.0f} s so far)"))
    _mark(part, files)
    os.rename(part, folder)
    _say(f"{name} built in {time.monotonic() - begun:.0f} s")


def _mark(folder, files):
    with open(os.path.join(folder, MARKER + ".new"), "w", encoding="ascii") as f:
        json.dump(_record(folder, files), f)
    os.rename(f.name, os.path.join(folder, MARKER))


def _cpio(path, files):
    """A newc archive of files, {name: (mode, bytes)}, in order."""
    with open(path, "wb") as f:
        for number, (name, (mode, data)) in enumerate([*files.items(), ("TRAILER!!!", (0, b""))]):
            fields = (number, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(name) + 1, 0)
            header = b"070701" + b"".join(b"%08X" % field for field in fields)
            f.write(header + name.encode() + b"\0")
            f.write(b"\0" * (-f.tell() % 4) + data + b"\0" * (-len(data) % 4))


def _content(path):
    with open(path, "rb") as f:
        return f.read()


def _initramfs(bench, runs, init, path):
    files = {"dev": (0o40755, b""), "lib": (0o40755, b""),
             "init": (0o100755, _content(os.path.join(init, "init"))),
             "rtprobe": (0o100755, _content(bench.binary))}
    for library in LIBRARIES:
        files["lib/" + library] = (0o100755, _content(os.path.join(bench.sysroot, "lib", library)))
    listed = b"".join(b"%d\0" % len(args) + b"".join(os.fsencode(a) + b"\0" for a in args)
                      for args in runs)
    files["runs"] = (0o100644, listed)
    _cpio(path, files)


def run(bench, runs, timeout=TIMEOUT, write=None):
    """The bench's binary run once for each argument list in runs, in one boot.

    A Result for each, its stderr empty: the program's two streams share one
    pipe. Device "missing" boots a kernel without /dev/mem, "unmappable" lets
    the kernel have the window's RAM, which STRICT_DEVMEM then refuses to map.
    TimeLimit when the boot outlasts timeout seconds. With write, what the
    runs print is passed to it instead, as the console shows it, chunk by
    chunk, and their Results hold no output."""
    if bench.target != "ppc":
        raise ValueError(f"{bench.binary}: the kernel runs PowerPC binaries only")
    kernel, init = prepared()
    work = os.path.join(bench.work, "kernel")
    os.makedirs(work, exist_ok=True)
    _initramfs(bench, runs, init, os.path.join(work, "initramfs"))
    window, saved = os.path.join(work, "window"), os.path.join(work, "saved")
    with open(window, "wb") as f:
        f.write(_window(bench.image) if bench.device == "image" else bytes(WINDOW_SIZE))
    variant = "vmlinux-nodevmem" if bench.device == "missing" else "vmlinux"
    memory = "" if bench.device == "unmappable" else " mem=256M"
    argv = [shutil.which("qemu-system-ppc"), "-M", "ppce500", "-cpu", "e500mc", "-m", "4G",
            "-nodefaults", "-display", "none", "-no-reboot", "-no-shutdown",
            "-kernel", os.path.join(kernel, variant), "-initrd", os.path.join(work, "initramfs"),
            "-append", "console=ttyS0 loglevel=1 panic=-1" + memory,
            "-serial", f"file:{work}/console", "-qmp", "stdio", "-monitor", "none",
            "-device", f"loader,file={window},addr={WINDOW:#x},force-raw=on"]
    console = _Console(os.path.join(work, "console"), write)
    finished = _boot(argv, saved, timeout, os.path.join(work, "qemu.log"), console)
    if not finished:
        raise TimeLimit(timeout, [result.stdout for result in console.results]
                        + [b"".join(console.chunks)])
    if len(console.results) != len(runs):
        raise KernelError(f"{len(console.results)} of {len(runs)} runs reported; the console "
                          "ends:\n" + console.end().decode(errors="replace"))
    if bench.device == "image":
        _write_back(bench.image, _content(saved))
    return console.results


class _Console:
    """Reads the console as qemu writes it: the runs init frames there, a
    Result each once its status comes. A chunk of output is passed to write,
    if given, as soon as its frame is whole, else kept for the Result; the
    kernel's own messages come before the first frame."""

    def __init__(self, path, write=None):
        self.path, self.write, self.read, self.pending, self.begun = path, write, 0, b"", False
        self.results, self.chunks = [], []

    def __call__(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self.read)
                while data := f.read(1 << 16):
                    self.read += len(data)
                    self._take(data)
        except FileNotFoundError:
            pass  # qemu has not made it yet

    def _take(self, data):
        self.pending += data
        if not self.begun:
            at = self.pending.find(b"\x1ertsim-")
            if at < 0:
                self.pending = self.pending[-16:]
                return
            self.pending, self.begun = self.pending[at:], True
        while frame := FRAME.match(self.pending):
            end = frame.end() + int(frame[1] or 0)
            if len(self.pending) < end:
                return
            if frame[2] is not None:
                self.results.append(Result(b"".join(self.chunks), b"", int(frame[2])))
                self.chunks = []
            elif self.write:
                self.write(self.pending[frame.end():end])
            else:
                self.chunks.append(self.pending[frame.end():end])
            self.pending = self.pending[end:]

    def end(self):
        """The console's last 3000 bytes."""
        with open(self.path, "rb") as f:
            f.seek(max(0, self.read - 3000))
            return f.read()


def _boot(argv, saved, timeout, log, follow):
    """Boots, waits for the guest's power-off and saves the window; False if
    the time limit came first. qemu ends with the call, and dies with rtsim.
    follow is called every 50 ms meanwhile, and once at the end."""
    deadline = time.monotonic() + timeout
    with open(log, "wb") as errors:
        qemu = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=errors, preexec_fn=die_with_parent)

    def command(name, **arguments):
        qemu.stdin.write(json.dumps({"execute": name, "arguments": arguments}).encode() + b"\n")
        qemu.stdin.flush()
    late, saving, messages = False, False, b""
    try:
        command("qmp_capabilities")
        while True:
            left = deadline - time.monotonic()
            follow()
            if left <= 0:
                late = True
                break
            if not select.select([qemu.stdout], [], [], min(left, 0.05))[0]:
                continue  # the deadline is looked at above
            data = os.read(qemu.stdout.fileno(), 65536)
            if not data:
                break  # qemu has quit
            *lines, messages = (messages + data).split(b"\n")
            if not saving and any(json.loads(line).get("event") == "SHUTDOWN" for line in lines):
                saving = True
                command("pmemsave", val=WINDOW, size=WINDOW_SIZE, filename=saved)
                command("quit")
        if not late:
            qemu.wait(max(0, deadline - time.monotonic()))  # its own status, if it failed
    except subprocess.TimeoutExpired:
        late = True
    except OSError:
        pass  # qemu has gone: said below
    finally:  # an interrupt too
        qemu.kill()
        qemu.wait()
    follow()
    if late:
        return False
    if not os.path.exists(saved):
        raise KernelError(f"qemu ended (status {qemu.returncode}) before the window was saved: "
                          + _content(log).decode(errors="replace")[-2000:])
    return True


def _window(image):
    with open(image, "rb") as f:
        f.seek(WINDOW)
        return f.read(WINDOW_SIZE).ljust(WINDOW_SIZE, b"\0")


def _write_back(image, saved):
    """The window as the runs left it, back into the image (written whole)."""
    with open(image, "r+b") as f:
        f.seek(WINDOW)
        f.write(saved)


if __name__ == "__main__":
    # Builds the kernel and init unless cached, and names the kernel's folder.
    try:
        print(prepared()[0])
    except KernelError as error:
        sys.exit(f"rtsim: {error}")
