# SPDX-License-Identifier: MIT
"""Shared ground for the tests of what is shipped: the build's paths (set by
CTest), what an ELF binary links against, and a run of an installed rtsim.
Importing it also puts the simulated board's module on the path."""

import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "sim"))

SOURCE = os.environ.get("RTPROBE_SOURCE_DIR", "")
BUILD = os.environ.get("RTPROBE_BUILD_DIR", "")
BINARY = os.environ.get("RTPROBE", "")
CMAKE = os.environ.get("CMAKE", "cmake")
CPACK = os.environ.get("CPACK", "cpack")
OBJDUMP = os.environ.get("OBJDUMP", "objdump")

def checked(argv, **kwargs):
    """Runs a command that must succeed; its output is in the error if not."""
    done = subprocess.run(argv, capture_output=True, text=True, **kwargs)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(argv)} exited with {done.returncode}:\n"
                           + done.stdout + done.stderr)
    return done.stdout


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
