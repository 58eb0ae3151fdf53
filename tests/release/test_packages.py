# SPDX-License-Identifier: MIT
"""What `cmake --install` and `cpack -G DEB` ship from this build: the files,
the packages' control fields, and that the installed rtsim runs the
installed rtprobe on an installed example board."""

import os
import re
import shutil
import tempfile
import unittest

import shipped
from rtsim import binary_target

DEB_ARCHITECTURE = {"ppc": "powerpc", "host": "amd64"}

# The package that provides each shared library rtprobe may link against,
# and which of its symbol versions follow that package's own version.
LIBRARY_PACKAGE = {"libc.so.6": "libc6", "libm.so.6": "libc6",
                   "libgcc_s.so.1": "libgcc-s1", "libstdc++.so.6": "libstdc++6"}
RELEASE_VERSIONED = {"GLIBC": "libc6", "GCC": "libgcc-s1"}
# libstdc++'s symbol versions do not follow the package version: the newest
# symbol versions of some libstdc++6 releases, oldest first. A binary that
# needs more than the last needs a new row here.
LIBSTDCXX_RELEASES = [
    ("5.2", {"GLIBCXX": "3.4.21", "CXXABI": "1.3.9"}),
    ("11", {"GLIBCXX": "3.4.29", "CXXABI": "1.3.13"}),
]


def shipped_files(prefix):
    """Every regular file of each package, under PREFIX."""
    return {
        "rtprobe": {f"{prefix}/bin/rtprobe", f"{prefix}/share/man/man1/rtprobe.1"},
        "rtprobe-sim": {f"{prefix}/bin/rtsim", f"{prefix}/share/man/man1/rtsim.1",
                        *(f"{prefix}/share/rtprobe/boards/{b}" for b in shipped.boards())},
    }


def regular_files(root):
    return {os.path.relpath(os.path.join(d, f), root).replace(os.sep, "/")
            for d, _, files in os.walk(root) for f in files}


def parse_depends(field):
    """{'libc6': '2.34', ...} from 'libc6 (>= 2.34), ...'; None for no version."""
    depends = {}
    for item in filter(None, (part.strip() for part in field.split(","))):
        match = re.fullmatch(r"([a-z0-9.+-]+)(?: \(>= ([^)]+)\))?", item)
        assert match, f"cannot read the dependency '{item}'"
        depends[match[1]] = match[2]
    return depends


class InstalledTree:
    """Checks that both ways of installing share: a usable rtsim beside
    rtprobe and the boards."""

    def check_usable(self, prefix):
        for program in ("rtprobe", "rtsim"):
            self.assertTrue(os.access(os.path.join(prefix, "bin", program), os.X_OK), program)

        helped = shipped.run_installed(prefix, "--help")
        self.assertEqual(helped.returncode, 0, helped.stderr)
        self.assertIn("usage: rtsim", helped.stdout)

        ran = shipped.run_installed(
            prefix, "run", "--board", os.path.join(prefix, "share/rtprobe/boards/routed.board"),
            os.path.join(prefix, "bin/rtprobe"), "-rx_by_node")
        self.assertEqual((ran.returncode, ran.stderr), (0, ""))
        # Entry 0 of the routed board sends VE channel 1 to DSP0>L5.
        self.assertIn("Node : DSP0>L5 \n", ran.stdout)
        self.assertIn("0xF0010000\t\t1\n", ran.stdout)


class CMakeInstallTest(unittest.TestCase, InstalledTree):
    def test_installs_the_tool_the_companion_and_the_boards_and_nothing_else(self):
        prefix = tempfile.mkdtemp(prefix="rtprobe-install-")
        self.addCleanup(shutil.rmtree, prefix)
        shipped.checked([shipped.CMAKE, "--install", shipped.BUILD, "--prefix", prefix])

        expected = set().union(*shipped_files(".").values())
        self.assertEqual({"./" + f for f in regular_files(prefix)}, expected)
        self.check_usable(prefix)


class DebianPackageTest(unittest.TestCase, InstalledTree):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="rtprobe-deb-")
        cls.addClassCleanup(shutil.rmtree, cls.work, ignore_errors=True)
        shipped.checked([shipped.CPACK, "-G", "DEB", "-B", cls.work,
                         "--config", os.path.join(shipped.BUILD, "CPackConfig.cmake")],
                        cwd=cls.work)
        cls.debs = {}
        for name in os.listdir(cls.work):
            if name.endswith(".deb"):
                cls.debs[cls.field(os.path.join(cls.work, name), "Package")] = \
                    os.path.join(cls.work, name)
        cls.root = cls.install_all(os.path.join(cls.work, "root"))

    @classmethod
    def install_all(cls, root):
        """Installs every package with dpkg into an empty root of its own."""
        os.makedirs(os.path.join(root, "var/lib/dpkg/updates"))
        os.makedirs(os.path.join(root, "var/lib/dpkg/info"))
        open(os.path.join(root, "var/lib/dpkg/status"), "w").close()
        # The libraries and Python of this machine stand in for the root's;
        # a powerpc package needs the architecture forced on an amd64 dpkg.
        # dpkg looks for ldconfig and friends on the PATH.
        path = os.environ.get("PATH", "") + ":/usr/sbin:/sbin"
        shipped.checked(["dpkg", "--root", root, "--log=/dev/null", "--force-depends",
                         "--force-architecture", "--force-script-chrootless",
                         "--install", *sorted(cls.debs.values())],
                        env={**os.environ, "PATH": path})
        return root

    @staticmethod
    def field(deb, name):
        return shipped.checked(["dpkg-deb", "-f", deb, name]).strip()

    def test_each_package_holds_its_files(self):
        self.assertEqual(set(self.debs), {"rtprobe", "rtprobe-sim"})
        for package, files in shipped_files("./usr").items():
            with self.subTest(package=package):
                listing = shipped.checked(["dpkg-deb", "-c", self.debs[package]])
                regular = {line.split()[-1] for line in listing.splitlines()
                           if line.startswith("-")}
                self.assertEqual(regular, files)

    def test_architectures_match_what_the_packages_hold(self):
        machine = binary_target(os.path.join(self.root, "usr/bin/rtprobe"))[0]
        self.assertEqual(machine, binary_target(shipped.BINARY)[0],
                         "the package holds another build's rtprobe")
        self.assertEqual(self.field(self.debs["rtprobe"], "Architecture"),
                         DEB_ARCHITECTURE[machine])
        self.assertEqual(self.field(self.debs["rtprobe-sim"], "Architecture"), "all")

    def test_depends_covers_every_library_and_symbol_version_rtprobe_needs(self):
        binary = os.path.join(self.root, "usr/bin/rtprobe")
        depends = parse_depends(self.field(self.debs["rtprobe"], "Depends"))
        libraries = shipped.needed_libraries(binary)
        if not libraries:
            self.assertEqual(depends, {}, "a static rtprobe depends on nothing")
            return

        unknown = set(libraries) - set(LIBRARY_PACKAGE)
        self.assertFalse(unknown, f"no package known for {unknown}")
        self.assertEqual(set(depends), {LIBRARY_PACKAGE[lib] for lib in libraries})

        versions = shipped.symbol_versions(binary)
        for prefix, package in RELEASE_VERSIONED.items():
            for needed in versions.get(prefix, []):
                with self.subTest(symbol=f"{prefix}_{needed}"):
                    self.assertIsNotNone(depends[package], f"{package} without a version")
                    self.assertTrue(shipped.version_at_least(depends[package], needed),
                                    f"{package} (>= {depends[package]}) lacks {prefix}_{needed}")

        if "libstdc++6" in depends:
            # The oldest release that has every symbol version the binary needs.
            enough = next((release for release, newest in LIBSTDCXX_RELEASES
                           if all(shipped.version_at_least(newest[prefix], needed)
                                  for prefix in newest for needed in versions.get(prefix, []))),
                          None)
            self.assertIsNotNone(enough, "libstdc++ symbols newer than any known release")
            self.assertTrue(shipped.version_at_least(depends["libstdc++6"] or "0", enough),
                            f"libstdc++6 (>= {depends['libstdc++6']}) is older than {enough}")

    def test_installed_packages_run_rtprobe_on_an_example_board(self):
        self.check_usable(os.path.join(self.root, "usr"))


if __name__ == "__main__":
    unittest.main()
