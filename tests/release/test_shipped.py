# SPDX-License-Identifier: MIT
# What is shipped: this build's Debian packages and, for the board, the
# static build and the builds of the two integration recipes.

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

HERE = Path(__file__).parent
SOURCE = os.environ["RTPROBE_SOURCE_DIR"]
OBJDUMP = os.environ["OBJDUMP"]
# Set in a cross build.
TOOLCHAIN = os.getenv("RTPROBE_TOOLCHAIN")
# lintian runs man, whose seccomp filter some namespaces refuse.
ENV = dict(os.environ, LC_ALL="C.UTF-8", MAN_DISABLE_SECCOMP="1")


# Each tool's time limit, in seconds: a recipe's whole build takes some 60.
def run(argv, cwd=None, env=ENV):
    done = subprocess.run(argv, cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=600)
    output = done.stdout + done.stderr
    assert done.returncode == 0, f"{argv}: {done.returncode}\n{output}"
    return done.stdout


# The lines of a data file, comments left out.
def rows(name):
    lines = (HERE / name).read_text().splitlines()
    return [line for line in lines if not line.startswith("#")]


# The files of a package, or of a board image.
def shipped(where):
    files = set()
    for line in rows("shipped.txt"):
        package, path = line.split()
        if package == where:
            files.add(path)
    return files


# Tests of another folder, run on this binary.
def unittests(folder, binary, *tests):
    env = dict(ENV, RTPROBE=binary)
    argv = [sys.executable, "-m", "unittest", *tests]
    run(argv, f"{SOURCE}/tests/{folder}", env)


# What the recipes build: the tool's sources, build files, man page,
# changelog, licence and version.
TOOL = ["app", "fpga", "mgt", "rx", "util", "cmake", "CMakeLists.txt", "doc/rtprobe.1",
        "doc/changelog", "LICENSE", "sim/simulator/version.py"]


class RecipeRevision(unittest.TestCase):
    # The Yocto recipe's pinned revision, a commit of this branch, builds
    # what HEAD builds, and both recipes give its version.
    def test_recipes_build_head(self):
        recipe = Path(SOURCE, "integration/yocto/rtprobe_git.bb").read_text()
        srcrev = re.search(r'^SRCREV = "(\w+)"$', recipe, re.M)[1]
        git = ["git", "-C", SOURCE]
        found = subprocess.run([*git, "merge-base", "--is-ancestor", srcrev, "HEAD"],
                               capture_output=True, text=True)
        if found.returncode == 128:  # not in this clone: a shallow one, or no git
            why = f"cannot check the recipe's SRCREV {srcrev} here ({found.stderr.strip()}); " \
                  "a shallow clone needs git fetch --unshallow"
            if os.getenv("CI") == "true":
                self.fail(why)
            self.skipTest(why)
        self.assertEqual(found.returncode, 0, f"SRCREV {srcrev} is not a commit of HEAD's history")
        changed = run([*git, "diff", "--stat", srcrev, "HEAD", "--", *TOOL])
        self.assertEqual(changed, "", f"the tool changed after SRCREV {srcrev}: move SRCREV "
                         "to the last commit that changed it (and raise the version)")
        version = re.search(r'"(.*)"', Path(SOURCE, "sim/simulator/version.py").read_text())[1]
        self.assertIn(f'PV = "{version}+git"', recipe)
        buildroot = Path(SOURCE, "integration/buildroot/package/rtprobe/rtprobe.mk").read_text()
        self.assertIn(f"RTPROBE_VERSION = {version}\n", buildroot)


class Scratch(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="rtprobe-release-")
        self.addCleanup(shutil.rmtree, self.work)


class Packages(Scratch):
    def test_files_lintian_depends_and_an_unpacked_run(self):
        build = os.environ["RTPROBE_BUILD_DIR"]
        run([os.environ["CPACK"], "-G", "DEB", "-B", self.work,
             "--config", f"{build}/CPackConfig.cmake"])
        root = f"{self.work}/root"
        debs = {}
        for deb in Path(self.work).glob("*.deb"):
            package = run(["dpkg-deb", "-f", deb, "Package"]).strip()
            debs[package] = deb
            listing = run(["dpkg-deb", "-c", deb])
            files = set(re.findall(r"^-.* (\S+)$", listing, re.M))
            self.assertEqual(files, shipped(package), package)
            run(["dpkg-deb", "-x", deb, root])
        # lintian also renders the man pages, and finds an
        # Architecture that is not the binary's.
        run(["lintian", "--pedantic", "--fail-on", "error,warning",
             *debs.values()])
        depends = run(["dpkg-deb", "-f", debs["rtprobe"], "Depends"])
        self.assertEqual(depends.strip(), rows("depends.txt")[0])
        installed = f"{root}/usr/bin/rtprobe"
        unittests("e2e", installed, "test_cases.Cases.test_reports")
        if not TOOLCHAIN:
            # The unpacked rtsim finds its boards.
            run([f"{root}/usr/bin/rtsim", "run", "--board", "routed",
                 installed, "-tx"])


class BoardBuilds(Scratch):
    # Needs no shared library, prints as the dynamic build.
    def test_static_build(self):
        run(["cmake", "-S", SOURCE, "-B", self.work,
             "--toolchain", TOOLCHAIN, "-DRTPROBE_STATIC=ON"])
        run(["cmake", "--build", self.work, "--target", "rtprobe"])
        binary = f"{self.work}/rtprobe"
        headers = run([OBJDUMP, "-p", binary])
        self.assertNotRegex(headers, "NEEDED|INTERP")
        # What the static C library prints and flushes.
        unittests("e2e", binary, "test_cases.Cases.test_reports",
                  "test_cases.Cases.test_lost_output")

    # Each recipe built and installed as its image builder does (how:
    # recipes.tsv), with a PATH of build tools alone, the cross
    # libraries laid out as a sysroot, and a copy of the sources.
    def test_recipes(self):
        work = self.work
        shutil.copytree(SOURCE, f"{work}/copy",
                        ignore=shutil.ignore_patterns("build", ".git"))
        for folder in ("sysroot", "bin", "build"):
            os.mkdir(f"{work}/{folder}")
        os.symlink("/usr/powerpc-linux-gnu", f"{work}/sysroot/usr")
        os.symlink("usr/lib", f"{work}/sysroot/lib")
        tools = ["cmake", "make", "ninja", "gzip"]
        for path in Path("/usr/bin").glob("powerpc-linux-gnu-*"):
            tools.append(path.name)
        for tool in tools:
            os.symlink(shutil.which(tool), f"{work}/bin/{tool}")
        for row in rows("recipes.tsv"):
            fields = row.format(source=SOURCE, work=work).split("\t")
            recipe, pattern, folder, configure, install = fields[:5]
            cxxflags, ldflags = fields[5:]
            recipe_text = Path(SOURCE, recipe).read_text()
            options = re.search(pattern, recipe_text)[1]
            root = tempfile.mkdtemp(dir=work)
            env = {"PATH": f"{work}/bin", "DESTDIR": root,
                   "CXXFLAGS": cxxflags, "LDFLAGS": ldflags}
            configure = ["cmake", *configure.split(), *options.split()]
            run(configure, folder, env)
            run(["cmake", "--build", "."], folder, env)
            run(install.split(), folder, env)
            self.check_image(recipe, root)

    def check_image(self, recipe, root):
        files = set()
        for path in Path(root).rglob("*"):
            if path.is_file():
                files.add(str(path.relative_to(root)))
        self.assertEqual(files, shipped("image"), recipe)
        binary = f"{root}/usr/bin/rtprobe"
        # The recipes' page size.
        self.assertIn("align 2**12", run([OBJDUMP, "-p", binary]))
        unittests("contract", binary, "test_contract.SystemCalls",
                  "test_contract.BoardCode")
        unittests("e2e", binary, "test_cases.Cases.test_reports")
