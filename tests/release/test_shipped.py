# SPDX-License-Identifier: MIT
# What is shipped: the man pages; this build's Debian packages; and, for the
# board, the static build and the builds of the two integration recipes.

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

HERE, SOURCE = Path(__file__).parent, os.environ["RTPROBE_SOURCE_DIR"]
BINARY, OBJDUMP = os.environ["RTPROBE"], os.environ["OBJDUMP"]
TOOLCHAIN = os.getenv("RTPROBE_TOOLCHAIN")  # set in a cross build
ENV = {**os.environ, "LC_ALL": "C.UTF-8", "MAN_DISABLE_SECCOMP": "1",
       "PATH": os.environ["PATH"] + ":/usr/sbin:/sbin"}  # dpkg wants ldconfig


def run(argv, env=ENV, **kwargs):
    done = subprocess.run(argv, capture_output=True, text=True, env=env, **kwargs)
    assert done.returncode == 0, f"{argv}: exit {done.returncode}\n{done.stdout}{done.stderr}"
    return done.stdout


def table(name, where=None, sep=None):  # a data file's rows, or their second column
    rows = [line.split(sep) for line in (HERE / name).read_text().splitlines() if line[:1] != "#"]
    return rows if where is None else {row[1] for row in rows if row[0] == where}


def reports(binary, prefix=SOURCE, rtsim="sim/rtsim.py", boards="boards"):
    # (status, output) of each case of reports.txt, on the simulated board
    return [(done.returncode, done.stdout) for done in (subprocess.run(
        [f"{prefix}/{rtsim}", "run", "--board", f"{prefix}/{boards}/{board}", binary, *args],
        cwd="/", capture_output=True, text=True) for board, *args in table("reports.txt"))]


class ManPages(unittest.TestCase):
    def test_render_without_warnings_and_list_the_options_in_precedence_order(self):
        for page in ("rtprobe.1", "rtsim.1"):
            for argv in (["groff", "-man", "-Tutf8", "-ww", "-z"], ["man", "--warnings=w", "-l"]):
                done = subprocess.run([*argv, f"{SOURCE}/doc/{page}"], capture_output=True, env=ENV)
                self.assertEqual((done.returncode, done.stderr), (0, b""), f"{argv[0]} {page}")
        precedence = re.findall(r'\{"(-[a-z_]+)",', Path(SOURCE, "app/cli.cpp").read_text())
        page = run(["man", "-l", f"{SOURCE}/doc/rtprobe.1"]).split("\nOPTIONS\n")[1]
        options = re.findall(r"^ {7}(-[a-z_]+)", page.split("\n   Precedence\n")[0], re.M)
        self.assertEqual((len(precedence), options), (14, precedence))


class Packages(unittest.TestCase):
    def test_files_lintian_an_installed_run_and_depends(self):
        work = tempfile.mkdtemp(prefix="rtprobe-deb-")
        self.addCleanup(shutil.rmtree, work)
        config = f"{os.environ['RTPROBE_BUILD_DIR']}/CPackConfig.cmake"
        run([os.environ["CPACK"], "-G", "DEB", "-B", work, "--config", config])
        debs = {run(["dpkg-deb", "-f", d, "Package"]).strip(): d for d in Path(work).glob("*.deb")}
        listings = {p: run(["dpkg-deb", "-c", d]) for p, d in debs.items()}
        files = {p: set(re.findall(r"^-.* (\S+)$", text, re.M)) for p, text in listings.items()}
        packages = ("rtprobe",) if TOOLCHAIN else ("rtprobe", "rtprobe-sim")
        self.assertEqual(files, {p: table("shipped.txt", p) for p in packages})
        # lintian also finds an Architecture that is not the binary's
        run(["lintian", "--pedantic", "--fail-on", "error,warning", *debs.values()])
        run(["dpkg", "--root", f"{work}/root", "--log=/dev/null", "--force-depends",
             "--force-architecture", "--force-script-chrootless", "--install", *debs.values()])
        installed = f"{work}/root/usr/bin/rtprobe"
        rtsim = () if TOOLCHAIN else (f"{work}/root/usr", "bin/rtsim", "share/rtprobe/boards")
        self.assertEqual(reports(installed, *rtsim), reports(BINARY))
        # Of each library, the first release with all the symbol versions used,
        # by Debian's symbols files (which lack some of glibc's oldest).
        owner, need = dict(table("depends.txt")), {}
        symbols = run([OBJDUMP, "-T", installed])
        for tag, prefix in set(re.findall(r"\b((GLIBC|GLIBCXX|CXXABI|GCC)_[\d.]+)\b", symbols)):
            known = next(Path("/var/lib/dpkg/info").glob(f"{owner[prefix]}:*.symbols")).read_text()
            releases = re.findall(rf"^ {tag}@{tag} (\S+)", known, re.M)
            need.setdefault(owner[prefix], []).extend(releases)
        new = sorted((p, max(v, key=lambda r: [*map(int, r.split("."))])) for p, v in need.items())
        depends = run(["dpkg-deb", "-f", debs["rtprobe"], "Depends"]).strip()
        self.assertEqual(depends, ", ".join(f"{p} (>= {v})" for p, v in new))


class BoardBuilds(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="rtprobe-board-")
        self.addCleanup(shutil.rmtree, self.work)

    def test_static_build(self):  # needs no shared library, prints as the dynamic build
        run([os.environ["CMAKE"], "-S", SOURCE, "-B", self.work, "--toolchain", TOOLCHAIN,
             "-DRTPROBE_STATIC=ON", "-DCMAKE_BUILD_TYPE=MinSizeRel"])
        run([os.environ["CMAKE"], "--build", self.work, "--target", "rtprobe"])
        self.assertNotRegex(run([OBJDUMP, "-p", f"{self.work}/rtprobe"]), "NEEDED|INTERP")
        # The reports and lost output: what the static C library prints and flushes.
        run([sys.executable, "-m", "unittest", "test_cases.Cases.test_reports",
             "test_cases.Cases.test_lost_output"], cwd=f"{SOURCE}/tests/e2e",
            env={**ENV, "RTPROBE": f"{self.work}/rtprobe"})

    def test_recipes(self):  # each built and installed as its image builder would
        # recipes.tsv: how; here: a PATH of build tools alone, GoogleTest and Python
        # out of reach, the cross libraries laid out as a sysroot, a copy of the sources.
        work = {"source": SOURCE, "copy": f"{self.work}/copy", "work": self.work}
        shutil.copytree(SOURCE, work["copy"], ignore=shutil.ignore_patterns("build", ".git"))
        tools = ["cmake", "make", "ninja", "gzip", *Path("/usr/bin").glob("powerpc-linux-gnu-*")]
        for link, target in [("sysroot/usr", "/usr/powerpc-linux-gnu"), ("sysroot/lib", "usr/lib"),
                             *((f"bin/{Path(t).name}", shutil.which(t)) for t in tools)]:
            os.makedirs(os.path.dirname(f"{self.work}/{link}"), exist_ok=True)
            os.symlink(target, f"{self.work}/{link}")
        for row in table("recipes.tsv", sep="\t"):
            root = tempfile.mkdtemp(dir=self.work)
            recipe, pattern, build, configure, install, cxxflags, ldflags = (
                field.format(**work, root=root) for field in row)
            options = re.search(pattern, Path(SOURCE, "integration", recipe).read_text(), re.M)[1]
            env = {"PATH": f"{self.work}/bin", "GTEST_ROOT": "/none", "DESTDIR": root,
                   "CXXFLAGS": cxxflags, "LDFLAGS": ldflags}
            run(["cmake", f"-DCMAKE_TOOLCHAIN_FILE={HERE}/integrator.cmake", *configure.split(),
                 *options.split()], cwd=build, env=env)
            run(install.split(), cwd=build, env=env)
            files = {str(p.relative_to(root)) for p in Path(root).rglob("*") if p.is_file()}
            self.assertEqual(files, table("shipped.txt", "image"), recipe)
            binary = f"{root}/usr/bin/rtprobe"
            self.assertIn("align 2**12", run([OBJDUMP, "-p", binary]))  # the recipes' page size
            run([sys.executable, "-m", "unittest", "test_contract.SystemCalls", "test_contract.BoardCode"],
                cwd=f"{SOURCE}/tests/contract", env={**ENV, "RTPROBE": binary})
            self.assertEqual(reports(binary), reports(BINARY), recipe)
