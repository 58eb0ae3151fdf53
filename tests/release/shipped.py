"""Shared ground for the tests of what is shipped: the build's paths (set by
CTest), what an ELF binary links against, and a run of an installed rtsim."""

import os
import re
import subprocess

SOURCE = os.environ.get("RTPROBE_SOURCE_DIR", "")
BUILD = os.environ.get("RTPROBE_BUILD_DIR", "")
BINARY = os.environ.get("RTPROBE", "")
CMAKE = os.environ.get("CMAKE", "cmake")
CPACK = os.environ.get("CPACK", "cpack")
OBJDUMP = os.environ.get("OBJDUMP", "objdump")

EM_PPC, EM_X86_64 = 20, 62


def checked(argv, **kwargs):
    """Runs a command that must succeed; its output is in the error if not."""
    done = subprocess.run(argv, capture_output=True, text=True, **kwargs)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(argv)} exited with {done.returncode}:\n"
                           + done.stdout + done.stderr)
    return done.stdout


def elf_machine(path):
    """e_machine of an ELF file, read in the file's own byte order."""
    with open(path, "rb") as f:
        header = f.read(20)
    assert header[:4] == b"\x7fELF", f"{path} is not an ELF file"
    return int.from_bytes(header[18:20], {1: "little", 2: "big"}[header[5]])


def needed_libraries(path):
    """The DT_NEEDED entries: empty for a statically linked binary."""
    headers = checked([OBJDUMP, "-p", path])
    return re.findall(r"^\s*NEEDED\s+(\S+)", headers, re.M)


def symbol_versions(path):
    """{'GLIBC': ['2.34', ...], 'GLIBCXX': [...], ...} of the dynamic symbols."""
    symbols = checked([OBJDUMP, "-T", path])
    versions = {}
    for name, number in set(re.findall(r"\b(GLIBC|GLIBCXX|CXXABI|GCC)_([0-9][0-9.]*)\b", symbols)):
        versions.setdefault(name, []).append(number)
    return versions


def version_at_least(version, minimum):
    """Debian version comparison, as dpkg makes it."""
    return subprocess.run(["dpkg", "--compare-versions", version, "ge", minimum]).returncode == 0


def boards():
    return sorted(name for name in os.listdir(os.path.join(SOURCE, "boards"))
                  if name.endswith(".board"))


def run_installed(prefix, *args):
    """Runs PREFIX/bin/rtsim ARGS as an installed command: by its own first
    line, away from the source tree, so it finds nothing of the project's."""
    return subprocess.run([os.path.join(prefix, "bin", "rtsim"), *args], cwd=prefix,
                          capture_output=True, text=True, timeout=300,
                          env={k: v for k, v in os.environ.items() if k != "PYTHONPATH"})
