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
import shutil
import subprocess
import sys
import threading
import time

from .board import FPGA_BASE as WINDOW
from .image import IMAGE_PAGES as WINDOW_SIZE
from .isolation import Result

HERE = os.path.dirname(os.path.realpath(__file__))
OPTIONS = os.path.join(HERE, "..", "kernel", "rtsim.config")
INIT = os.path.join(HERE, "..", "kernel", "init.c")
# build/kernel in the source tree; installed, the user's cache.
TREE = os.path.normpath(os.path.join(HERE, "..", ".."))
if os.path.exists(os.path.join(TREE, "CMakePresets.json")):
    CACHE = os.path.join(TREE, "build", "kernel")
else:
    CACHE = os.path.join(os.path.expanduser("~"), ".cache", "rtsim", "kernel")
SOURCE = "/usr/src/linux-source-6.1.tar.xz"
CROSS = "powerpc-linux-gnu-"
# What a dynamically linked rtprobe loads, from the PowerPC sysroot.
LIBRARIES = ("ld.so.1", "libc.so.6", "libm.so.6", "libgcc_s.so.1", "libstdc++.so.6")
FRAME = re.compile(rb"\x1ertsim-run\n(.*?)\x1ertsim-status (-?\d+)\n", re.S)


class KernelError(RuntimeError):
    """A kernel that could not be built or booted."""


def _run(argv, **options):
    done = subprocess.run(argv, capture_output=True, **options)
    if done.returncode:
        raise KernelError(f"{argv[0]} failed: {done.stderr.decode(errors='replace')[-2000:]}")


def _version():
    found = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "linux-source-6.1"],
                           capture_output=True, text=True)
    if found.returncode or not os.path.exists(SOURCE):
        raise KernelError("the kernel run needs the Debian package linux-source-6.1")
    return found.stdout.encode()


def _build_kernel(out):
    """vmlinux, and vmlinux-nodevmem from the same tree without /dev/mem."""
    tree = os.path.join(out, "linux")
    os.makedirs(tree)
    _run(["tar", "-xf", SOURCE, "-C", tree, "--strip-components=1"])
    make = ["make", "-C", tree, "-j", str(os.cpu_count()), "ARCH=powerpc", f"CROSS_COMPILE={CROSS}"]
    _run([*make, "tinyconfig"])
    lines = _content(OPTIONS).decode().splitlines()
    wanted = [line for line in lines if line.startswith("CONFIG_")]
    missing = set(wanted) - _configure(make, tree, wanted)
    if missing:
        raise KernelError(f"kernel options not taken: {' '.join(sorted(missing))}")
    _run([*make, "vmlinux"])
    shutil.copy(os.path.join(tree, "vmlinux"), os.path.join(out, "vmlinux"))
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


def built_kernel():
    """The folder of the cached kernel, built first if need be."""
    return _cached("kernel", [_version(), _content(OPTIONS)], _build_kernel)


def _build_init(out):
    _run([f"{CROSS}gcc", "-static", "-Os", "-o", os.path.join(out, "init"), INIT])


def _cached(name, inputs, build):
    """The folder CACHE/NAME-HASH, built once by build(folder)."""
    digest = hashlib.sha256()
    for data in inputs:
        digest.update(data + b"\0")
    folder = os.path.join(CACHE, f"{name}-{digest.hexdigest()[:16]}")
    os.makedirs(CACHE, exist_ok=True)
    with open(os.path.join(CACHE, "lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)  # one build, whoever comes first
        if not os.path.isdir(folder):
            begun = time.monotonic()
            print(f"rtsim: building the {name} into {folder}", file=sys.stderr, flush=True)
            shutil.rmtree(folder + ".part", ignore_errors=True)
            os.makedirs(folder + ".part")
            build(folder + ".part")
            os.rename(folder + ".part", folder)
            print(f"rtsim: {name} built in {time.monotonic() - begun:.0f} s", file=sys.stderr,
                  flush=True)
    return folder


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


def _initramfs(bench, runs, path):
    init = _cached("init", [_content(INIT)], _build_init)
    files = {"dev": (0o40755, b""), "lib": (0o40755, b""),
             "init": (0o100755, _content(os.path.join(init, "init"))),
             "rtprobe": (0o100755, _content(bench.binary))}
    for library in LIBRARIES:
        files["lib/" + library] = (0o100755, _content(os.path.join(bench.root, "lib", library)))
    listed = b"".join(b"%d\0" % len(args) + b"".join(os.fsencode(a) + b"\0" for a in args)
                      for args in runs)
    files["runs"] = (0o100644, listed)
    _cpio(path, files)


def run(bench, runs, timeout=600):
    """The bench's binary run once for each argument list in runs, in one boot.

    A Result for each, its stderr empty: the console carries both streams.
    Device "missing" boots a kernel without /dev/mem, "unmappable" lets the
    kernel have the window's RAM, which STRICT_DEVMEM then refuses to map."""
    if bench.target != "ppc":
        raise ValueError(f"{bench.binary}: the kernel runs PowerPC binaries only")
    kernel = built_kernel()
    work = os.path.join(bench.work, "kernel")
    os.makedirs(work, exist_ok=True)
    _initramfs(bench, runs, os.path.join(work, "initramfs"))
    window, saved = os.path.join(work, "window"), os.path.join(work, "saved")
    with open(window, "wb") as f:
        f.write(_window(bench.image) if bench.device == "image" else bytes(WINDOW_SIZE))
    variant = "vmlinux-nodevmem" if bench.device == "missing" else "vmlinux"
    memory = "" if bench.device == "unmappable" else " mem=256M"
    qemu = shutil.which("qemu-system-ppc")
    if not qemu:
        raise KernelError("the kernel run needs qemu-system-ppc")
    argv = [qemu, "-M", "ppce500", "-cpu", "e500mc", "-m", "4G", "-nodefaults",
            "-display", "none", "-no-reboot", "-no-shutdown",
            "-kernel", os.path.join(kernel, variant), "-initrd", os.path.join(work, "initramfs"),
            "-append", "console=ttyS0 loglevel=1 panic=-1" + memory,
            "-serial", f"file:{work}/console", "-qmp", "stdio", "-monitor", "none",
            "-device", f"loader,file={window},addr={WINDOW:#x},force-raw=on"]
    _boot(argv, saved, timeout)
    console = _content(os.path.join(work, "console"))
    results = [Result(output, b"", int(status)) for output, status in FRAME.findall(console)]
    if len(results) != len(runs):
        raise KernelError(f"{len(results)} of {len(runs)} runs reported; the console ends:\n"
                          + console[-3000:].decode(errors="replace"))
    if bench.device == "image":
        _write_back(bench.image, _content(saved))
    return results


def _boot(argv, saved, timeout):
    """Boots, waits for the guest's power-off and saves the window."""
    qemu = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    timer = threading.Timer(timeout, qemu.kill)
    timer.start()

    def command(name, **arguments):
        qemu.stdin.write(json.dumps({"execute": name, "arguments": arguments}).encode() + b"\n")
        qemu.stdin.flush()
    try:
        command("qmp_capabilities")
        for line in qemu.stdout:
            if json.loads(line).get("event") == "SHUTDOWN":
                break
        command("pmemsave", val=WINDOW, size=WINDOW_SIZE, filename=saved)
        command("quit")
    except OSError:
        pass  # qemu has gone: said below
    _, errors = qemu.communicate()
    timer.cancel()
    if not os.path.exists(saved):
        raise KernelError(f"qemu ended (status {qemu.returncode}, after at most {timeout} s) "
                          "before the window was saved: " + errors.decode(errors="replace"))


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
    # Builds the kernel if it is not cached yet, and names its folder.
    try:
        print(built_kernel())
    except KernelError as error:
        sys.exit(f"rtsim: {error}")
